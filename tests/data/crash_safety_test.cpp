// A process killed at any moment while it saves its settings and stream-list cache leaves
// each file as the old or the new version: never a mix, a truncated or an empty file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "data_env.h"

namespace {

using datatest::DataEnv;
using datatest::ReadFile;

class CrashSafety : public DataEnv {
 protected:
  // Two stream lists, large enough that the cache file takes many write blocks.
  std::vector<StreamEntry> lists[2];

  void SetUp() override {
    DataEnv::SetUp();
    gApp.debugLogging = 0;
    MakeUserFolder();
    for (int v = 0; v < 2; ++v) {
      for (int i = 0; i < 1500; ++i) {
        StreamEntry e;
        e.id = "stream " + std::to_string(i) + (v ? " b" : " a");
        e.url = "http://127.0.0.1:8471/stream/" + std::to_string(i) + (v ? "/second" : "/first");
        e.bitrate = 64 + i % 256;
        e.codec = v ? "aac" : "mp3";
        lists[v].push_back(e);
      }
    }
  }

  void SaveVersion(int v) {
    gSettings.preset.store(v + 1);
    SaveSettings(0, 1);
    SaveStreamListCache(lists[v]);
  }
};

// Catches a save that writes the file in place or renames a temporary file before its
// bytes are complete: a SIGKILL in the middle would leave a truncated or empty file.
TEST_F(CrashSafety, KilledWhileSavingLeavesOldOrNewFile) {
  const std::string settingsPath = userFolder + "settings.json";
  const std::string cachePath = userFolder + "streams.json";
  // The two versions of each file, written by the same routines.
  std::string settingsText[2], cacheText[2];
  for (int v = 1; v >= 0; --v) {
    SaveVersion(v);
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
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The saving side: alternates between the two versions until it is killed.
      for (int i = 0;; ++i) SaveVersion(i % 2);
    }
    usleep(std::uniform_int_distribution<int>(0, 15000)(random));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
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
