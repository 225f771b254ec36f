// Opening web pages and the manual: what reaches the opener, and the language rule.
// Linux only so far: the opener is a shell script and the targets are POSIX paths; the
// web page rules (core/webpage.cpp) have no Windows form yet.
#ifndef _WIN32
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tray_support.h"

namespace fs = std::filesystem;

namespace {

struct FakeOpener {
  fs::path dir;
  fs::path log;
  FakeOpener() {
    dir = fs::temp_directory_path() / ("corvale-opener-" + std::to_string(getpid()));
    fs::create_directories(dir);
    log = dir / "opened.txt";
    fs::path script = dir / "opener.sh";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << (dir / "tmp.txt").string() << "\"\nmv \""
                          << (dir / "tmp.txt").string() << "\" \"" << log.string() << "\"\n";
    fs::permissions(script, fs::perms::owner_all);
    setenv("CORVALE_OPENER", script.c_str(), 1);
  }
  ~FakeOpener() {
    unsetenv("CORVALE_OPENER");
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  // What the opener was given; waits for the started opener to finish writing (bounded).
  std::string Opened() {
    for (int i = 0; i < 1000 && !fs::exists(log); i++) usleep(10000);
    std::ifstream in(log);
    std::stringstream s;
    s << in.rdbuf();
    fs::remove(log);
    return s.str();
  }
};

}  // namespace

// Catches addresses handed to the opener that could run or show something else, and a
// "file://" put in front of a web address.
TEST(WebPage, TargetRules) {
  fs::path page = fs::temp_directory_path() / ("corvale-page-" + std::to_string(getpid()) + ".html");
  std::ofstream(page) << "<p>hi</p>";
  struct Case {
    std::string url, target;
  } cases[] = {
      {"https://www.example.org/radio", "https://www.example.org/radio"},
      {"HTTP://example.org", "HTTP://example.org"},
      {"http://", ""},
      {"https:///etc/passwd", ""},
      {page.string(), page.string()},
      {"file://" + page.string(), page.string()},
      {"/etc/passwd", ""},                     // not a page
      {"file:///nonexistent/index.html", ""},  // missing
      {"relative/index.html", ""},
      {"javascript:alert(1)", ""},
      {"smb://host/share", ""},
      {"-h", ""},
      {"https://example.org/\nfile:///etc", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(WebPageTarget(c.url), c.target) << c.url;
  fs::remove(page);
}

// Catches a web address mangled on its way to the opener, and a refused address that
// still starts it.
TEST_F(TrayTest, OpenWebPageStartsTheOpener) {
  FakeOpener opener;
  ASSERT_EQ(OpenWebPage("https://corvale.example/"), 1);
  EXPECT_EQ(opener.Opened(), "https://corvale.example/");
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenWebPage("ftp://corvale.example/"), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("dialog: Error:"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(opener.log));
}

// Catches a failed opener start reported as success or without a message box.
TEST_F(TrayTest, OpenerThatCannotStartShowsABox) {
  setenv("CORVALE_OPENER", "/nonexistent/opener", 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenWebPage("https://corvale.example/"), 0);
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("CORVALE_OPENER");
  EXPECT_NE(err.find("dialog: Error:"), std::string::npos) << err;
}

// Catches the manual's language rule: a language with a folder gets its page, one without
// gets the main page, and "en" is taken without looking.
TEST_F(TrayTest, ShowManualFollowsTheLanguage) {
  FakeOpener opener;
  fs::path data = opener.dir / "data";
  fs::create_directories(data / "manual" / "de");
  std::ofstream(data / "manual" / "index.html") << "main";
  std::ofstream(data / "manual" / "de" / "index.html") << "de";
  std::string folder = gApp.dataFolder;
  gApp.dataFolder = data.string() + "/";
  const char* oldLang = getenv("LANG");
  std::string savedLang = oldLang ? oldLang : "";
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");

  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(ShowManual(), 1);
  EXPECT_EQ(opener.Opened(), gApp.dataFolder + "manual/de/index.html");

  setenv("LANG", "fr_FR.UTF-8", 1);
  EXPECT_EQ(ShowManual(), 1);
  EXPECT_EQ(opener.Opened(), gApp.dataFolder + "manual/index.html");

  // "en" has no folder here: the page is chosen unchecked, and the opener is not started
  // for a page that does not exist.
  setenv("LANG", "en_GB.UTF-8", 1);
  EXPECT_EQ(ManualPageForUser(), gApp.dataFolder + "manual/en/index.html");
  testing::internal::CaptureStderr();
  EXPECT_EQ(ShowManual(), 0);
  testing::internal::GetCapturedStderr();

  if (savedLang.empty())
    unsetenv("LANG");
  else
    setenv("LANG", savedLang.c_str(), 1);
  gApp.dataFolder = folder;
}

// Catches the installed manual missing its pages.
TEST(WebPage, ManualIsInstalled) {
  std::string folder = BuildDataFolder() + "manual/";
  EXPECT_TRUE(fs::exists(folder + "index.html"));
  EXPECT_TRUE(fs::exists(folder + "en/index.html"));
}

#endif  // _WIN32

// On both builds: the player's own pages in the forms each system writes them.
#include <filesystem>
#include <fstream>
#include <string>

#include "tray_support.h"

namespace {

// Catches a local page refused because its path is a Windows drive path, a file URL
// of one ("file:///C:/..."), or one written with the other separator; and a page that
// depends on the current folder or drive accepted.
TEST(WebPage, LocalPagesOfThisSystem) {
  const std::filesystem::path page =
      std::filesystem::temp_directory_path() / ("corvale-local-page-" + std::to_string(DateNow() % 100000) + ".html");
  std::ofstream(page) << "<p>hi</p>";
  std::string native = page.string();
  std::string slashes = native;
  for (char& c : slashes) {
    if (c == '\\') c = '/';
  }
  const std::string url = slashes[0] == '/' ? "file://" + slashes : "file:///" + slashes;
  for (const std::string& form : {native, slashes, url}) EXPECT_EQ(WebPageTarget(form), slashes) << form;
  // Relative to the current folder, or rooted on the current drive (on Windows).
  const std::string name = page.filename().string();
  EXPECT_EQ(WebPageTarget(name), "") << name;
  EXPECT_EQ(WebPageTarget("\\" + name), "") << name;
  std::filesystem::remove(page);
}

}  // namespace
