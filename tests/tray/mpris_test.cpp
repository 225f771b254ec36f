// The taskbar entry on a private session bus started by the test: the media player's
// commands, its properties, the launcher entry, and coming back after a bus restart.
// Linux only: the entry is a media player on the session bus. The Windows taskbar
// entry's calls are checked in tests/runtime/shell_win_test.cpp.
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "tray_support.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDest = "org.mpris.MediaPlayer2.corvaleplayer";

// A dbus-daemon of our own on a fixed socket, so that it can be restarted at the same place.
struct PrivateBus {
  fs::path dir;
  std::string address;
  pid_t pid = 0;

  PrivateBus() {
    dir = fs::temp_directory_path() / ("corvale-bus-" + std::to_string(getpid()));
    fs::create_directories(dir);
    address = "unix:path=" + (dir / "bus").string();
  }
  ~PrivateBus() {
    Stop();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  bool Start() {
    std::error_code ec;
    fs::remove(dir / "bus", ec);
    std::string cmd =
        "dbus-daemon --session --fork --print-pid=1 --nopidfile --address=" + address + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    char line[64] = {0};
    bool ok = fgets(line, sizeof line, p) != nullptr;
    pclose(p);
    pid = ok ? static_cast<pid_t>(atoi(line)) : 0;
    return pid > 0;
  }
  void Stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      // The daemon forked away from us, so it cannot be reaped; wait for it to be gone.
      for (int i = 0; i < 500 && kill(pid, 0) == 0; i++) usleep(10000);
    }
    pid = 0;
  }
};

// Runs a gdbus command on a helper thread while this thread keeps the player's event loop
// going (the player answers bus calls from there). Returns the command's output.
std::string BusCall(const std::string& args) {
  std::atomic<int> done{0};
  std::string out;
  std::thread t([&] {
    std::string cmd = "gdbus " + args + " 2>&1";
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      pclose(p);
    }
    done = 1;
  });
  // gdbus gives up after its own time-out; the loop ends with it.
  while (!done.load()) {
    DispatchTakenEvent(WaitWindowEvent(10));
  }
  t.join();
  // Commands posted while the call ran are handled before the caller looks.
  while (int kind = WaitWindowEvent(0)) DispatchTakenEvent(kind);
  return out;
}

std::string CallPlayer(const std::string& method) {
  return BusCall(std::string("call --session --timeout 10 --dest ") + kDest +
                 " --object-path /org/mpris/MediaPlayer2 --method org.mpris.MediaPlayer2.Player." + method);
}

std::string GetProperty(const std::string& iface, const std::string& name) {
  return BusCall(std::string("call --session --timeout 10 --dest ") + kDest +
                 " --object-path /org/mpris/MediaPlayer2 --method org.freedesktop.DBus.Properties.Get " +
                 iface + " " + name);
}

std::string QueryLauncher() {
  return BusCall(std::string("call --session --timeout 10 --dest ") + kDest +
                 " --object-path /com/canonical/unity/launcherentry/corvaleplayer"
                 " --method com.canonical.Unity.LauncherEntry.Query");
}

// Pumps the loop (and the bus check) until the player is on the bus; bounded.
bool WaitForBus() {
  for (int i = 0; i < 100 && !TaskbarEntryConnected(); i++) {
    CheckTaskbarEntry();
    WaitWindowEvent(50);
  }
  return TaskbarEntryConnected() == 1;
}

int gButtonsCreated = 0;
int MainCallback(const WindowMessage& m) {
  if (m.kind == MsgTaskbarButtonCreated) {
    gButtonsCreated++;
    BuildTaskbarButtons();
    return 1;
  }
  // A click becomes the button's menu command of window 1, as the main window does it.
  if (m.kind == MsgThumbButtonClick) TaskbarButtonClicked(m.param);
  return 0;
}

class MprisTest : public TrayTest {
 protected:
  PrivateBus bus;
  void SetUp() override {
    TrayTest::SetUp();
    if (system("command -v dbus-daemon >/dev/null && command -v gdbus >/dev/null") != 0)
      GTEST_SKIP() << "dbus-daemon or gdbus missing";
    ASSERT_TRUE(bus.Start());
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), 1);
    gButtonsCreated = 0;
    ASSERT_EQ(OpenWindow(WinMain, 0, 0, 23, 128, "main", WindowInvisible), 1);
    SetWindowCallback(WinMain, MainCallback);
    ASSERT_EQ(StartTaskbarEntry(WinMain), 1);
    ASSERT_TRUE(WaitForBus());
    // The first connection arrives as the taskbar-button message from the loop.
    for (int i = 0; i < 100 && gButtonsCreated == 0; i++) WaitWindowEvent(10);
    ASSERT_EQ(gButtonsCreated, 1);
  }
  void TearDown() override {
    StopTaskbarEntry();
    if (IsWindow(WinMain)) CloseWindow(WinMain);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
};

}  // namespace

