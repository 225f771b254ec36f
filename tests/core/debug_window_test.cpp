#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "core_env.h"
#include "data/data.h"
#include "platform/platform.h"

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The line part of each "14 digits, space, line, CR LF" record.
std::vector<std::string> RecordLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string text = ReadWhole(path);
  std::regex record(R"((\d{14}) (\d\d:\d\d:\d\d (.*))\r\n)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), record); it != std::sregex_iterator(); ++it)
    lines.push_back((*it)[3].str());
  return lines;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) files.push_back(e.path().string());
  return files;
}

class DebugWindow : public CoreEnv {
 protected:
  void SetUp() override {
    CoreEnv::SetUp();
    folder_ = std::filesystem::temp_directory_path().string() + "/corvale-debugwin-" + std::to_string(::getpid()) +
              "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    gSettings.SetDebugSavePath(folder_);
    gSettings.debugX = 100;
    gSettings.debugY = 100;
    ClearMemoryLog();
    unsetenv("CORVALE_DIALOG_ANSWER");
    unsetenv("CORVALE_DIALOG_FILE");
  }
  void TearDown() override {
    OpenDebugLogWindow(0, 0, 0);
    ClearMemoryLog();
    unsetenv("CORVALE_DIALOG_ANSWER");
    unsetenv("CORVALE_DIALOG_FILE");
    std::filesystem::remove_all(folder_);
  }
  std::string folder_;
};

}  // namespace

// Opening starts logging and a new file whose first records are the start and the scale.
TEST_F(DebugWindow, OpeningStartsTheLogFile) {
  ASSERT_EQ(OpenDebugLogWindow(1, 1, 0), 1);
  EXPECT_EQ(IsWindow(WinDebug), 1);
  EXPECT_EQ(gApp.debugLogging.load(), 1);
  EXPECT_EQ(gSettings.debugShow.load(), 1);
  EXPECT_EQ(GetWindowTitle(WinDebug), "Corvale Player Debug Log");
  std::string path = LogFilePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.rfind(folder_ + "Debug ", 0), 0u);
  EXPECT_TRUE(
      std::regex_match(path.substr(folder_.size()), std::regex(R"(Debug \d{4}-\d\d-\d\d \d\d-\d\d-\d\d\.txt)")));
  // Closing without the question (as the confirmed close does) writes the file out.
  OpenDebugLogWindow(0, 0, 0);
  std::vector<std::string> lines = RecordLines(path);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Debug log started.");
  EXPECT_EQ(lines[1], "Debug DPI scale = 1");
  EXPECT_EQ(lines.back(), "Ending log.");
  EXPECT_EQ(gApp.debugLogging.load(), 0);
  EXPECT_EQ(IsWindow(WinDebug), 0);
  EXPECT_EQ(gSettings.debugShow.load(), 0);
}

// The layout at scale 1: 454 x 296 client, the text at (2, 2) 450 x 260, the button centred below.
TEST_F(DebugWindow, LayoutAtScaleOne) {
  ASSERT_EQ(OpenDebugLogWindow(1, 1, 0), 1);
  EXPECT_EQ(WindowClientWidth(WinDebug), 454);
  EXPECT_EQ(WindowClientHeight(WinDebug), 296);
  EXPECT_EQ(GadgetX(WinDebug, 22), 2);
  EXPECT_EQ(GadgetY(WinDebug, 22), 2);
  EXPECT_EQ(GadgetWidth(WinDebug, 22), 450);
  EXPECT_EQ(GadgetHeight(WinDebug, 22), 260);
  EXPECT_EQ(GadgetX(WinDebug, 23), 187);
  EXPECT_EQ(GadgetY(WinDebug, 23), 264);
  EXPECT_EQ(GadgetWidth(WinDebug, 23), 80);
  EXPECT_EQ(GadgetHeight(WinDebug, 23), 30);
  EXPECT_EQ(GetGadgetText(WinDebug, 23), "Savepath");
}

