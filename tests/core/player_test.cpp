// The player executable end to end: start-up with the debug log on, a second start,
// a start while the instance lock is held, and the session end by SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <regex>
#include <sstream>
#include <thread>

#include "core/core.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The player is built beside the test executable (bin/).
std::string PlayerPath() {
  if (const char* build = std::getenv("CORVALE_BUILD_DIR"); build && *build)
    return std::string(build) + "/bin/corvale-player";
  return fs::read_symlink("/proc/self/exe").parent_path().string() + "/corvale-player";
}

// A listing of a folder's files with their sizes and modification times.
std::string Snapshot(const std::string& folder) {
  std::ostringstream out;
  if (!fs::exists(folder)) return "(missing)";
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    out << e.path().string();
    if (e.is_regular_file())
      out << " " << e.file_size() << " " << e.last_write_time().time_since_epoch().count() << " "
          << ReadWhole(e.path().string()).size();
    out << "\n";
  }
  return out.str();
}

struct Child {
  pid_t pid = -1;
  std::string out;  // stdout and stderr
};

// Waits up to limitMs for the child to end; -1 when it did not (it is then killed).
int WaitChild(Child& c, int limitMs) {
  for (int waited = 0; waited <= limitMs; waited += 20) {
    int status = 0;
    pid_t r = waitpid(c.pid, &status, WNOHANG);
    if (r == c.pid) {
      c.pid = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(c.pid, SIGKILL);
  waitpid(c.pid, nullptr, 0);
  c.pid = -1;
  return -1;
}

class Player : public ::testing::Test {
 protected:
  void SetUp() override {
    // A death test's child runs this again: it works in its parent's folders.
    if (const char* inherited = std::getenv("CORVALE_TEST_PLAYER_HOME")) {
      home_ = inherited;
      userFolder_ = home_ + "config/" + kProgramId + "/";
      return;
    }
    // Short: the instance socket's path must fit a socket address (108 bytes).
    static int serial = 0;
    home_ =
        fs::temp_directory_path().string() + "/cvp" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + "/";
    fs::remove_all(home_);
    fs::create_directories(home_ + "config");
    fs::create_directories(home_ + "run");
    fs::permissions(home_ + "run", fs::perms::owner_all);
    fs::create_directories(home_ + "logs");
    userFolder_ = home_ + "config/" + kProgramId + "/";
  }
  void TearDown() override {
    for (Child& c : children_)
      if (c.pid > 0) {
        kill(c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
      }
    fs::remove_all(home_);
  }

  void WriteSettings(int debugShow) {
    fs::create_directories(userFolder_);
    std::ofstream f(userFolder_ + "settings.json", std::ios::binary);
    f << "{\"program\":{\"id\":\"" << kProgramId
      << "\",\"version\":\"5.4\",\"title\":\"Corvale Player\",\"publisher\":\"Corvale Productions\"},"
      << "\"player\":{\"versioncheck\":0,\"streaminfo\":0,\"trayicon\":0,\"artwork\":1,\"bitrate\":0,\"codec\":\"\"},"
      << "\"debug\":{\"x\":-32000,\"y\":-32000,\"show\":" << debugShow << ",\"savepath\":\"" << home_ << "logs/\"}}";
  }

  // Starts the player with the test's folders; a custom URL on a closed loopback port
  // keeps it away from any station.
  Child& Start(const std::string& tag) {
    children_.emplace_back();
    Child& c = children_.back();
    std::string outPath = home_ + tag + ".out";
    std::vector<std::string> env = {"HOME=" + home_,
                                    "XDG_CONFIG_HOME=" + home_ + "config",
                                    "XDG_RUNTIME_DIR=" + home_ + "run",
                                    "XDG_DOCUMENTS_DIR=" + home_ + "logs",
                                    "QT_QPA_PLATFORM=offscreen",
                                    "CORVALE_DIALOGS=stderr",
                                    "CORVALE_AUDIO_OUTPUT=null",
                                    "DBUS_SESSION_BUS_ADDRESS=disabled:",
                                    "PATH=/usr/bin:/bin"};
    // The sanitizer settings of the test run are kept; leak reports of the toolkit's
    // own caches at exit are not the subject here.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
      if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string player = PlayerPath();
    std::string url = "http://127.0.0.1:9/none";
    char* argv[] = {player.data(), url.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    c.out = outPath;
    if (posix_spawn(&c.pid, player.c_str(), &actions, nullptr, argv, envp.data()) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return c;
  }

  // Waits (bounded) until the running player's main window carries the instance marker.
  bool WaitForInstance(Child& c) {
    setenv("XDG_RUNTIME_DIR", (home_ + "run").c_str(), 1);
    std::string socket = InstanceSocketPath(kProgramId);
    if (socket.size() >= 108) return false;
    for (int i = 0; i < 3000; ++i) {
      if (fs::exists(socket)) return true;
      int status = 0;
      if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
        c.pid = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::string home_, userFolder_;
  std::list<Child> children_;  // stable addresses
};

// The log file's records: "14 digits, space, hh:mm:ss, space, text", CR LF each.
std::vector<std::string> LogRecords(const std::string& folder, std::string* name) {
  std::vector<std::string> lines;
  for (const auto& e : fs::directory_iterator(folder)) {
    *name = e.path().filename().string();
    std::string text = ReadWhole(e.path().string());
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find("\r\n", pos);
      if (end == std::string::npos) {
        lines.push_back("(unterminated) " + text.substr(pos));
        break;
      }
      lines.push_back(text.substr(pos, end - pos));
      pos = end + 2;
    }
  }
  return lines;
}

}  // namespace

// Start-up with the debug window on, a second start, and the session end by SIGTERM.
TEST_F(Player, DebugLogSecondStartAndSessionEnd) {
  ASSERT_TRUE(fs::exists(PlayerPath())) << PlayerPath();
  WriteSettings(1);
  Child& first = Start("first");
  ASSERT_GT(first.pid, 0);
  ASSERT_TRUE(WaitForInstance(first)) << ReadWhole(first.out);

  // A second start hands over to the first and leaves without touching the per-user folder.
  std::string before = Snapshot(userFolder_);
  Child& second = Start("second");
  ASSERT_GT(second.pid, 0);
  EXPECT_EQ(WaitChild(second, 60000), 0);
  EXPECT_EQ(Snapshot(userFolder_), before);
  EXPECT_EQ(ReadWhole(second.out).find("dialog:"), std::string::npos) << ReadWhole(second.out);
  EXPECT_EQ(kill(first.pid, 0), 0) << "the first instance must still run";

  // The session ends: the player leaves through the shutdown path with exit code 0.
  ASSERT_EQ(kill(first.pid, SIGTERM), 0);
  EXPECT_EQ(WaitChild(first, 60000), 0) << ReadWhole(first.out);

  std::string name;
  std::vector<std::string> records = LogRecords(home_ + "logs", &name);
  EXPECT_TRUE(std::regex_match(name, std::regex(R"(Debug \d{4}-\d\d-\d\d \d\d-\d\d-\d\d\.txt)"))) << name;
  ASSERT_GE(records.size(), 3u) << ReadWhole(first.out);
  std::regex form(R"(\d{14} \d\d:\d\d:\d\d (.*))");
  std::vector<std::string> texts;
  for (const std::string& r : records) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r, m, form)) << r;
    texts.push_back(m[1].str());
  }
  EXPECT_EQ(texts[0], "Debug log started.");
  EXPECT_EQ(texts[1], "Debug DPI scale = 1");
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Custom stream url."), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Entering main loop."), texts.end());
  // The end of the session skips the "Exiting." line, and no "Ending log." either.
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "Exiting."), texts.end());
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "Ending log."), texts.end());
}

