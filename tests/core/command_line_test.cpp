// The command line a terminal user types: --help and --version answer and exit without a
// window or a per-user folder, and options are never taken for a stream address.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"

namespace {

namespace fs = std::filesystem;

std::string PlayerBinary() {
  if (const char* build = std::getenv("CORVALE_BUILD_DIR"); build && *build)
    return std::string(build) + "/bin/corvale-player";
  return fs::read_symlink("/proc/self/exe").parent_path().string() + "/corvale-player";
}

struct PlayerRun {
  int code = -1;  // exit code, -1 when it had to be killed
  std::string out, err;
};

// Runs the player with one argument in an empty home and no display; a run that tried
// to open a window would fail for the missing display instead of answering.
PlayerRun RunPlayer(const std::string& home, const std::string& argument) {
  PlayerRun r;
  const std::string outPath = home + "out.txt", errPath = home + "err.txt";
  std::vector<std::string> env = {"HOME=" + home + "home", "XDG_CONFIG_HOME=" + home + "home/config",
                                  "XDG_RUNTIME_DIR=" + home + "home/run", "PATH=/usr/bin:/bin"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string player = PlayerBinary(), arg = argument;
  char* argv[] = {player.data(), arg.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, player.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return r;
  int status = 0;
  for (int i = 0; i < 1500 && waitpid(pid, &status, WNOHANG) != pid; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (i == 1499) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return r;
    }
  }
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::stringstream o, e;
  o << std::ifstream(outPath).rdbuf();
  e << std::ifstream(errPath).rdbuf();
  r.out = o.str();
  r.err = e.str();
  return r;
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvale-cmdline-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string folder_;
};

}  // namespace

// Catches --help or --version that start the player (a window, the settings folder)
// instead of answering, or answer with the wrong text or a failure code.
TEST_F(CommandLine, HelpAndVersionAnswerWithoutStarting) {
  ASSERT_TRUE(fs::exists(PlayerBinary())) << PlayerBinary();
  BuildVersionStrings();
  struct Case {
    std::string argument;
    std::vector<std::string> expected;  // texts the standard output must hold
  };
  const Case cases[] = {
      {"--help", {"Usage: corvale-player [URL]", "CORVALE_AUDIO_OUTPUT", "--version"}},
      {"-h", {"Usage: corvale-player [URL]"}},
      {"--version", {"Corvale Player " + gApp.versionLong + "\n"}},
      {"-V", {"Corvale Player " + gApp.versionLong}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    const PlayerRun r = RunPlayer(folder_, c.argument);
    EXPECT_EQ(r.code, 0) << r.err;
    for (const std::string& text : c.expected) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(folder_ + "home")) << "the per-user folders were touched";
  }
}

// Catches an option taken for the custom stream address (and so played as a URL).
TEST(CommandLineUrl, OptionsAreNeverTheUrl) {
  struct Case {
    std::vector<std::string> args;
    std::string url;
  };
  const Case cases[] = {
      {{"--some-option"}, ""}, {{"http://a/one", "--some-option"}, "http://a/one"}, {{"\"-quoted\""}, ""},
      {{"  -spaced"}, ""},     {{"-platform", "http://b/two"}, "http://b/two"},     {{"http://a/x-y"}, "http://a/x-y"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    std::string program = "corvale-player";
    std::vector<char*> argv = {program.data()};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(CustomUrlFromArguments(int(argv.size() - 1), argv.data()), c.url) << c.args.back();
  }
}
