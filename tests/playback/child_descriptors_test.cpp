// Programs the player starts while a stream plays (the installer, the opener, the
// external tool) get only their standard descriptors, never the player's files and
// sockets or those of the audio library; the ones it does not wait for are collected
// when they end, so none stays a zombie.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "playback_test_util.h"
#include "station_sim_fixture.h"

using namespace playtest;

namespace {

// The child of this process whose command line is exactly `args`; 0 until it shows.
pid_t FindChild(const std::vector<std::string>& args) {
  std::string want;
  for (const std::string& a : args) want += a + '\0';
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
    std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (ReadFile(e.path().string() + "/cmdline") != want) continue;
    std::ifstream stat(e.path().string() + "/stat");
    std::string pid, comm, state;
    pid_t parent = 0;
    stat >> pid >> comm >> state >> parent;
    if (parent == getpid()) return pid_t(std::stoi(name));
  }
  return 0;
}

std::set<int> Descriptors(pid_t pid) {
  std::set<int> fds;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
    fds.insert(std::stoi(e.path().filename().string()));
  return fds;
}

// Gone, not a zombie: its /proc entry disappears once it has been collected.
bool Collected(pid_t pid) {
  for (int i = 0; i < 2000; ++i) {
    if (!std::filesystem::exists("/proc/" + std::to_string(pid))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class ChildDescriptors : public PlayerEnv {};

}  // namespace

// Catches descriptors leaking into the programs the player starts (the stream's socket,
// the audio output, the player's own files), and a program not waited for left a zombie.
TEST_F(ChildDescriptors, OnlyTheStandardThreeWhileAStreamPlays) {
  ScratchFolder output;
  ScratchPlayerFolders folders;
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--title-seconds", "60", "--no-tls"})) << sim.startError;
  ASSERT_EQ(OpenAudioLibrary("file:" + output.Path() + "out.raw"), "");
  gStation.infoUrls = {sim.Url("/info.json?streams=mp3")};
  LogCapture log;  // the player's log file is open too
  StreamInfoWorker(kStreamInfoStartup);
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  bool playing = false;
  for (int i = 0; i < 300 && !playing; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    playing = gPlayer.streamHandle.load() != 0 && gBass.BASS_ChannelIsActive(gPlayer.streamHandle.load()) != 0;
  }
  ASSERT_TRUE(playing);
  // The player holds more than the three: the stream's connection, the output file, the log.
  ASSERT_GT(Descriptors(getpid()).size(), 3u);

  // Each starter runs `sleep` with an argument of its own, so the child can be found.
  std::string script = folders.data.Path() + "setup.run";
  WriteFile(script, "#!/bin/sh\nexec sleep 61.4\n");
  setenv("CORVALE_OPENER", "sleep", 1);
  std::thread waiting;
  struct Starter {
    std::vector<std::string> args;
    std::function<void()> start;
    bool waited;
  } starters[] = {
      {{"sleep", "61.1"}, [] { EXPECT_EQ(RunProcess("sleep", {"61.1"}, 0, nullptr), 1); }, false},
      {{"sleep", "61.2"}, [] { EXPECT_EQ(OpenWithShell("61.2"), 1); }, false},
      {{"sleep", "61.3"},
       [&] {
         waiting = std::thread([] {
           int code = 0;
           EXPECT_EQ(RunProcessWait("sleep", {"61.3"}, 120000, &code), 1);
         });
       },
       true},
      {{"sleep", "61.4"}, [&] { EXPECT_EQ(StartDownloadedFile(script), 1); }, false},
  };
  for (const Starter& s : starters) {
    SCOPED_TRACE(s.args[1]);
    s.start();
    pid_t child = 0;
    for (int i = 0; i < 2000 && !child; ++i) {
      child = FindChild(s.args);
      if (!child) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(child, 0);
    // Its command line shows a moment before an exec has closed the descriptors marked
    // close-on-exec (a script's shell holds its script so): what it keeps stays.
    const std::set<int> standard{0, 1, 2};
    for (int i = 0; i < 100 && Descriptors(child) != standard; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Descriptors(child), standard);
    kill(child, SIGTERM);
    if (s.waited) waiting.join();
    EXPECT_TRUE(Collected(child)) << "left a zombie";
  }
  unsetenv("CORVALE_OPENER");

  CloseCapture();
}

#endif