// With the instance lock held by a program that shows no window yet, a start leaves silently.
TEST_F(Player, LockHeldWithoutWindowExitsSilently) {
  ASSERT_TRUE(fs::exists(PlayerPath())) << PlayerPath();
  setenv("XDG_RUNTIME_DIR", (home_ + "run").c_str(), 1);
  ASSERT_EQ(SingleInstanceLock(kProgramId), 1);
  Child& c = Start("locked");
  ASSERT_GT(c.pid, 0);
  int rc = WaitChild(c, 60000);
  SingleInstanceLock("");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadWhole(c.out).find("dialog:"), std::string::npos) << ReadWhole(c.out);
  EXPECT_FALSE(fs::exists(userFolder_)) << "the per-user folder must not be created";
}

// Without the debug window nothing is logged anywhere, and a session end still exits cleanly.
TEST_F(Player, NoLogFileWithoutDebugWindow) {
  ASSERT_TRUE(fs::exists(PlayerPath())) << PlayerPath();
  WriteSettings(0);
  Child& c = Start("quiet");
  ASSERT_GT(c.pid, 0);
  ASSERT_TRUE(WaitForInstance(c)) << ReadWhole(c.out);
  ASSERT_EQ(kill(c.pid, SIGTERM), 0);
  EXPECT_EQ(WaitChild(c, 60000), 0) << ReadWhole(c.out);
  EXPECT_TRUE(fs::is_empty(home_ + "logs"));
}

