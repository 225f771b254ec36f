// A tiny HTTP server on 127.0.0.1 for the playback tests: each path answers with raw
// bytes chosen by the test (any status line, any headers, a body of any size), and may
// then stall, so faults of the fetch can be produced exactly.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_socket.h"

class LoopbackServer {
 public:
  struct Reply {
    std::string raw;          // sent as it stands
    int stallMs = 0;          // then keep the connection open this long (or until Stop)
    bool silent = false;      // accept and never answer (until stallMs or Stop)
    int trickleMs = 0;        // send raw a byte at a time, this far apart (until Stop)
    size_t trickleAfter = 0;  // bytes of raw sent at once before the trickle begins
  };

  LoopbackServer() {
    fd_ = OpenTcpSocket();
#ifndef _WIN32
    // Not on Windows, where the option lets another socket take a port in use.
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::listen(fd_, 16);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~LoopbackServer() { Stop(); }

  int Port() const { return port_; }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  void Route(const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> l(lock_);
    routes_[path] = std::move(reply);
  }
  // A 200 reply with the body and its length.
  void Ok(const std::string& path, const std::string& body, const std::string& type = "text/plain") {
    Route(path, Reply{"HTTP/1.1 200 OK\r\nContent-Type: " + type +
                      "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body});
  }
  void Status(const std::string& path, int code, const std::string& text) {
    Route(path, Reply{"HTTP/1.1 " + std::to_string(code) + " " + text +
                      "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"});
  }
  int Requests() const { return requests_.load(); }

  void Stop() {
    if (stopped_.exchange(true)) return;
    {
      std::lock_guard<std::mutex> l(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    ::shutdown(fd_, kShutBoth);
    CloseSocket(fd_);
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& t : handlers_) t.join();
  }

 private:
  void AcceptLoop() {
    for (;;) {
      const TestSocket c = ::accept(fd_, nullptr, nullptr);
      if (c == kNoSocket) return;
      handlers_.emplace_back([this, c] { Serve(c); });
    }
  }

  void Serve(TestSocket c) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const int n = int(::recv(c, buf, sizeof buf, 0));
      if (n <= 0) break;
      request.append(buf, size_t(n));
    }
    ++requests_;
    std::string path;
    size_t sp = request.find(' ');
    if (sp != std::string::npos) path = request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
    Reply reply{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"};
    {
      std::lock_guard<std::mutex> l(lock_);
      auto it = routes_.find(path);
      if (it != routes_.end()) reply = it->second;
    }
    if (reply.trickleMs > 0) {
      const size_t atOnce = std::min(reply.trickleAfter, reply.raw.size());
      if (atOnce > 0 && ::send(c, reply.raw.data(), int(atOnce), MSG_NOSIGNAL) <= 0) reply.raw.clear();
      reply.raw.erase(0, atOnce);
      for (char byte : reply.raw) {
        if (::send(c, &byte, 1, MSG_NOSIGNAL) <= 0) break;
        std::unique_lock<std::mutex> l(lock_);
        if (wake_.wait_for(l, std::chrono::milliseconds(reply.trickleMs), [this] { return stopping_; })) break;
      }
      reply.raw.clear();
    }
    if (!reply.silent) {
      size_t sent = 0;
      while (sent < reply.raw.size()) {
        const int n = int(::send(c, reply.raw.data() + sent, int(reply.raw.size() - sent), MSG_NOSIGNAL));
        if (n <= 0) break;
        sent += size_t(n);
      }
    }
    if (reply.stallMs > 0 || reply.silent) {
      std::unique_lock<std::mutex> l(lock_);
      wake_.wait_for(l, std::chrono::milliseconds(reply.stallMs > 0 ? reply.stallMs : 60000),
                     [this] { return stopping_; });
    }
    ::shutdown(c, kShutBoth);
    CloseSocket(c);
  }

#ifdef _WIN32
  static constexpr int kShutBoth = SD_BOTH;
#else
  static constexpr int kShutBoth = SHUT_RDWR;
#endif
  TestSocket fd_ = kNoSocket;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> handlers_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::atomic<bool> stopped_{false};
  std::atomic<int> requests_{0};
  std::map<std::string, Reply> routes_;
};
