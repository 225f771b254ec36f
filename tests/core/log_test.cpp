#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "core/core.h"
#include "platform/platform.h"

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string MakeTempFolder(const char* tag) {
  std::string base =
      std::filesystem::temp_directory_path().string() + "/corvale-core-" + tag + "-" + std::to_string(::getpid()) + "/";
  std::filesystem::remove_all(base);
  std::filesystem::create_directories(base);
  return base;
}

// Splits a file into records at CR LF; the last piece after the final CR LF must be empty.
std::vector<std::string> SplitRecords(const std::string& text, bool* cleanEnd) {
  std::vector<std::string> records;
  size_t pos = 0;
  while (true) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) break;
    records.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  *cleanEnd = pos == text.size();
  return records;
}

}  // namespace

// The version strings: the long form pads the stamp numbers to 4, 4 and 5 digits.
TEST(Version, BuildsShortAndLongForms) {
  BuildVersionStrings();
  EXPECT_EQ(gApp.version, "5.4");
  EXPECT_EQ(gApp.versionLong, "5.4 (build 2025.1205.2124.52003)");
}

// The log's date masks: line prefix, file name and record stamp.
TEST(LogFormat, MasksOfLineFileNameAndRecord) {
  int64_t d = MakeDate(2025, 12, 5, 21, 4, 3);
  EXPECT_EQ(FormatDate("%hh:%ii:%ss ", d), "21:04:03 ");
  EXPECT_EQ(LogFileName(d), "Debug 2025-12-05 21-04-03.txt");
  EXPECT_EQ(FormatLogRecord(d, "21:04:03 Entering main loop."), "20251205210403 21:04:03 Entering main loop.\r\n");
  EXPECT_EQ(LogFileName(MakeDate(2001, 2, 3, 4, 5, 6)), "Debug 2001-02-03 04-05-06.txt");
}

// The scale in "Debug DPI scale = ": trailing zeros and a bare point are stripped.
TEST(LogFormat, ScaleFormatting) {
  struct Case {
    double scale;
    const char* text;
  } cases[] = {{1.0, "1"},      {1.5, "1.5"}, {1.25, "1.25"}, {2.0, "2"},
               {1.75f, "1.75"}, {10.0, "10"}, {0.5, "0.5"},   {144.0f / 96.0f, "1.5"}};
  for (const Case& c : cases) EXPECT_EQ(FormatScale(c.scale), c.text) << c.scale;
}

// The memory log keeps ten lines: the eleventh removes the first, the text shows 2-11.
TEST(MemoryLog, BoundedToTenLines) {
  ClearMemoryLog();
  for (int i = 1; i <= 10; ++i) WriteLog("line " + std::to_string(i));
  ASSERT_EQ(MemoryLogLines().size(), 10u);
  EXPECT_EQ(MemoryLogLines().front(), "line 1");
  WriteLog("line 11");
  std::vector<std::string> lines = MemoryLogLines();
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines.front(), "line 2");
  EXPECT_EQ(lines.back(), "line 11");
  std::string expected;
  for (int i = 2; i <= 11; ++i) expected += "line " + std::to_string(i) + "\r\n";
  EXPECT_EQ(MemoryLogText(), expected);
  ClearMemoryLog();
}

// Log() writes nothing anywhere while debug logging is off.
TEST(MemoryLog, NothingWhileLoggingIsOff) {
  ClearMemoryLog();
  gApp.debugLogging = 0;
  Log("should not appear.");
  EXPECT_TRUE(MemoryLogLines().empty());
  gApp.debugLogging = 1;
  Log("appears.");
  gApp.debugLogging = 0;
  ASSERT_EQ(MemoryLogLines().size(), 1u);
  EXPECT_TRUE(std::regex_match(MemoryLogLines()[0], std::regex(R"(\d\d:\d\d:\d\d appears\.)")));
  ClearMemoryLog();
}

