#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/core.h"
#include "data/data.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

namespace {

std::atomic<int> gReleaseStubborn{0};

// A worker that ends as soon as it is asked to stop.
void PoliteWorker(int) {
  while (!ThreadStopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// A worker stuck in a long operation that does not look at the stop request.
void StubbornWorker(int) {
  while (!gReleaseStubborn.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

std::string Arguments(std::vector<std::string> args) {
  std::vector<char*> argv;
  static std::string program = "corvale-player";
  argv.push_back(program.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return CustomUrlFromArguments(static_cast<int>(argv.size() - 1), argv.data());
}

class Boxes : public ::testing::Test {
 protected:
  void SetUp() override {
    static char arg0[] = "test_core";
    static char* argv[] = {arg0, nullptr};
    setenv("CORVALE_DIALOGS", "stderr", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);  // no display needed
    ASSERT_EQ(RuntimeInit(1, argv), 1);
    gApp.playbackHalted = 0;
    gPlayer.shutdown = 0;
    gPlayer.streamHandle = 0;
    gPlayer.workerThread = 0;
    gApp.versionCheckThread = 0;
    gApp.streamInfoThread = 0;
  }
  void TearDown() override {
    gApp.playbackHalted = 0;
    gPlayer.shutdown = 0;
    gPlayer.workerThread = 0;
    gApp.versionCheckThread = 0;
  }
};

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

// The window fonts: pixel height round(size / 0.72).
TEST(StartupFonts, UiFontSizeRule) {
  EXPECT_EQ(UiFontPixelHeight(10.0f), 14);
  EXPECT_EQ(UiFontPixelHeight(15.0f), 21);
  EXPECT_EQ(UiFontPixelHeight(7.2f), 10);
  EXPECT_EQ(UiFontPixelHeight(13.5f), 19);
}

// The error box: caption "Corvale Player Error!" and the text as given.
TEST_F(Boxes, ErrorBoxCaption) {
  testing::internal::CaptureStderr();
  ShowErrorBox("Linux 3.2 or later required!");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("dialog: Corvale Player Error!: Linux 3.2 or later required!"), std::string::npos) << err;
}

// A notice that does not end the program leaves playback alone; the fatal one halts it.
TEST_F(Boxes, OnlyFatalErrorsHaltPlayback) {
  gPlayer.streamHandle = 77;
  testing::internal::CaptureStderr();
  ReportError("Unable to load icons for the tray, trayicon disabled.");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("trayicon disabled."), std::string::npos);
  EXPECT_EQ(gApp.playbackHalted.load(), 0);
  EXPECT_EQ(gPlayer.shutdown.load(), 0);
  EXPECT_EQ(gPlayer.streamHandle.load(), 77u);
  testing::internal::CaptureStderr();
  ReportFatalError("BASS v2.4 needed!/x/data/");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(gApp.playbackHalted.load(), 1);
  EXPECT_EQ(gPlayer.streamHandle.load(), 0u);
}

// Halting asks the workers to stop instead of freezing them; they end on their own.
TEST_F(Boxes, HaltAsksWorkersToStop) {
  int thread = CreateThread(PoliteWorker, 0);
  ASSERT_GT(thread, 0);
  gApp.versionCheckThread = thread;
  HaltPlayback();
  EXPECT_EQ(gPlayer.shutdown.load(), 1);
  EXPECT_EQ(WaitForWorkers(60000), 1);
  EXPECT_EQ(IsThread(thread), 0);
}

// The exit never waits without bound: a worker that does not stop is reported, not awaited.
TEST_F(Boxes, ExitWaitIsBounded) {
  gReleaseStubborn = 0;
  int thread = CreateThread(StubbornWorker, 0);
  ASSERT_GT(thread, 0);
  gPlayer.workerThread = thread;
  HaltPlayback();
  EXPECT_EQ(WaitForWorkers(20), 0);
  gReleaseStubborn = 1;
  EXPECT_EQ(WaitForWorkers(60000), 1);
}

// A notice box runs on its own thread and returns at once; its text reaches the box.
TEST_F(Boxes, AsyncBoxReturnsAtOnce) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxAsync("Corvale Player Downloader", "Notice text", MbIconInformation, 0), 1);
  EXPECT_EQ(WaitForWorkers(60000), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("dialog: Corvale Player Downloader: Notice text"), std::string::npos) << err;
}

// Restoring the main window undoes minimised and maximised states.
TEST_F(Boxes, RestoreMainWindow) {
  ASSERT_EQ(OpenWindow(WinMain, 10, 10, 23, 128, kProgramName, WindowMinimizeBox), 1);
  SetWindowState(WinMain, WindowMinimized);
  ASSERT_EQ(GetWindowState(WinMain), WindowMinimized);
  RestoreMainWindow();
  EXPECT_EQ(GetWindowState(WinMain), WindowNormal);
  CloseWindow(WinMain);
}

// Catches a halt that is not the end of the session (a fatal-error message while the
// player runs) silently stopping the settings from being saved at exit.
TEST_F(Boxes, ShutdownSavesAfterAnOrdinaryHalt) {
  std::string saved = gApp.userFolder;
  std::string folder = std::filesystem::temp_directory_path().string() + "/corvale-shutdown-" +
                       std::to_string(::getpid()) + "/";
  std::filesystem::create_directories(folder);
  gApp.userFolder = folder;
  ResetSettings();
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
  ResetSettings();
}
