#include "test_server.h"

#ifndef _WIN32
#include <netinet/tcp.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

bool SendAll(TestSocket fd, const char* p, size_t n) {
  while (n > 0) {
    const int r = int(::send(fd, p, int(std::min<size_t>(n, 1 << 20)), MSG_NOSIGNAL));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

// Waits up to ms for something to read.
bool Readable(TestSocket fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return PollSockets(&p, 1, ms) > 0;
}

#ifdef _WIN32
constexpr int kShutBoth = SD_BOTH;
using SockLen = int;
#else
constexpr int kShutBoth = SHUT_RDWR;
using SockLen = socklen_t;
#endif

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
  listenFd_ = OpenTcpSocket();
#ifndef _WIN32
  // (On Windows the option would let another program take the port over.)
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listenFd_, 16);
  SockLen len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread(&TestServer::AcceptLoop, this);
}

TestServer::~TestServer() {
  stop_ = true;
  ::shutdown(listenFd_, kShutBoth);
#ifdef _WIN32
  // Winsock's accept does not return for a shutdown; closing the socket ends it.
  CloseSocket(listenFd_);
  acceptThread_.join();
#else
  acceptThread_.join();
  ::close(listenFd_);
#endif
  std::vector<std::thread> clients;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (TestSocket fd : clientFds_) ::shutdown(fd, kShutBoth);
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
  const TestSocket fd = OpenTcpSocket();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  SockLen len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  CloseSocket(fd);  // bound, never listened: connections are refused
  return ntohs(addr.sin_port);
}

void TestServer::AcceptLoop() {
  while (!stop_) {
#ifdef _WIN32
    const TestSocket fd = ::accept(listenFd_, nullptr, nullptr);
#else
    const TestSocket fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
#endif
    if (fd == kNoSocket) {
      if (stop_) break;
      continue;
    }
    std::lock_guard<std::mutex> g(lock_);
    if (stop_) {
      CloseSocket(fd);
      break;
    }
    clientFds_.push_back(fd);
    clients_.emplace_back(&TestServer::Serve, this, fd);
  }
}

void TestServer::Serve(TestSocket fd) {
  auto finish = [&] {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& f : clientFds_)
      if (f == fd) f = kNoSocket;
    CloseSocket(fd);
  };
  // The request head, with a bounded wait.
  std::string head;
  char buf[4096];
  const auto readDeadline = Clock::now() + std::chrono::seconds(10);
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 && !stop_) {
    if (Clock::now() > readDeadline) break;
    if (!Readable(fd, 50)) continue;
    const int n = int(::recv(fd, buf, sizeof buf, 0));
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
      if (Readable(fd, 20)) {
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
    const auto dueMs = route.sendEveryMs > 0 ? elapsedMs - elapsedMs % route.sendEveryMs : elapsedMs;
    size_t allowed = route.byteRate > 0 ? route.burstBytes + size_t(route.byteRate * dueMs / 1000) : sent + 65536;
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
          ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
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
