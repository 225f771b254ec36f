// Starting other programs: posix_spawn with the exit code, and the desktop's opener.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"

extern char** environ;

namespace {

// Children started without waiting: each gets a thread that waits for it, so none stays a
// zombie however long the player runs without starting another. The thread touches
// nothing but the child's number, so the exit can end it at any moment.
void ReapWhenEnded(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the child is left to the exit.
  }
}

// Starts program with its arguments. The child gets only the standard descriptors: the
// player's files, sockets and pipes (and those of the libraries it loads, whatever flags
// they were opened with) are closed in it before it runs. With ownGroup it leads a
// process group of its own. 0 when it could not be started.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, bool ownGroup) {
  if (program.empty()) return 0;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return 0;
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return 0;
  }
  pid_t pid = 0;
  int rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (rc == 0 && ownGroup) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  if (rc == 0) {
    bool searchPath = program.find('/') == std::string::npos;
    rc = searchPath ? posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ)
                    : posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : 0;
}

}  // namespace

int RunProcess(const std::string& program, const std::vector<std::string>& args, int wait, int* exitCode) {
  pid_t pid = Spawn(program, args, false);
  if (pid <= 0) return 0;
  if (!wait) {
    ReapWhenEnded(pid);
    return 1;
  }
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return 0;
  }
  // glibc's posix_spawn reports an exec failure as exit status 127 of the child.
  if (exitCode) {
    if (WIFEXITED(status))
      *exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
      *exitCode = 128 + WTERMSIG(status);
    else
      *exitCode = -1;
  }
  return 1;
}

int OpenWithShell(const std::string& target) {
  if (target.empty()) return 0;
  const char* opener = getenv("CORVALE_OPENER");
  std::string program = opener && *opener ? opener : "xdg-open";
  return RunProcess(program, {target}, 0, nullptr);
}

int RunProcessWait(const std::string& program, const std::vector<std::string>& args, int timeoutMs, int* exitCode) {
  return RunProcessWait(program, args, timeoutMs, exitCode, nullptr);
}

int RunProcessWait(const std::string& program, const std::vector<std::string>& args, int timeoutMs, int* exitCode,
                   int (*stopRequested)()) {
  // Its own process group, so a tool that started helpers is stopped with them.
  pid_t pid = Spawn(program, args, true);
  if (pid <= 0) return 0;
  int status = 0;
  int waited = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return 0;
    if ((timeoutMs >= 0 && waited >= timeoutMs) || (stopRequested && stopRequested())) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      if (exitCode) *exitCode = -1;
      return 2;
    }
    usleep(10000);
    waited += 10;
  }
  if (exitCode) {
    if (WIFEXITED(status))
      *exitCode = WEXITSTATUS(status);
    else
      *exitCode = -1;  // killed by a signal: no answer
  }
  return 1;
}

int StartDownloadedFile(const std::string& path) {
  if (!IsAbsolutePath(path)) return 0;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 0;
  unsigned char head[4] = {0, 0, 0, 0};
  ssize_t n = read(fd, head, sizeof head);
  struct stat st {};
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  bool program = n >= 2 && ((head[0] == '#' && head[1] == '!') ||
                            (n == 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F'));
  if (regular && program && fchmod(fd, (st.st_mode & 07777) | S_IXUSR) != 0) program = false;
  close(fd);
  if (!regular) return 0;
  if (program && RunProcess(path, {}, 0, nullptr)) return 1;
  return OpenWithShell(path);
}

void LimitMemoryArenas() {
  // The environment's MALLOC_ARENA_MAX, when set, is the user's choice.
  if (!getenv("MALLOC_ARENA_MAX")) mallopt(M_ARENA_MAX, 2);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv && argv[i]; ++i) args.push_back(argv[i]);
  return args;
}
