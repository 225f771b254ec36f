// The player's executable against the station simulator: a station whose stream
// information points at the simulator, debug logging on, sound to the null output. The
// debug log must show the start-up path in order and a loudness line at a title change.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "playback_test_util.h"
#include "station_sim_fixture.h"

#ifdef PLAYER_BINARY

using namespace playtest;
namespace fs = std::filesystem;

namespace {

// Listeners on the simulator's streams right now.
int Listeners(int port) {
  SimResponse r = SimGet(port, "/control/stats");
  std::smatch m;
  if (!std::regex_search(r.body, m, std::regex("\"listeners\": ([0-9]+)"))) return 0;
  return std::stoi(m[1]);
}

}  // namespace

// Catches a start-up path that runs out of order, misses a line or never plays.
TEST(PlayerEndToEnd, StartupPathInTheDebugLog) {
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--title-seconds", "6", "--no-tls"})) << sim.startError;
  ScratchFolder root;
  // The player finds its data folder beside its executable: a copy of it with the
  // installed files, and a station.json of our own.
  const std::string info = sim.Url("/info.json?streams=mp3,aac");
  InstallPlayer(root.Path(), {{"station.json", OneStationFile(info)}});
  std::vector<std::string> env = PlayerEnvironment(root.Path(), "null");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string exe = root.Path() + "app/corvale-player";
  char* argv[] = {exe.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);

  // Playing: the simulator sees its listener; then wait through a title change.
  bool listening = false;
  for (int i = 0; i < 300 && !listening; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    listening = Listeners(sim.port) > 0;
  }
  if (listening) std::this_thread::sleep_for(std::chrono::seconds(14));
  kill(pid, SIGTERM);
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 200 && !ended; ++i) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(listening) << "the player never connected";
  EXPECT_TRUE(ended) << "the player did not end on SIGTERM";

  const std::vector<std::string> lines = LogFolderLines(root.Path() + "logs");
  ASSERT_FALSE(lines.empty()) << "no debug log written";
  const int playing = ExpectStartupPathInOrder(lines, info, sim.Url("/stream/mp3"));
  static const std::regex loudness(
      "\".* - .*\", Headroom [0-9]+\\.[0-9]{2} dB, RMS -[0-9]+\\.[0-9]{2} dBFS, -?[0-9]+\\.[0-9]{2} dBFS Max Peak\\.");
  int measured = -1;
  for (size_t i = 0; i < lines.size() && measured < 0; ++i)
    if (std::regex_match(lines[i], loudness)) measured = int(i);
  EXPECT_GT(measured, playing);
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  if (HasFailure()) ADD_FAILURE() << all;
}

#endif
