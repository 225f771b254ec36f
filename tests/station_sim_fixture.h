// Test helper: starts the station simulator (tools/station-sim) on a free loopback port,
// reads its "PORT <n>" and "CA <path>" lines, and stops it again with SIGTERM. Also a tiny
// HTTP/1.0 client for loopback requests (control endpoint, raw ICY streams).
//
//   StationSim sim;
//   ASSERT_TRUE(sim.Start({"--title-seconds", "10"}));
//   std::string url = sim.Url("/stream/mp3");           // http://127.0.0.1:<port>/stream/mp3
//   SimResponse r = SimGet(sim.port, "/control/next");  // r.status == 200
//
// The binary is $CORVALE_STATION_SIM, else the path compiled in as CORVALE_STATION_SIM_PATH
// (target_compile_definitions(<test> PRIVATE CORVALE_STATION_SIM_PATH="$<TARGET_FILE:station-sim>")),
// else $CORVALE_BUILD_DIR/bin/station-sim. A test target that uses it should also
// add_dependencies(<test> station-sim).
//
// On Windows (under Wine, which cannot start a Linux program and read its output) the
// simulator is started by tools/sim-launcher on the Linux side, whose port is in the file
// $CORVALE_SIM_LAUNCHER_FILE; the simulator lives as long as the connection to it.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_socket.h"

#ifndef _WIN32
extern char** environ;
#endif

inline std::string StationSimBinary() {
  if (const char* p = getenv("CORVALE_STATION_SIM")) return p;
#ifdef CORVALE_STATION_SIM_PATH
  return CORVALE_STATION_SIM_PATH;
#endif
  if (const char* b = getenv("CORVALE_BUILD_DIR")) return std::string(b) + "/bin/station-sim";
  return "bin/station-sim";
}

struct StationSim {
#ifdef _WIN32
  TestSocket launcher = kNoSocket;  // the launcher's connection that keeps the simulator alive
#else
  pid_t pid = -1;
#endif
  int port = 0;
  std::string caFile;  // test CA for https://127.0.0.1:<port>/ ("" with --no-tls)
  std::string startError;

  StationSim() = default;
  StationSim(const StationSim&) = delete;
  StationSim& operator=(const StationSim&) = delete;
  ~StationSim() { Stop(); }

  // Default options suit tests: short titles, a 2 s burst. Later options override earlier ones.
  bool Start(const std::vector<std::string>& extra = {}) {
    Stop();
    std::vector<std::string> args = {StationSimBinary(), "--port", "0", "--title-seconds", "10", "--burst", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
#ifdef _WIN32
    std::string out;
    if (!StartThroughLauncher(args, &out)) return false;
#else
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return Fail("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
      close(fds[0]);
      pid = -1;
      return Fail("cannot start " + args[0]);
    }
    // Read lines until "URL ..." (the last start-up line), for at most 30 s.
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (out.find("\nURL ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[512];
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, (size_t)n);
    }
    close(fds[0]);
#endif
    if (out.compare(0, 5, "PORT ") != 0) {
      Stop();
      return Fail("no PORT line from the simulator: " + out);
    }
    port = atoi(out.c_str() + 5);
    const size_t ca = out.find("\nCA ");
    if (ca != std::string::npos) caFile = out.substr(ca + 4, out.find('\n', ca + 4) - ca - 4);
    return port > 0 ? true : Fail("bad PORT line");
  }

  // SIGTERM, then wait (bounded); returns the exit status, or -1 when it had to be killed.
  int Stop() {
#ifdef _WIN32
    if (launcher == kNoSocket) return -1;
    send(launcher, "STOP\n", 5, 0);
    std::string reply;
    char c;
    while (recv(launcher, &c, 1, 0) == 1 && c != '\n') reply.push_back(c);
    CloseSocket(launcher);
    launcher = kNoSocket;
    return reply.compare(0, 5, "EXIT ") == 0 ? atoi(reply.c_str() + 5) : -1;
#else
    if (pid <= 0) return -1;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; i++) {
      const pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
    return -1;
#endif
  }

  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
  std::string HttpsUrl(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port) + path; }

