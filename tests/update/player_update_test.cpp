// The player's executable end to end: at start-up it registers with the external tool
// (or logs that there is none) and starts the automatic check, whose question reaches
// standard error while the player keeps running.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "installed_player.h"
#include "update_test_util.h"

extern char** environ;

namespace {

class PlayerUpdate : public UpdateTest {
 protected:
  StationSim sim;
  std::string app, out;
  pid_t pid = -1;

  void SetUp() override {
    UpdateTest::SetUp();
#ifndef PLAYER_BINARY
    GTEST_SKIP() << "the player is not built";
#else
    ASSERT_TRUE(sim.Start({"--no-tls"})) << sim.startError;
    // A copy of the program whose data folder carries a version.json for this simulator.
    app = dir + "app/";
    InstallPlayer(dir, {{"version.json",
                         "{\"versionlist\": [{\"id\": \"{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}\", \"publisher\": "
                         "\"Corvale Productions\", \"name\": \"Corvale Player\", \"version\": \"5.4\", \"url\": [\"" +
                             sim.Url("/versionlist.json?number=5.5&download=0") + "\"]}]}\n"}},
                  "{\"versioncheck\": 1, \"streaminfo\": 0, \"trayicon\": 0}");
    out = dir + "player.out";
#endif
  }

  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    UpdateTest::TearDown();
  }

  void Start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> env = PlayerEnvironment(dir, "null");
    env.insert(env.end(), {"CORVALE_DIALOG_ANSWER=no", "DBUS_SESSION_BUS_ADDRESS=disabled:",
                           "CORVALE_REGISTRY_SYSTEM=" + dir + "registry", "PATCHBEACON_LIST=" + dir + "registrations",
                           "PATCHBEACON_LOG=" + dir + "tool.log"});
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string player = app + "corvale-player", url = "http://127.0.0.1:9/none";
    char* argv[] = {player.data(), url.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    ASSERT_EQ(posix_spawn(&pid, player.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Waits (bounded) until the text shows up in the file; the player must still run.
  bool WaitFor(const std::string& path, const std::string& text) {
    for (int i = 0; i < 3000; ++i) {
      if (ReadFile(path).find(text) != std::string::npos) return true;
      if (waitpid(pid, nullptr, WNOHANG) == pid) {
        pid = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::string LogText() {
    std::string all;
    for (const auto& e : fs::directory_iterator(dir + "logs")) all += ReadFile(e.path().string());
    return all;
  }

  int Stop() {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

}  // namespace

// Catches a start-up without the registration, or an automatic check that does not run or
// asks the wrong question.
TEST_F(PlayerUpdate, NoToolThenAutomaticCheckAsks) {
  Start();
  VersionEntry e;
  e.number = "5.5";
  ASSERT_TRUE(WaitFor(out, Line("Corvale Player Version Check", WebsiteQuestionText("5.4", e, 1)))) << ReadFile(out);
  EXPECT_EQ(Stop(), 0);
  EXPECT_NE(LogText().find(" PBT find = -1.\r\n"), std::string::npos) << LogText();
  EXPECT_NE(LogText().find(" Versioncheck number = 5.5\r\n"), std::string::npos) << LogText();
  EXPECT_FALSE(fs::exists(dir + "tool.log"));
}

// Catches a registered start that still checks by itself, or a missing /find and /add.
TEST_F(PlayerUpdate, ToolRegistersAndTakesOver) {
  WriteFile(dir + "registry", "[Software\\PatchBeacon]\nExe=sz:" + PatchBeaconPath() + "\n");
  Start();
  ASSERT_TRUE(WaitFor(dir + "tool.log", "/add ")) << ReadFile(out);
  // A check of its own would have fetched the list within the loop's first seconds.
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_EQ(Stop(), 0);
  ASSERT_NE(LogText().find(" Entering main loop.\r\n"), std::string::npos) << LogText();
  EXPECT_EQ(LogText().find("Versioncheck"), std::string::npos) << LogText();
  std::string versionFile = app + "data/version.json";
  EXPECT_EQ(ReadFile(dir + "tool.log"), "/find " + versionFile + "\n/add " + versionFile + "\n");
  EXPECT_NE(LogText().find(" PBT find = 1.\r\n"), std::string::npos) << LogText();
  EXPECT_EQ(ReadFile(out).find("dialog:"), std::string::npos) << ReadFile(out);
  EXPECT_EQ(SimGet(sim.port, "/control/stats").body.find("/versionlist.json"), std::string::npos);
}

// Catches the registration run on the window thread before the loop: with the tool told
// to hang (the player stops it after 30 s), the loop is entered while it still hangs, and
// quitting does not wait for it either.
TEST_F(PlayerUpdate, HangingToolLeavesTheWindowsAnswering) {
  WriteFile(dir + "registry", "[Software\\PatchBeacon]\nExe=sz:" + PatchBeaconPath() + "\n");
  Start({"PATCHBEACON_HANG=/find"});
  ASSERT_TRUE(WaitFor(dir + "tool.log", "/find ")) << ReadFile(out);
  bool looping = false;
  for (int i = 0; i < 3000 && !looping; ++i) {
    looping = LogText().find(" Entering main loop.\r\n") != std::string::npos;
    if (!looping) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(looping) << LogText();
  EXPECT_EQ(LogText().find("PBT find"), std::string::npos) << LogText();
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(LogText().find("Versioncheck"), std::string::npos) << LogText();
}
