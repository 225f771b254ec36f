// Error boxes, notices and questions, and restoring the main window (core/boxes.cpp).
#include <gtest/gtest.h>

#include <string>

#include "core_env.h"

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
  EXPECT_EQ(gPlayer.shutdown.load(), 0);
  EXPECT_EQ(gPlayer.streamHandle.load(), 77u);
  testing::internal::CaptureStderr();
  ReportFatalError("BASS v2.4 needed!/x/data/");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(gPlayer.shutdown.load(), 1);
  EXPECT_EQ(gPlayer.streamHandle.load(), 0u);
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