// The window shows the memory log: after eleven lines, lines 2 to 11; also from a worker.
TEST_F(DebugWindow, ShowsTheLastTenLines) {
  ASSERT_EQ(OpenDebugLogWindow(1, 1, 0), 1);
  for (int i = 1; i <= 11; ++i) WriteLog("line " + std::to_string(i));
  std::string expected;
  for (int i = 2; i <= 11; ++i) expected += "line " + std::to_string(i) + "\r\n";
  EXPECT_EQ(GetGadgetText(WinDebug, 22), expected);
  // A worker's line reaches the window through the main thread, never torn or stale.
  std::thread worker([] { WriteLog("from a worker"); });
  worker.join();
  FlushDebugLogText();
  std::string text = GetGadgetText(WinDebug, 22);
  EXPECT_EQ(text.substr(text.size() - std::string("from a worker\r\n").size()), "from a worker\r\n");
  EXPECT_EQ(text.find("line 2\r\n"), std::string::npos);
}

// Answering No keeps window, file and logging; Yes ends with "Ending log." as the last record.
TEST_F(DebugWindow, CloseAsksFirst) {
  ASSERT_EQ(OpenDebugLogWindow(1, 1, 0), 1);
  std::string path = LogFilePath();
  setenv("CORVALE_DIALOG_ANSWER", "No", 1);
  HandleDebugLogEvent(EventCloseWindow, 0, 0);
  EXPECT_EQ(IsWindow(WinDebug), 1);
  EXPECT_EQ(gApp.debugLogging.load(), 1);
  EXPECT_EQ(LogFileIsOpen(), 1);
  EXPECT_EQ(LogFilePath(), path);
  Log("Still logging.");
  setenv("CORVALE_DIALOG_ANSWER", "Yes", 1);
  HandleDebugLogEvent(EventCloseWindow, 0, 0);
  EXPECT_EQ(IsWindow(WinDebug), 0);
  EXPECT_EQ(gApp.debugLogging.load(), 0);
  EXPECT_EQ(LogFileIsOpen(), 0);
  EXPECT_EQ(gSettings.debugShow.load(), 0);
  std::vector<std::string> lines = RecordLines(path);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Still logging.");
  EXPECT_EQ(lines.back(), "Ending log.");
  // Logging is off: nothing more reaches memory.
  size_t before = MemoryLogLines().size();
  Log("not written.");
  EXPECT_EQ(MemoryLogLines().size(), before);
}

// "Savepath": the chosen folder becomes the log folder and the next records really go to a
// new file there; the old file keeps what it had.
TEST_F(DebugWindow, SavepathStartsANewFileThere) {
  ASSERT_EQ(OpenDebugLogWindow(1, 1, 0), 1);
  std::string oldPath = LogFilePath();
  std::string other = folder_ + "other/";
  std::filesystem::create_directories(other);
  setenv("CORVALE_DIALOG_FILE", (other + "any name.txt").c_str(), 1);
  HandleDebugLogEvent(EventGadget, 23, 0);
  EXPECT_EQ(gSettings.GetDebugSavePath(), other);
  std::string newPath = LogFilePath();
  EXPECT_EQ(newPath.rfind(other, 0), 0u) << newPath;
  Log("After the move.");
  OpenDebugLogWindow(0, 0, 0);
  std::vector<std::string> moved = RecordLines(newPath);
  ASSERT_GE(moved.size(), 2u);
  EXPECT_EQ(moved[0], "Created new log file.");
  EXPECT_EQ(moved[1], "After the move.");
  std::vector<std::string> old = RecordLines(oldPath);
  ASSERT_FALSE(old.empty());
  EXPECT_EQ(old[0], "Debug log started.");
  for (const std::string& line : old) EXPECT_NE(line, "After the move.");
}

// Cancelling the dialog changes nothing; a folder that does not exist is not taken.
TEST_F(DebugWindow, SavepathCancelAndMissingFolder) {
  ASSERT_EQ(OpenDebugLogWindow(1, 1, 0), 1);
  std::string path = LogFilePath();
  setenv("CORVALE_DIALOG_FILE", "", 1);
  HandleDebugLogEvent(EventGadget, 23, 0);
  EXPECT_EQ(gSettings.GetDebugSavePath(), folder_);
  EXPECT_EQ(LogFilePath(), path);
  setenv("CORVALE_DIALOG_FILE", (folder_ + "missing/x.txt").c_str(), 1);
  HandleDebugLogEvent(EventGadget, 23, 0);
  EXPECT_EQ(gSettings.GetDebugSavePath(), folder_);
  EXPECT_EQ(LogFilePath(), path);
  EXPECT_EQ(FilesIn(folder_).size(), 1u);
}