// The file: named by the mask in the chosen folder, each record "14 digits, space, line, CR LF".
TEST(LogFile, NameAndRecordFormat) {
  std::string folder = MakeTempFolder("file");
  int64_t d = MakeDate(2025, 12, 5, 21, 24, 3);
  ASSERT_EQ(OpenLogFile(folder, d), 1);
  EXPECT_EQ(LogFilePath(), folder + "Debug 2025-12-05 21-24-03.txt");
  WriteLog("21:24:03 Debug log started.");
  WriteLog("21:24:03 Debug DPI scale = 1");
  WriteLog("21:24:04 Two records within one second keep their order.");
  CloseLogFile();
  EXPECT_EQ(LogFileIsOpen(), 0);
  bool cleanEnd = false;
  std::vector<std::string> records = SplitRecords(ReadWhole(folder + "Debug 2025-12-05 21-24-03.txt"), &cleanEnd);
  EXPECT_TRUE(cleanEnd);
  ASSERT_EQ(records.size(), 3u);
  std::regex form(R"(\d{14} (.*))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(records[0], m, form));
  EXPECT_EQ(m[1].str(), "21:24:03 Debug log started.");
  ASSERT_TRUE(std::regex_match(records[1], m, form));
  EXPECT_EQ(m[1].str(), "21:24:03 Debug DPI scale = 1");
  EXPECT_TRUE(std::regex_match(records[2], form));
  // The record stamp is the wall clock of the writing, a valid date.
  EXPECT_NE(ParseDate("%yyyy%mm%dd%hh%ii%ss", records[0].substr(0, 14)), 0);
  std::filesystem::remove_all(folder);
  ClearMemoryLog();
}

// A new file replaces one of the same name; a folder that does not exist gives no file.
TEST(LogFile, ReplacesSameNameAndFailsOnMissingFolder) {
  std::string folder = MakeTempFolder("replace");
  int64_t d = MakeDate(2025, 1, 2, 3, 4, 5);
  {
    std::ofstream old(folder + LogFileName(d), std::ios::binary);
    old << "old content that must go\r\n";
  }
  ASSERT_EQ(OpenLogFile(folder, d), 1);
  WriteLog("new");
  CloseLogFile();
  std::string text = ReadWhole(folder + LogFileName(d));
  EXPECT_EQ(text.find("old content"), std::string::npos);
  EXPECT_NE(text.find(" new\r\n"), std::string::npos);
  EXPECT_EQ(OpenLogFile(folder + "missing/", d), 0);
  EXPECT_EQ(LogFileIsOpen(), 0);
  std::filesystem::remove_all(folder);
  ClearMemoryLog();
}

// WriteLog from many threads at once: every record whole, none lost, each thread in order.
TEST(LogFile, ManyThreadsNeverTearLines) {
  std::string folder = MakeTempFolder("threads");
  ASSERT_EQ(OpenLogFile(folder, MakeDate(2025, 12, 5, 0, 0, 0)), 1);
  const int kThreads = 8, kLines = 400;
  std::string padding(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &padding] {
      for (int n = 0; n < kLines; ++n) WriteLog("T" + std::to_string(t) + " L" + std::to_string(n) + " " + padding);
    });
  for (std::thread& th : threads) th.join();
  std::string path = LogFilePath();
  CloseLogFile();
  bool cleanEnd = false;
  std::vector<std::string> records = SplitRecords(ReadWhole(path), &cleanEnd);
  EXPECT_TRUE(cleanEnd);
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kLines));
  std::regex form(R"(\d{14} T(\d+) L(\d+) x{300})");
  std::vector<int> next(kThreads, 0);
  for (const std::string& r : records) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r, m, form)) << r.substr(0, 60);
    int t = std::stoi(m[1].str()), n = std::stoi(m[2].str());
    ASSERT_EQ(n, next[t]) << "thread " << t;
    ++next[t];
  }
  EXPECT_EQ(MemoryLogLines().size(), 10u);
  std::filesystem::remove_all(folder);
  ClearMemoryLog();
}

// Catches log records held in the file buffer until it fills or the player quits: a crash
// or a kill then loses the very records that would explain it. Other files keep their buffer.
TEST(LogFile, EachRecordReachesTheFileAtOnce) {
  std::string folder = MakeTempFolder("flush");
  ASSERT_EQ(OpenLogFile(folder, MakeDate(2025, 12, 5, 1, 2, 3)), 1);
  std::string path = LogFilePath();
  WriteLog("01:02:03 Debug log started.");
  EXPECT_NE(ReadWhole(path).find(" 01:02:03 Debug log started.\r\n"), std::string::npos);
  WriteLog("01:02:04 Second line.");
  bool cleanEnd = false;
  EXPECT_EQ(SplitRecords(ReadWhole(path), &cleanEnd).size(), 2u);
  EXPECT_TRUE(cleanEnd);
  CloseLogFile();
  int other = CreateBufferedFile(folder + "other.txt");
  ASSERT_NE(other, 0);
  WriteBufferedFile(other, "kept in the buffer");
  EXPECT_EQ(ReadWhole(folder + "other.txt"), "") << "an ordinary file lost its buffer";
  CloseBufferedFile(other);
  EXPECT_EQ(ReadWhole(folder + "other.txt"), "kept in the buffer");
  std::filesystem::remove_all(folder);
  ClearMemoryLog();
}
