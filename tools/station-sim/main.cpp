// station-sim: the loopback radio station. Prints "PORT <n>" as its first line, then the
// CA file for HTTPS, and serves until SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "station_sim.h"

SimOptions gOpt;

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  gStopping = true;
  const char b = 1;
  ssize_t r = write(gSignalPipe[1], &b, 1);
  (void)r;
}

void Usage(FILE* f) {
  fprintf(f,
          "Usage: station-sim [options]\n"
          "A loopback radio station (127.0.0.1 only) for the demo run and the tests.\n\n"
          "  --port N            listen on port N (default 8471); 0 picks a free port\n"
          "  --title-seconds S   length of every title in seconds (default 30)\n"
          "  --burst S           seconds of audio sent at once to a new listener (default 4)\n"
          "  --metaint N         audio bytes between ICY metadata blocks (default 16000)\n"
          "  --variants N        distinct titles before the programme repeats, 1..8 (default 8)\n"
          "  --name TEXT         station name sent as icy-name (default \"Corvale Demo Radio\")\n"
          "  --legacy            answer every stream with \"ICY 200 OK\" (SHOUTcast 1.9.8 style)\n"
          "  --fault PATH=KIND[&n=N&ms=M...]  set a fault for a path from the start (as /control/fault)\n"
          "  --no-tls            no HTTPS\n"
          "  --tls-dir DIR       write the test CA (ca.pem) and certificate there (default: a temp folder)\n"
          "  --signals LIST      titles of known content instead of music, one per title (sets --variants):\n"
          "                      KIND:LEVEL,... with KIND sine (1 kHz), pink, bass or peaks, LEVEL in dBFS\n"
          "  --verbose           log requests and encodings to stderr\n"
          "  --dump-dir DIR      write what each stream listener was sent, per announced title:\n"
          "                      DIR/l<listener>-<n>.bin (audio, metadata removed) and .txt (title)\n"
          "  --marker            each second of audio is a tone that tells which second it is\n"
          "  --help              this text\n\n"
          "Output: \"PORT <n>\", then \"CA <path>\" (unless --no-tls), then \"URL <base>\".\n"
          "The URLs, faults and control endpoint are described in tools/station-sim/README.md.\n");
}

int OpenListener(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, (sockaddr*)&a, sizeof a) < 0 || listen(fd, 128) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The refuse request is carried out by the accept loop, which owns the listening socket.
std::mutex gRefuseMutex;
std::condition_variable gRefuseCv;
int gRefuseMs = 0;
bool gRefuseAck = false;

std::atomic<int> gThreads{0};

void RunConnection(int fd) {
  ServeConnection(fd);
  gThreads--;
}

}  // namespace

