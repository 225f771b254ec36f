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
  InstallPlayer(root.Path(), info);
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

  std::vector<std::string> lines;
  for (const auto& e : fs::directory_iterator(root.Path() + "logs")) {
    std::istringstream in(ReadFile(e.path().string()));
    std::string record;
    while (std::getline(in, record)) {
      if (!record.empty() && record.back() == '\r') record.pop_back();
      if (record.size() >= 24) lines.push_back(record.substr(24));
    }
  }
  ASSERT_FALSE(lines.empty()) << "no debug log written";
  int fetch = FindLine(lines, "Getting stream info from " + info);
  int show = -1;
  for (size_t i = 0; i < lines.size() && show < 0; ++i)
    if (lines[i].rfind("Show = ", 0) == 0) show = int(i);
  int count = FindLine(lines, "2 entries in playlist.");
  int connect = FindLine(lines, "Connecting to \"MP3 128k\" " + sim.Url("/stream/mp3"));
  int connected = FindLine(lines, "Connected, 2 Ch, 44 KHz MP3.");
  int playing = FindLine(lines, "Playing.");
  EXPECT_GE(fetch, 0);
  EXPECT_GT(show, fetch);
  EXPECT_GT(count, show);
  EXPECT_GT(connect, count);
  EXPECT_GT(connected, connect);
  EXPECT_GT(playing, connected);
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