// The player in this process with "Quit Player" already chosen (for a death test's child).
[[noreturn]] void RunPlayerChoosingQuit() {
  static char arg0[] = "corvale-player";
  static char arg1[] = "http://127.0.0.1:9/none";
  static char* argv[] = {arg0, arg1, nullptr};
  RuntimeInit(2, argv);
  // Waiting in the queue until the loop takes it, as a menu choice would.
  PostEvent(EventMenu, WinMain, 14);
  std::exit(PlayerMain(2, argv));
}

// "Quit Player" leaves through the shutdown steps: the log's last start-up line is
// followed by "Exiting.", and the file is closed without "Ending log.".
TEST_F(Player, QuitCommandRunsTheShutdownSteps) {
  WriteSettings(1);
  const char* names[] = {"HOME",
                         "XDG_CONFIG_HOME",
                         "XDG_RUNTIME_DIR",
                         "QT_QPA_PLATFORM",
                         "CORVALE_DIALOGS",
                         "CORVALE_AUDIO_OUTPUT",
                         "DBUS_SESSION_BUS_ADDRESS"};
  std::vector<std::pair<std::string, std::string>> saved;
  for (const char* n : names)
    if (const char* v = std::getenv(n)) saved.emplace_back(n, v);
  setenv("HOME", home_.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home_ + "config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (home_ + "run").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("CORVALE_DIALOGS", "stderr", 1);
  setenv("CORVALE_AUDIO_OUTPUT", "null", 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
  setenv("CORVALE_TEST_PLAYER_HOME", home_.c_str(), 1);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RunPlayerChoosingQuit(), ::testing::ExitedWithCode(0), "");
  unsetenv("CORVALE_TEST_PLAYER_HOME");
  for (const char* n : names) unsetenv(n);
  for (auto& [n, v] : saved) setenv(n.c_str(), v.c_str(), 1);

  std::string name;
  std::vector<std::string> records = LogRecords(home_ + "logs", &name);
  std::vector<std::string> texts;
  std::regex form(R"(\d{14} \d\d:\d\d:\d\d (.*))");
  for (const std::string& r : records) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r, m, form)) << r;
    texts.push_back(m[1].str());
  }
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[0], "Debug log started.");
  auto entering = std::find(texts.begin(), texts.end(), "Entering main loop.");
  auto exiting = std::find(texts.begin(), texts.end(), "Exiting.");
  ASSERT_NE(entering, texts.end());
  ASSERT_NE(exiting, texts.end());
  EXPECT_LT(entering - texts.begin(), exiting - texts.begin());
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "Ending log."), texts.end());
}
