// sim-launcher: starts station simulators on request, for test programs that cannot
// start a Linux program and read its output themselves (Windows tests under Wine).
//
//   sim-launcher --station-sim PATH --port-file FILE
//
// Listens on a free loopback port and writes it to FILE. Each connection sends one line:
// the simulator's arguments separated by tabs. The launcher starts the simulator and
// sends back its start-up lines (PORT, CA, URL), or "ERROR <why>". The simulator runs
// until the client sends "STOP" or closes the connection; it is then ended with SIGTERM
// (SIGKILL after 10 s) and, after a STOP, "EXIT <status>" (-1 when killed) is sent.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::string gSimPath;

void SendAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += size_t(n);
  }
}

// Reads up to the first newline; false when the peer went away first.
bool ReadLine(int fd, std::string* line) {
  char c;
  while (recv(fd, &c, 1, 0) == 1) {
    if (c == '\n') return true;
    if (c != '\r') line->push_back(c);
  }
  return false;
}

int EndChild(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

void Serve(int client) {
  std::string request;
  if (!ReadLine(client, &request)) {
    close(client);
    return;
  }
  std::vector<std::string> args = {gSimPath};
  for (size_t start = 0; !request.empty() && start <= request.size();) {
    const size_t tab = request.find('\t', start);
    args.push_back(request.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    SendAll(client, "ERROR pipe\n");
    close(client);
    return;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    SendAll(client, "ERROR cannot start " + gSimPath + "\n");
    close(client);
    return;
  }
  // Relay the start-up lines up to "URL ..." (at most 30 s).
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (out.find("\nURL ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[512];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  close(fds[0]);
  const size_t end = out.find('\n', out.find("\nURL ") + 1);
  SendAll(client, end == std::string::npos ? out + "\n" : out.substr(0, end + 1));
  // The simulator lives as long as the connection: STOP or the client's end stops it.
  std::string command;
  const bool asked = ReadLine(client, &command) && command == "STOP";
  const int status = EndChild(pid);
  if (asked) SendAll(client, "EXIT " + std::to_string(status) + "\n");
  close(client);
}

}  // namespace

int main(int argc, char** argv) {
  std::string portFile;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--station-sim")) gSimPath = argv[i + 1];
    if (!strcmp(argv[i], "--port-file")) portFile = argv[i + 1];
  }
  if (gSimPath.empty() || portFile.empty()) {
    fprintf(stderr, "usage: sim-launcher --station-sim PATH --port-file FILE\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    perror("sim-launcher");
    return 1;
  }
  // Written whole under another name first, so a reader never sees half a number.
  const std::string temp = portFile + ".tmp";
  FILE* f = fopen(temp.c_str(), "w");
  if (!f || fprintf(f, "%d\n", ntohs(a.sin_port)) < 0 || fclose(f) != 0 || rename(temp.c_str(), portFile.c_str()) != 0) {
    perror("sim-launcher: port file");
    return 1;
  }
  for (;;) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::thread(Serve, client).detach();
  }
}