// Catches a player that is not on the bus under its name, or with the wrong identity.
TEST_F(MprisTest, RegistersUnderItsName) {
  std::string id = GetProperty("org.mpris.MediaPlayer2", "Identity");
  EXPECT_NE(id.find("'Corvale Player'"), std::string::npos) << id;
  std::string entry = GetProperty("org.mpris.MediaPlayer2", "DesktopEntry");
  EXPECT_NE(entry.find("'corvale-player'"), std::string::npos) << entry;
}

// Catches PlayPause not toggling mute, and PlaybackStatus not following it.
TEST_F(MprisTest, PlayPauseTogglesMute) {
  gSettings.muted = 0;
  EXPECT_NE(GetProperty("org.mpris.MediaPlayer2.Player", "PlaybackStatus").find("'Playing'"),
            std::string::npos);
  CallPlayer("PlayPause");
  EXPECT_EQ(gSettings.muted.load(), 1);
  std::string status = GetProperty("org.mpris.MediaPlayer2.Player", "PlaybackStatus");
  EXPECT_NE(status.find("'Paused'"), std::string::npos) << status;
  std::string tip = GetProperty("com.corvale.Player.Buttons", "MuteTooltip");
  EXPECT_NE(tip.find("'Muted'"), std::string::npos) << tip;
  CallPlayer("PlayPause");
  EXPECT_EQ(gSettings.muted.load(), 0);
  EXPECT_NE(GetProperty("org.mpris.MediaPlayer2.Player", "PlaybackStatus").find("'Playing'"),
            std::string::npos);
  // Play while playing changes nothing; Pause mutes.
  CallPlayer("Play");
  EXPECT_EQ(gSettings.muted.load(), 0);
  CallPlayer("Pause");
  EXPECT_EQ(gSettings.muted.load(), 1);
}

// Catches the bus's Next not reaching the player's volume-mode step (the cycle itself is
// covered with the taskbar button), or a mode tooltip and status that do not follow.
TEST_F(MprisTest, NextStepsTheVolumeMode) {
  gSettings.preset = 1;
  gSettings.muted = 1;
  CallPlayer("Next");
  EXPECT_EQ(gSettings.preset.load(), 2);
  EXPECT_EQ(gSettings.muted.load(), 0);
  std::string tip = GetProperty("com.corvale.Player.Buttons", "ModeTooltip");
  EXPECT_NE(tip.find("'Preset 2'"), std::string::npos) << tip;
  std::string status = GetProperty("org.mpris.MediaPlayer2.Player", "PlaybackStatus");
  EXPECT_NE(status.find("'Playing'"), std::string::npos) << status;
}

// Catches metadata that does not follow the title on air, and artwork addresses that are
// not web addresses handed out.
TEST_F(MprisTest, MetadataFollowsTheTitle) {
  SetTrackInfo({"Some Artist", "Some Title", ""});
  {
    std::lock_guard<std::mutex> lock(gTrackHistory.lock);
    TrackHistoryEntry e;
    e.artist = "Some Artist";
    e.title = "Some Title";
    e.artwork = "https://art.example/cover.jpg";
    gTrackHistory.entries.push_back(e);
  }
  std::string meta = GetProperty("org.mpris.MediaPlayer2.Player", "Metadata");
  EXPECT_NE(meta.find("'xesam:title': <'Some Title'>"), std::string::npos) << meta;
  EXPECT_NE(meta.find("'xesam:artist': <['Some Artist']>"), std::string::npos) << meta;
  EXPECT_NE(meta.find("'mpris:artUrl': <'https://art.example/cover.jpg'>"), std::string::npos) << meta;
  {
    std::lock_guard<std::mutex> lock(gTrackHistory.lock);
    gTrackHistory.entries.front().artwork = "file:///etc/passwd";
  }
  meta = GetProperty("org.mpris.MediaPlayer2.Player", "Metadata");
  EXPECT_EQ(meta.find("mpris:artUrl"), std::string::npos) << meta;
}

