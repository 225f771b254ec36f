// A process killed at any moment while it saves its settings and stream-list cache leaves
// each file as the old or the new version: never a mix, a truncated or an empty file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "data_env.h"

#ifdef _WIN32
// The player's main window number is called WinMain too: keep the SDK's declaration apart.
#define WinMain CorvaleSdkWinMain
#include <windows.h>
#undef WinMain
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using datatest::DataEnv;
using datatest::ReadFile;

// Two stream lists, large enough that the cache file takes many write blocks.
std::vector<StreamEntry> MakeList(int v) {
  std::vector<StreamEntry> list;
  for (int i = 0; i < 1500; ++i) {
    StreamEntry e;
    e.id = "stream " + std::to_string(i) + (v ? " b" : " a");
    e.url = "http://127.0.0.1:8471/stream/" + std::to_string(i) + (v ? "/second" : "/first");
    e.bitrate = 64 + i % 256;
    e.codec = v ? "aac" : "mp3";
    list.push_back(e);
  }
  return list;
}

void SaveVersion(const std::vector<StreamEntry>* lists, int v) {
  gSettings.preset.store(v + 1);
  SaveSettings(0, 1);
  SaveStreamListCache(lists[v]);
}

// The saving side: alternates between the two versions until it is killed.
[[noreturn]] void SaveUntilKilled(const std::vector<StreamEntry>* lists) {
  for (int i = 0;; ++i) SaveVersion(lists, i % 2);
}

#ifdef _WIN32
// Windows has no fork: the saving side is this program started again with the per-user
// folder in kSaverVariable. It saves from the test environment's set-up, before any test
// runs, with the settings at the defaults that DataEnv gives the killing side.
constexpr const char* kSaverVariable = "CORVALE_CRASH_SAVER_FOLDER";
constexpr const char* kSaverReady = "saver: saving";  // a line, in text mode's line end

class SaverEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* folder = std::getenv(kSaverVariable);
    if (!folder || !*folder) return;
    gApp.userFolder = folder;
    gStation = StationInfo();
    ResetSettings();
    gApp.debugLogging = 0;
    const std::vector<StreamEntry> lists[2] = {MakeList(0), MakeList(1)};
    std::puts(kSaverReady);
    std::fflush(stdout);
    SaveUntilKilled(lists);
  }
};
::testing::Environment* const gSaverEnvironment = ::testing::AddGlobalTestEnvironment(new SaverEnvironment);

// One saving process; Kill ends it as abruptly as SIGKILL does.
class Saver {
 public:
  Saver() {
    // Savers die with this process too, even when a time limit kills it mid-test.
    static HANDLE job = [] {
      HANDLE j = CreateJobObjectW(nullptr, nullptr);
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      if (j) SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits);
      return j;
    }();
    job_ = job;
  }
  ~Saver() { Kill(); }
  // Starts the saver on `folder` and waits until it is saving. false when it never was.
  bool Start(const std::string& folder) {
    wchar_t exe[MAX_PATH];
    if (GetModuleFileNameW(nullptr, exe, MAX_PATH) == 0) return false;
    std::wstring command =
        L"\"" + std::wstring(exe) + L"\" --gtest_filter=" + L"CrashSafety.KilledWhileSavingLeavesOldOrNewFile";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    _putenv_s(kSaverVariable, folder.c_str());
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup, &process_);
    _putenv_s(kSaverVariable, "");
    CloseHandle(writeEnd);
    if (!started) {
      CloseHandle(readEnd);
      return false;
    }
    if (job_) AssignProcessToJobObject(job_, process_.hProcess);
    ResumeThread(process_.hThread);
    // Its test runner's lines, then the saver's own; the pipe breaks if it ends first.
    std::string out;
    char buf[256];
    DWORD n = 0;
    while (out.find(kSaverReady) == std::string::npos && ::ReadFile(readEnd, buf, sizeof buf, &n, nullptr) && n > 0)
      out.append(buf, n);
    CloseHandle(readEnd);
    return out.find(kSaverReady) != std::string::npos;
  }
  void Kill() {
    if (!process_.hProcess) return;
    TerminateProcess(process_.hProcess, 9);
    WaitForSingleObject(process_.hProcess, INFINITE);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
    process_ = PROCESS_INFORMATION{};
  }

 private:
  HANDLE job_ = nullptr;
  PROCESS_INFORMATION process_{};
};
#endif

class CrashSafety : public DataEnv {
 protected:
  std::vector<StreamEntry> lists[2];

  void SetUp() override {
    DataEnv::SetUp();
    gApp.debugLogging = 0;
    MakeUserFolder();
    lists[0] = MakeList(0);
    lists[1] = MakeList(1);
  }
};

// Catches a save that writes the file in place or renames a temporary file before its
// bytes are complete: a kill in the middle would leave a truncated or empty file.
TEST_F(CrashSafety, KilledWhileSavingLeavesOldOrNewFile) {
  const std::string settingsPath = userFolder + "settings.json";
  const std::string cachePath = userFolder + "streams.json";
  // The two versions of each file, written by the same routines.
  std::string settingsText[2], cacheText[2];
  for (int v = 1; v >= 0; --v) {
    SaveVersion(lists, v);
    settingsText[v] = ReadFile(settingsPath);
    cacheText[v] = ReadFile(cachePath);
  }
  ASSERT_NE(settingsText[0], settingsText[1]);
  ASSERT_NE(cacheText[0], cacheText[1]);
  ASSERT_GT(cacheText[0].size(), 100000u);

  std::mt19937 random(12345);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int kills = 0;
  while (kills < 400 && std::chrono::steady_clock::now() < end) {
    const auto delay = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 15000)(random));
#ifdef _WIN32
    Saver saver;
    ASSERT_TRUE(saver.Start(userFolder)) << "the saving process did not start";
    std::this_thread::sleep_for(delay);
    saver.Kill();
#else
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) SaveUntilKilled(lists);
    std::this_thread::sleep_for(delay);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
#endif
    ++kills;
    const std::string settings = ReadFile(settingsPath);
    const std::string cache = ReadFile(cachePath);
    ASSERT_TRUE(settings == settingsText[0] || settings == settingsText[1])
        << "kill " << kills << ": settings.json has " << settings.size() << " bytes";
    ASSERT_TRUE(cache == cacheText[0] || cache == cacheText[1])
        << "kill " << kills << ": streams.json has " << cache.size() << " bytes";
  }
  EXPECT_GT(kills, 0);
  std::printf("%d kills while saving\n", kills);
}

}  // namespace
