// A host program must be able to end at any moment while the library plays: without
// BASS_Free, from another thread with exit(), and while a connect waits on a server that
// never answers.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "playback/bass_api.h"
#include "station_sim_fixture.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace {

std::string LibraryPath() {
  const char* env = std::getenv("CORVALE_DATA_DIR");
  std::string dir = env && *env ? env : TEST_DATA_DIR;
  if (dir.back() != '/') dir += '/';
  return dir + kAudioLibraryFile;
}

// Runs the host; its exit status, or -1 when it had to be killed after limitSeconds.
#ifdef _WIN32
std::wstring Wide(const std::string& utf8) {
  std::wstring w(utf8.size() + 1, L'\0');
  w.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), int(w.size())) - 1));
  return w;
}

int RunHost(const std::string& mode, const std::string& url, int limitSeconds) {
  std::wstring command;
  for (const std::string& a : {std::string(EXIT_HOST_PATH), LibraryPath(), mode, url})
    command += L"\"" + Wide(a) + L"\" ";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -2;
  CloseHandle(pi.hThread);
  DWORD status = 0;
  if (WaitForSingleObject(pi.hProcess, DWORD(limitSeconds) * 1000) != WAIT_OBJECT_0) {
    TerminateProcess(pi.hProcess, 255);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hProcess);
    return -1;
  }
  GetExitCodeProcess(pi.hProcess, &status);
  CloseHandle(pi.hProcess);
  return int(status);
}
#else
int RunHost(const std::string& mode, const std::string& url, int limitSeconds) {
  std::vector<std::string> args = {EXIT_HOST_PATH, LibraryPath(), mode, url};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The host ends without freeing what the library holds; that is not what is tested.
  std::vector<std::string> env = {"ASAN_OPTIONS=detect_leaks=0"};
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

}  // namespace

// Catches a library whose static records are destroyed under its running threads, or
// whose exit waits for a network operation: the host hangs (or crashes) at exit.
TEST(HostExit, EndsWhileStreaming) {
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--no-tls"})) << sim.startError;
  struct Case {
    const char* mode;
    std::string url;
  } cases[] = {{"return", sim.Url("/stream/mp3")},
               {"thread", sim.Url("/stream/mp3")},
               {"connect", sim.Url("/stream/mp3?fault=stall")}};
  for (const Case& c : cases) {
    // A generous limit: the host needs about two seconds; a hang never ends.
    EXPECT_EQ(RunHost(c.mode, c.url, 60), 0) << c.mode;
  }
}
