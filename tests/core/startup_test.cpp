// Start-up and shutdown (core/startup.cpp): the command line and the shutdown steps.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/core.h"
#include "core_env.h"
#include "data/data.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

namespace {

std::string Arguments(std::vector<std::string> args) {
  std::vector<char*> argv;
  static std::string program = "corvale-player";
  argv.push_back(program.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return CustomUrlFromArguments(static_cast<int>(argv.size() - 1), argv.data());
}

}  // namespace

// The command line: the last parameter wins, quotes go, spaces at both ends go.
TEST(StartupArguments, CustomUrlFromTheLastParameter) {
  EXPECT_EQ(Arguments({}), "");
  EXPECT_EQ(Arguments({"http://a/one"}), "http://a/one");
  EXPECT_EQ(Arguments({"http://a/one", "http://b/two"}), "http://b/two");
  EXPECT_EQ(Arguments({"  \"http://a/x y\"  "}), "http://a/x y");
  EXPECT_EQ(Arguments({"http://a/one", "   "}), "");
  EXPECT_EQ(Arguments({"\"\""}), "");
  EXPECT_EQ(Arguments({"\thttp://a/tab"}), "\thttp://a/tab");  // only spaces are trimmed
}

// Catches a halt that is not the end of the session (a fatal-error message while the
// player runs) silently stopping the settings from being saved at exit.
TEST_F(Shutdown, SavesAfterAnOrdinaryHalt) {
  std::string saved = gApp.userFolder;
  std::string folder = std::filesystem::temp_directory_path().string() + "/corvale-shutdown-" +
                       std::to_string(::getpid()) + "/";
  std::filesystem::create_directories(folder);
  gApp.userFolder = folder;
  ASSERT_EQ(SaveSettings(0, 1), 1);
  gSettings.mainX = 4321;
  testing::internal::CaptureStderr();
  ReportFatalError("Unable to register the hotkey.");
  testing::internal::GetCapturedStderr();
  RunShutdown();
  std::ifstream in(folder + "settings.json");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("4321"), std::string::npos) << text.str();
  std::filesystem::remove_all(folder);
  gApp.userFolder = saved;
}
