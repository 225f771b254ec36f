// A small HTTP/ICY server on 127.0.0.1 for the audio library's tests: serves generated
// media as endless radio-like streams with in-band titles, and misbehaves on request.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_socket.h"

struct StreamRoute {
  std::string status = "ICY 200 OK";  // the status line
  std::vector<std::string> headers;   // header lines sent after the status line
  std::string body;                   // media bytes
  bool loop = true;                   // repeat the body for ever
  int metaint = 0;                    // 0: no metadata blocks
  std::vector<std::string> titles;    // metadata texts, each sent once when it starts
  size_t titleEveryBytes = 0;         // audio bytes per title (0: only the first)
  bool metaByteByByte = false;        // send each metadata block one byte per send()
  int byteRate = 16000;               // audio bytes per second after the burst; 0 = unpaced
  size_t burstBytes = 48000;          // sent at once on connect
  int sendEveryMs = 0;                // after the burst, what is due goes out in batches this far apart
  int closeAfterMs = -1;              // close the connection after this
  int stallAfterMs = -1;              // then send nothing, connection kept open
  bool noResponse = false;            // read the request and never answer
};

class TestServer {
 public:
  TestServer();
  ~TestServer();
  void Route(const std::string& path, const StreamRoute& route);
  int Port() const { return port_; }
  std::string Url(const std::string& path) const;
  // The request heads received so far.
  std::vector<std::string> Requests();
  // A loopback port where nothing listens.
  static int RefusedPort();

 private:
  void AcceptLoop();
  void Serve(TestSocket fd);
  TestSocket listenFd_ = kNoSocket;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptThread_;
  std::mutex lock_;
  std::map<std::string, StreamRoute> routes_;
  std::vector<std::string> requests_;
  std::vector<std::thread> clients_;
  std::vector<TestSocket> clientFds_;
};