// Catches a launcher entry that does not carry the progress table's states.
TEST_F(MprisTest, LauncherEntryFollowsTheProgressState) {
  gPlayer.connecting = 1;
  gSettings.muted = 1;
  UpdateTaskbarProgress();
  std::string q = QueryLauncher();
  EXPECT_NE(q.find("application://corvale-player.desktop"), std::string::npos) << q;
  EXPECT_NE(q.find("'urgent': <true>"), std::string::npos) << q;
  EXPECT_NE(q.find("'progress-visible': <true>"), std::string::npos) << q;
  EXPECT_NE(q.find("'progress': <1.0>"), std::string::npos) << q;
  gPlayer.connecting = 0;
  UpdateTaskbarProgress();
  q = QueryLauncher();
  EXPECT_NE(q.find("'urgent': <false>"), std::string::npos) << q;
  EXPECT_NE(q.find("'progress-visible': <true>"), std::string::npos) << q;
  gSettings.muted = 0;
  UpdateTaskbarProgress();
  q = QueryLauncher();
  EXPECT_NE(q.find("'progress-visible': <false>"), std::string::npos) << q;
}

// Catches a player that stays away after the session bus restarts, or comes back without
// its buttons being built anew.
TEST_F(MprisTest, ComesBackAfterTheBusRestarts) {
  bus.Stop();
  for (int i = 0; i < 100 && TaskbarEntryConnected(); i++) {
    CheckTaskbarEntry();
    WaitWindowEvent(20);
  }
  EXPECT_EQ(TaskbarEntryConnected(), 0);
  ASSERT_TRUE(bus.Start());
  ASSERT_TRUE(WaitForBus());
  for (int i = 0; i < 100 && gButtonsCreated < 2; i++) WaitWindowEvent(10);
  EXPECT_EQ(gButtonsCreated, 2);
  gSettings.muted = 0;
  CallPlayer("PlayPause");
  EXPECT_EQ(gSettings.muted.load(), 1);
}

// Catches a mute change that desktop widgets never hear of (no PropertiesChanged signal),
// and a launcher entry that is not signalled.
TEST_F(MprisTest, ChangesAreSignalled) {
  std::atomic<int> started{0}, found{0}, done{0};
  std::string seen;
  std::thread t([&] {
    std::string cmd = "timeout 20 dbus-monitor --address '" + bus.address +
                      "' \"type='signal',interface='org.freedesktop.DBus.Properties'\""
                      " \"type='signal',interface='com.canonical.Unity.LauncherEntry'\" 2>&1";
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char line[4096];
      while (fgets(line, sizeof line, p)) {
        started = 1;
        seen += line;
        if (seen.find("Paused") != std::string::npos && seen.find("urgent") != std::string::npos) break;
      }
      found = 1;
      // The monitor ends when its next write finds the pipe closed (or by timeout).
      pclose(p);
    }
    done = 1;
  });
  for (int i = 0; i < 1000 && !started.load(); i++) WaitWindowEvent(10);
  ASSERT_EQ(started.load(), 1) << "dbus-monitor did not start";
  gSettings.muted = 0;
  DispatchEvent(EventMenu, WinMain, 8, 0);
  gPlayer.connecting = 1;
  UpdateTaskbarProgress();
  gPlayer.connecting = 0;
  for (int i = 0; !done.load(); i++) {
    WaitWindowEvent(10);
    // Something more to write lets the monitor notice that nobody reads any more.
    if (found.load() && i % 20 == 0) DispatchEvent(EventMenu, WinMain, 8, 0);
  }
  t.join();
  EXPECT_NE(seen.find("PlaybackStatus"), std::string::npos) << seen;
  EXPECT_NE(seen.find("Paused"), std::string::npos) << seen;
  EXPECT_NE(seen.find("application://corvale-player.desktop"), std::string::npos) << seen;
  EXPECT_NE(seen.find("urgent"), std::string::npos) << seen;
}

// Catches a volume mode chosen from the menu while muted bringing the sound back but
// leaving the mute button and the bus's status at "muted".
TEST_F(MprisTest, MenuVolumeModeUnmutesEverywhere) {
  for (int command : {5, 6, 7}) {
    gSettings.muted = 0;
    DispatchEvent(EventMenu, WinMain, 8, 0);
    ASSERT_EQ(gSettings.muted.load(), 1);
    DispatchEvent(EventMenu, WinMain, command, 0);
    EXPECT_EQ(gSettings.muted.load(), 0);
    std::string tip = GetProperty("com.corvale.Player.Buttons", "MuteTooltip");
    EXPECT_NE(tip.find("'Unmuted'"), std::string::npos) << command << ": " << tip;
    std::string status = GetProperty("org.mpris.MediaPlayer2.Player", "PlaybackStatus");
    EXPECT_NE(status.find("'Playing'"), std::string::npos) << command << ": " << status;
  }
}

#endif  // _WIN32
