// Single instance: an flock'ed lock file and a local socket, both named by the program
// identifier, in the user's runtime folder.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace {

std::mutex gLockMutex;
int gLockFd = -1;  // guarded by gLockMutex

constexpr char kRaiseRequest[] = "raise\n";

// $XDG_RUNTIME_DIR is private to the user; without it the temp folder, with the user id
// in the name so that users do not meet each other's files.
std::string TempBase(const std::string& name, bool honourTmpdir) {
  const char* tmp = honourTmpdir ? getenv("TMPDIR") : nullptr;
  std::string dir = tmp && tmp[0] == '/' ? tmp : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir + name + "-" + std::to_string(getuid());
}

std::string InstanceBase(const std::string& name) {
  const char* rd = getenv("XDG_RUNTIME_DIR");
  if (rd && rd[0] == '/' && FolderExists(rd)) {
    std::string dir = rd;
    if (dir.back() != '/') dir += '/';
    return dir + name;
  }
  return TempBase(name, true);
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

std::string InstanceLockPath(const std::string& name) { return InstanceBase(name) + ".lock"; }
std::string InstanceSocketPath(const std::string& name) {
  std::string path = InstanceBase(name) + ".sock";
  // A socket name has room for 107 bytes; a deep runtime folder would silently lose the
  // raise request, so such a name moves to the short temp folder.
  if (path.size() >= sizeof(sockaddr_un::sun_path)) path = TempBase(name, false) + ".sock";
  return path;
}

int SingleInstanceLock(const std::string& name) {
  std::lock_guard<std::mutex> guard(gLockMutex);
  if (gLockFd >= 0) {
    close(gLockFd);  // closing the descriptor releases the flock
    gLockFd = -1;
  }
  if (name.empty()) return 0;
  // The file stays on disk: removing a lock file races with a start that just opened it.
  int fd = open(InstanceLockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    close(fd);
    return err == EWOULDBLOCK ? 2 : 0;
  }
  gLockFd = fd;
  return 1;
}

int FindInstanceWindow(const std::string& name, int value) {
  if (value == 0 || name.empty()) return 0;
  sockaddr_un addr;
  if (!FillAddress(InstanceSocketPath(name), &addr)) return 0;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    // No one listens: the running instance has no main window yet.
    close(fd);
    return 0;
  }
  return fd + 1;  // a handle is never 0, even if descriptor 0 was free
}

int ActivateWindow(int handle) { return SendInstanceRequest(handle, kRaiseRequest); }

int SendInstanceRequest(int handle, const std::string& request) {
  if (handle <= 0) return 0;
  int fd = handle - 1;
  ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  close(fd);
  return n == static_cast<ssize_t>(request.size()) ? 1 : 0;
}

int InstanceListenerOpen(const std::string& name) {
  sockaddr_un addr;
  std::string path = InstanceSocketPath(name);
  if (!FillAddress(path, &addr)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  // The caller holds the instance lock, so a socket file left there is a crashed run's.
  unlink(path.c_str());
  mode_t old = umask(077);
  int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  umask(old);
  if (rc != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int InstanceListenerRead(int listener, std::vector<int>* commands) {
  if (listener < 0) return 0;
  int raises = 0;
  for (;;) {
    int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR) continue;
      break;  // EAGAIN: nothing more waiting
    }
    // A second start writes its request right after connecting; wait a moment for it,
    // but never let a silent client hold up the main thread.
    char buf[32];
    size_t got = 0;
    while (got < sizeof buf) {
      pollfd p{c, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) break;
      ssize_t n = recv(c, buf + got, sizeof buf - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
      if (std::memchr(buf, '\n', got)) break;
    }
    int command = 0;
    const int kind = ParseInstanceRequest(std::string_view(buf, got), &command);
    if (kind == InstanceRequestRaise) ++raises;
    if (kind == InstanceRequestCommand && commands) commands->push_back(command);
    close(c);
  }
  return raises;
}

void InstanceListenerClose(int listener) {
  if (listener < 0) return;
  sockaddr_un addr{};
  socklen_t len = sizeof addr;
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0 && addr.sun_path[0]) unlink(addr.sun_path);
  close(listener);
}