int RequestRefuse(int ms) {
  std::unique_lock<std::mutex> lock(gRefuseMutex);
  gRefuseMs = ms;
  gRefuseAck = false;
  return gRefuseCv.wait_for(lock, std::chrono::seconds(2), [] { return gRefuseAck; }) ? 1 : 0;
}

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> initialFaults;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto value = [&](const char* what) -> std::string {
      if (i + 1 >= argc) {
        fprintf(stderr, "station-sim: %s needs a value\n", what);
        exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--port") {
      gOpt.port = atoi(value("--port").c_str());
    } else if (a == "--title-seconds") {
      gOpt.titleSeconds = atof(value("--title-seconds").c_str());
    } else if (a == "--burst") {
      gOpt.burstSeconds = atof(value("--burst").c_str());
    } else if (a == "--metaint") {
      gOpt.metaint = atoi(value("--metaint").c_str());
    } else if (a == "--variants") {
      gOpt.variants = atoi(value("--variants").c_str());
    } else if (a == "--name") {
      gOpt.stationName = value("--name");
    } else if (a == "--legacy") {
      gOpt.legacyAll = true;
    } else if (a == "--fault") {
      const std::string f = value("--fault");
      const size_t eq = f.find('=');
      if (eq == std::string::npos) {
        fprintf(stderr, "station-sim: --fault wants PATH=KIND\n");
        return 2;
      }
      initialFaults.push_back({f.substr(0, eq), f.substr(eq + 1)});
    } else if (a == "--no-tls") {
      gOpt.tls = false;
    } else if (a == "--tls-dir") {
      gOpt.tlsDir = value("--tls-dir");
    } else if (a == "--signals") {
      if (!ParseSignals(value("--signals"), &gOpt.signals)) {
        fprintf(stderr, "station-sim: --signals wants KIND:LEVEL[,KIND:LEVEL...] (sine, pink, bass, peaks; -80..0)\n");
        return 2;
      }
      gOpt.variants = (int)gOpt.signals.size();
    } else if (a == "--verbose") {
      gOpt.verbose = true;
    } else if (a == "--dump-dir") {
      gOpt.dumpDir = value("--dump-dir");
    } else if (a == "--marker") {
      gOpt.marker = true;
    } else {
      fprintf(stderr, "station-sim: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (gOpt.port < 0 || gOpt.port > 65535 || gOpt.titleSeconds < 1 || gOpt.titleSeconds > 3600 ||
      gOpt.burstSeconds < 0 || gOpt.burstSeconds > 60 || gOpt.metaint < 1 || gOpt.metaint > 1048576 ||
      gOpt.variants < 1 || gOpt.variants > 8) {
    fprintf(stderr, "station-sim: option out of range (see --help)\n");
    return 2;
  }

  signal(SIGPIPE, SIG_IGN);
  if (pipe2(gSignalPipe, O_CLOEXEC) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  // A station started in the background of a script keeps ignoring Ctrl+C, as shells expect;
  // the script stops it with SIGTERM.
  struct sigaction old {};
  sigaction(SIGINT, nullptr, &old);
  if (old.sa_handler != SIG_IGN) sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, nullptr, &old);
  if (old.sa_handler != SIG_IGN) sigaction(SIGHUP, &sa, nullptr);

  int listenFd = OpenListener(gOpt.port);
  if (listenFd < 0) {
    fprintf(stderr, "station-sim: cannot listen on 127.0.0.1:%d: %s\n", gOpt.port, strerror(errno));
    return 1;
  }
  sockaddr_in bound{};
  socklen_t blen = sizeof bound;
  getsockname(listenFd, (sockaddr*)&bound, &blen);
  gOpt.port = ntohs(bound.sin_port);
  printf("PORT %d\n", gOpt.port);
  fflush(stdout);

  for (auto& f : initialFaults) SetFaultSpec(f.first, "kind=" + f.second);

  std::string tempDir, caPath;
  if (gOpt.tls) {
    std::string dir = gOpt.tlsDir;
    if (dir.empty()) {
      char tmpl[] = "/tmp/station-sim-XXXXXX";
      if (mkdtemp(tmpl)) tempDir = dir = tmpl;
    } else {
      mkdir(dir.c_str(), 0700);
    }
    gTlsContext = dir.empty() ? nullptr : CreateTlsContext(dir, caPath);
    if (gTlsContext) {
      printf("CA %s\n", caPath.c_str());
    } else {
      fprintf(stderr, "station-sim: HTTPS not available\n");
    }
  }
  printf("URL http://127.0.0.1:%d/\n", gOpt.port);
  fflush(stdout);

  GetSchedule();  // the programme starts now
  StartEncoder();

  auto reopenAt = std::chrono::steady_clock::now();
  while (!gStopping) {
    {
      std::lock_guard<std::mutex> lock(gRefuseMutex);
      if (gRefuseMs > 0) {
        if (listenFd >= 0) close(listenFd);
        listenFd = -1;
        reopenAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(gRefuseMs);
        gRefuseMs = 0;
        gRefuseAck = true;
        gRefuseCv.notify_all();
      }
    }
    if (listenFd < 0 && std::chrono::steady_clock::now() >= reopenAt) listenFd = OpenListener(gOpt.port);
    pollfd p[2] = {{gSignalPipe[0], POLLIN, 0}, {listenFd, POLLIN, 0}};
    const int n = poll(p, listenFd >= 0 ? 2 : 1, 50);
    if (n <= 0 || listenFd < 0 || !(p[1].revents & POLLIN)) continue;
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    gThreads++;
    try {
      std::thread(RunConnection, fd).detach();
    } catch (...) {
      gThreads--;
      close(fd);
    }
  }

  if (listenFd >= 0) close(listenFd);
  StopAllConnections();
  for (int i = 0; i < 500 && gThreads.load() > 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  StopEncoder();
  if (!tempDir.empty()) {
    unlink((tempDir + "/ca.pem").c_str());
    unlink((tempDir + "/server.pem").c_str());
    rmdir(tempDir.c_str());
  }
  if (gOpt.verbose) fprintf(stderr, "station-sim: stopped\n");
  return 0;
}