 private:
  bool Fail(const std::string& why) {
    startError = why;
    return false;
  }
#ifdef _WIN32
  // Asks the launcher for a simulator with these arguments (the first, the binary, is the
  // launcher's own) and reads its start-up lines into *out.
  bool StartThroughLauncher(const std::vector<std::string>& args, std::string* out) {
    const char* file = getenv("CORVALE_SIM_LAUNCHER_FILE");
    int launcherPort = 0;
    if (file) std::ifstream(file) >> launcherPort;
    if (launcherPort <= 0) return Fail("no station simulator launcher (CORVALE_SIM_LAUNCHER_FILE)");
    launcher = ConnectLoopback(launcherPort);
    if (launcher == kNoSocket) return Fail("cannot reach the station simulator launcher");
    std::string request;
    for (size_t i = 1; i < args.size(); ++i) request += (i > 1 ? "\t" : "") + args[i];
    request += "\n";
    send(launcher, request.data(), int(request.size()), 0);
    char buf[512];
    while (out->find("\nURL ") == std::string::npos && out->compare(0, 6, "ERROR ") != 0) {
      pollfd p{launcher, POLLIN, 0};
      if (PollSockets(&p, 1, 35000) <= 0) break;
      const int n = recv(launcher, buf, sizeof buf, 0);
      if (n <= 0) break;
      out->append(buf, size_t(n));
    }
    return true;
  }
#endif
};

struct SimResponse {
  int error = 0;           // errno of a failed connect, or -1 when nothing came back at all
  std::string statusLine;  // "HTTP/1.1 200 OK" or "ICY 200 OK"
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string head;                            // the raw header block
  std::string body;
  bool eof = false;  // the server closed the connection
  bool reset = false;
};

// One HTTP/1.0 request to 127.0.0.1:port. Reads until the server closes, maxBody bytes of
// body arrived, or idleMs passed without data. extraHeaders: full lines with "\r\n".
inline SimResponse SimGet(int port, const std::string& target, const std::string& extraHeaders = "",
                          size_t maxBody = 64u << 20, int idleMs = 10000) {
  SimResponse r;
  const TestSocket fd = ConnectLoopback(port, &r.error);
  if (fd == kNoSocket) return r;
  const std::string req = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
  send(fd, req.data(), int(req.size()), MSG_NOSIGNAL);
  std::string data;
  size_t headEnd = std::string::npos;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (PollSockets(&p, 1, idleMs) <= 0) break;
    char buf[65536];
    const int n = int(recv(fd, buf, sizeof buf, 0));
    if (n == 0) {
      r.eof = true;
      break;
    }
    if (n < 0) {
      r.reset = SocketErrno() == ECONNRESET;
      r.eof = true;
      break;
    }
    data.append(buf, (size_t)n);
    if (headEnd == std::string::npos) headEnd = data.find("\r\n\r\n");
    if (headEnd != std::string::npos && data.size() - headEnd - 4 >= maxBody) break;
  }
  CloseSocket(fd);
  if (headEnd == std::string::npos) {
    if (data.empty()) r.error = -1;
    r.body = data;
    return r;
  }
  r.head = data.substr(0, headEnd + 2);
  r.body = data.substr(headEnd + 4);
  if (r.body.size() > maxBody) r.body.resize(maxBody);
  size_t pos = r.head.find("\r\n");
  r.statusLine = r.head.substr(0, pos);
  const size_t sp = r.statusLine.find(' ');
  if (sp != std::string::npos) r.status = atoi(r.statusLine.c_str() + sp + 1);
  pos += 2;
  while (pos < r.head.size()) {
    size_t e = r.head.find("\r\n", pos);
    if (e == std::string::npos) e = r.head.size();
    const std::string line = r.head.substr(pos, e - pos);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (char& ch : name) ch = (char)tolower((unsigned char)ch);
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      r.headers[name] = value;
    }
    pos = e + 2;
  }
  return r;
}
