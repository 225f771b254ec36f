#include "test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

bool SendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

// The metadata block for a text: a length byte and the text padded with NULs to a
// multiple of 16 (a 4080-byte text fills a 255 block with no NUL at all).
std::string MetaBlock(const std::string& text) {
  if (text.empty()) return std::string(1, '\0');
  const size_t blocks = std::min<size_t>(255, (text.size() + 15) / 16);
  std::string out(1, char(blocks));
  out += text.substr(0, blocks * 16);
  out.resize(1 + blocks * 16, '\0');
  return out;
}

}  // namespace

TestServer::TestServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listenFd_, 16);
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread(&TestServer::AcceptLoop, this);
}

TestServer::~TestServer() {
  stop_ = true;
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptThread_.join();
  ::close(listenFd_);
  std::vector<std::thread> clients;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (int fd : clientFds_) ::shutdown(fd, SHUT_RDWR);
    clients.swap(clients_);
  }
  for (auto& t : clients) t.join();
}

void TestServer::Route(const std::string& path, const StreamRoute& route) {
  std::lock_guard<std::mutex> g(lock_);
  routes_[path] = route;
}

std::string TestServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> TestServer::Requests() {
  std::lock_guard<std::mutex> g(lock_);
  return requests_;
}

int TestServer::RefusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);  // bound, never listened: connections are refused
  return ntohs(addr.sin_port);
}

void TestServer::AcceptLoop() {
  while (!stop_) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stop_) break;
      continue;
    }
    std::lock_guard<std::mutex> g(lock_);
    if (stop_) {
      ::close(fd);
      break;
    }
    clientFds_.push_back(fd);
    clients_.emplace_back(&TestServer::Serve, this, fd);
  }
}

void TestServer::Serve(int fd) {
  auto finish = [&] {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& f : clientFds_)
      if (f == fd) f = -1;
    ::close(fd);
  };
  // The request head, with a bounded wait.
  std::string head;
  char buf[4096];
  const auto readDeadline = Clock::now() + std::chrono::seconds(10);
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 && !stop_) {
    pollfd p{fd, POLLIN, 0};
    if (Clock::now() > readDeadline) break;
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    head.append(buf, size_t(n));
  }
  std::string path;
  {
    const size_t sp = head.find(' ');
    const size_t sp2 = sp == std::string::npos ? sp : head.find(' ', sp + 1);
    if (sp2 != std::string::npos) path = head.substr(sp + 1, sp2 - sp - 1);
  }
  StreamRoute route;
  bool found;
  {
    std::lock_guard<std::mutex> g(lock_);
    requests_.push_back(head);
    auto it = routes_.find(path);
    found = it != routes_.end();
    if (found) route = it->second;
  }
  if (!found) {
    route.status = "HTTP/1.0 404 Not Found";
    route.headers = {"Content-Type: text/html"};
    route.body = "<html>not here</html>";
    route.loop = false;
    route.byteRate = 0;
  }
  auto idle = [&](int ms) {  // waits, reading and dropping what the client sends
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && Clock::now() < until) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        if (::recv(fd, buf, sizeof buf, 0) <= 0) return false;
      }
    }
    return !stop_;
  };
  if (route.noResponse) {
    while (idle(100)) {
    }
    finish();
    return;
  }
  std::string reply = route.status + "\r\n";
  for (const auto& h : route.headers) reply += h + "\r\n";
  if (route.metaint > 0) reply += "icy-metaint:" + std::to_string(route.metaint) + "\r\n";
  reply += "\r\n";
  if (!SendAll(fd, reply.data(), reply.size()) || route.body.empty()) {
    finish();  // a redirect or an empty reply ends here
    return;
  }

  const auto start = Clock::now();
  size_t sent = 0;  // audio bytes
  size_t pos = 0;   // in the body
  size_t untilMeta = size_t(route.metaint);
  int lastTitle = -1;
  bool stalled = false;
  while (!stop_) {
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (route.closeAfterMs >= 0 && elapsedMs >= route.closeAfterMs) break;
    if (route.stallAfterMs >= 0 && elapsedMs >= route.stallAfterMs) stalled = true;
    if (stalled) {
      if (!idle(50)) break;
      continue;
    }
    if (!route.loop && pos >= route.body.size()) break;
    size_t allowed = route.byteRate > 0 ? route.burstBytes + size_t(route.byteRate * elapsedMs / 1000) : sent + 65536;
    if (allowed <= sent) {
      if (!idle(20)) break;
      continue;
    }
    size_t n = std::min<size_t>(allowed - sent, 4096);
    if (route.loop && pos >= route.body.size()) pos = 0;
    n = std::min(n, route.body.size() - pos);
    if (route.metaint > 0) n = std::min(n, untilMeta);
    if (n > 0) {
      if (!SendAll(fd, route.body.data() + pos, n)) break;
      pos += n;
      sent += n;
    }
    if (route.metaint > 0) {
      untilMeta -= n;
      if (untilMeta == 0) {
        untilMeta = size_t(route.metaint);
        std::string block(1, '\0');
        if (!route.titles.empty()) {
          const int index = route.titleEveryBytes ? int(sent / route.titleEveryBytes % route.titles.size()) : 0;
          if (index != lastTitle) {
            block = MetaBlock(route.titles[size_t(index)]);
            lastTitle = index;
          }
        }
        bool ok = true;
        if (route.metaByteByByte) {
          int one = 1;
          ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          for (char c : block) {
            if (!(ok = SendAll(fd, &c, 1))) break;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
          }
        } else {
          ok = SendAll(fd, block.data(), block.size());
        }
        if (!ok) break;
      }
    }
  }
  finish();
}
