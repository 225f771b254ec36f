// Which paths count as absolute and where a path's folder ends, on each build.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// Catches a drive or UNC path refused on Windows (local manual pages and PatchBeacon
// would never be found), and a path that depends on the current folder or drive taken
// as absolute (a bare name would be looked up along PATH).
TEST(Paths, AbsoluteOnEachBuild) {
  struct Case {
    const char* path;
    int onLinux, onWindows;
  } cases[] = {
      {"/usr/bin/tool", 1, 0},  // rooted on the current drive: not absolute on Windows
      {"C:\\Program Files\\Tool\\tool.exe", 0, 1},
      {"c:/tools/tool.exe", 0, 1},
      {"\\\\server\\share\\tool.exe", 0, 1},
      {"//server/share/tool.exe", 1, 1},
      {"\\\\?\\C:\\long\\tool.exe", 0, 1},
      {"C:tool.exe", 0, 0},  // relative to the drive's current folder
      {"C:", 0, 0},
      {"\\tool.exe", 0, 0},
      {"\\\\\\tool.exe", 0, 0},  // no server name
      {"tool.exe", 0, 0},
      {"1:\\tool.exe", 0, 0},
      {"", 0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(IsAbsolutePath(c.path), kWindows ? c.onWindows : c.onLinux) << c.path;
}

// Catches a folder cut at the wrong separator: on Windows a save dialog answers with
// backslashes, and a cut at "/" only lost the folder (the download never started).
TEST(Paths, FolderOfPath) {
  struct Case {
    const char* path;
    const char* onLinux;
    const char* onWindows;
  } cases[] = {
      {"/home/a/setup.run", "/home/a/", "/home/a/"},
      {"C:\\Users\\a\\Downloads\\setup.exe", "", "C:\\Users\\a\\Downloads\\"},
      {"C:\\Users\\a/mixed\\setup.exe", "C:\\Users\\a/", "C:\\Users\\a/mixed\\"},
      {"/folder/", "/folder/", "/folder/"},
      {"setup.exe", "", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(FolderOfPath(c.path), kWindows ? c.onWindows : c.onLinux) << c.path;
}

// Catches the Linux texts left in the Windows build: its installers are .exe and .msi,
// and its oldest system is Vista (NT 6.0), which every Windows under test passes.
TEST(Paths, BuildTexts) {
  const std::string filter = kInstallerFileFilter;
  EXPECT_EQ(filter.find('|'), filter.rfind('|')) << filter;
  EXPECT_EQ(filter.find(".exe") != std::string::npos, kWindows) << filter;
  EXPECT_EQ(filter.find(".deb") != std::string::npos, !kWindows) << filter;
  EXPECT_EQ(std::string(kOldestSystem.error).find(kWindows ? "Windows" : "Linux"), 0u) << kOldestSystem.error;
  EXPECT_EQ(IsLinuxVersionAtLeast(kOldestSystem.major, kOldestSystem.minor), 1);
  EXPECT_EQ(std::string(kBrowserStartError).find("xdg-open") != std::string::npos, !kWindows);
}

}  // namespace