// An empty log folder is replaced by the Documents folder before the dialog opens.
TEST_F(DebugWindow, EmptySavepathBecomesDocuments) {
  gSettings.SetDebugSavePath("");
  setenv("CORVALE_DIALOG_FILE", "", 1);
  ChooseDebugSavePath();
  EXPECT_EQ(gSettings.GetDebugSavePath(), GetKnownFolder(KnownFolder::kDocuments));
}

// A log folder that cannot be written keeps logging on in memory and says so.
TEST_F(DebugWindow, UnwritableFolderLogsInMemory) {
  gSettings.SetDebugSavePath(folder_ + "missing/");
  ASSERT_EQ(OpenDebugLogWindow(1, 1, 0), 1);
  EXPECT_EQ(LogFileIsOpen(), 0);
  EXPECT_EQ(gApp.debugLogging.load(), 1);
  std::vector<std::string> lines = MemoryLogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[1].find("Unable to create log file."), std::string::npos);
}

// Ctrl+C (menu 3) puts the heading and the shown text on the clipboard.
TEST_F(DebugWindow, CopyToClipboard) {
  ASSERT_EQ(OpenDebugLogWindow(1, 1, 0), 1);
  WriteLog("12:00:00 copied line");
  HandleDebugLogEvent(EventMenu, 3, 0);
  std::string clip = GetClipboardText();
  EXPECT_EQ(clip.rfind("Corvale Player Debug Log Window\r\n", 0), 0u) << clip;
  EXPECT_NE(clip.find("12:00:00 copied line\r\n"), std::string::npos);
}

// A move of the window in the normal state stores its position.
TEST_F(DebugWindow, MoveStoresPosition) {
  ASSERT_EQ(OpenDebugLogWindow(1, 1, 0), 1);
  ResizeWindow(WinDebug, 140, 150, -1, -1);
  HandleDebugLogEvent(EventMoveWindow, 0, 0);
  int x = 0, y = 0, w = 0, h = 0;
  ASSERT_EQ(GetWindowRect(WinDebug, &x, &y, &w, &h), 1);
  EXPECT_EQ(gSettings.debugX.load(), x);
  EXPECT_EQ(gSettings.debugY.load(), y);
}

// A DPI change to 144 relays the window out at scale 1.5 and logs the new scale; DPI 0 is ignored.
TEST_F(DebugWindow, DpiChangeRelayout) {
  ASSERT_EQ(OpenDebugLogWindow(1, 1, 0), 1);
  WindowMessage zero;
  zero.kind = MsgDpiChanged;
  zero.window = WinDebug;
  zero.dpi = 0;
  DebugLogWindowCallback(zero);
  EXPECT_FLOAT_EQ(gApp.debugScale, 1.0f);
  WindowMessage m;
  m.kind = MsgDpiChanged;
  m.window = WinDebug;
  m.dpi = 144;
  m.x = 50;
  m.y = 60;
  m.width = 681;   // 3 + 675 + 3
  m.height = 444;  // 3 + 390 + 3 + 45 + 3
  DebugLogWindowCallback(m);
  EXPECT_FLOAT_EQ(gApp.debugScale, 1.5f);
  EXPECT_EQ(GadgetX(WinDebug, 22), 3);
  EXPECT_EQ(GadgetWidth(WinDebug, 22), 675);
  EXPECT_EQ(GadgetHeight(WinDebug, 22), 390);
  EXPECT_EQ(GadgetX(WinDebug, 23), 280);
  EXPECT_EQ(GadgetY(WinDebug, 23), 396);
  EXPECT_EQ(GadgetWidth(WinDebug, 23), 120);
  EXPECT_EQ(GadgetHeight(WinDebug, 23), 45);
  std::vector<std::string> lines = MemoryLogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("Debug DPI scale = 1.5"), std::string::npos) << lines.back();
  gApp.debugScale = 1.0f;
}
