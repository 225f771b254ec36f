#include <gtest/gtest.h>

#include "core_env.h"
#include "data/data.h"
#include "playback/playback.h"

namespace {

class LoopDispatch : public CoreEnv {
 protected:
  void SetUp() override {
    CoreEnv::SetUp();
    gSettings.trayIcon = 0;
  }
  void TearDown() override {
    if (IsWindow(WinMain)) CloseWindow(WinMain);
  }
};

}  // namespace

// Commands 5-7 select a mode, unmute and set the volume factor of that mode.
TEST_F(LoopDispatch, VolumeModeCommands) {
  gSettings.preset1 = 0.8f;
  gSettings.preset2 = 0.3f;
  gSettings.muted = 1;
  DispatchEvent(EventMenu, WinMain, 7, 0);
  EXPECT_EQ(gSettings.preset.load(), 2);
  EXPECT_EQ(gSettings.muted.load(), 0);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 0.3f);
  DispatchEvent(EventMenu, WinMain, 6, 0);
  EXPECT_EQ(gSettings.preset.load(), 1);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 0.8f);
  DispatchEvent(EventMenu, WinMain, 5, 0);
  EXPECT_EQ(gSettings.preset.load(), 0);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 1.0f);
}

// Command 8 toggles mute; command 1 does nothing on the main window.
TEST_F(LoopDispatch, MuteToggleAndNoContextAction) {
  gSettings.muted = 0;
  DispatchEvent(EventMenu, WinMain, 8, 0);
  EXPECT_EQ(gSettings.muted.load(), 1);
  DispatchEvent(EventMenu, WinMain, 8, 0);
  EXPECT_EQ(gSettings.muted.load(), 0);
  DispatchEvent(EventMenu, WinMain, 1, 0);
  EXPECT_EQ(gSettings.muted.load(), 0);
  EXPECT_EQ(gApp.quitRequested.load(), 0);
}

// The watchdog tick leaves a running connection attempt alone (no worker started).
TEST_F(LoopDispatch, WatchdogIdleWhileConnecting) {
  gPlayer.connecting = 1;
  gPlayer.streamHandle = 0;
  DispatchEvent(EventTimer, WinMain, TimerReconnect, 0);
  EXPECT_EQ(gPlayer.workerThread.load(), 0);
  gPlayer.streamHandle = 1234;
  DispatchEvent(EventTimer, WinMain, TimerReconnect, 0);
  EXPECT_EQ(gPlayer.workerThread.load(), 0);
  EXPECT_EQ(gPlayer.streamHandle.load(), 1234u);
}

// Only "Quit Player" and closing the main window end the loop, and only in an idle pass.
TEST_F(LoopDispatch, QuitOnlyFromCommand14OrClose) {
  EXPECT_EQ(IdlePass(1000), 0);
  DispatchEvent(EventCloseWindow, WinStats, 0, 0);
  DispatchEvent(EventMenu, WinMain, 13 + 100, 0);
  EXPECT_EQ(gApp.quitRequested.load(), 0);
  DispatchEvent(EventMenu, WinMain, 14, 0);
  EXPECT_EQ(gApp.quitRequested.load(), 1);
  EXPECT_EQ(IdlePass(1000), 1);
  gApp.quitRequested = 0;
  DispatchEvent(EventCloseWindow, WinMain, 0, 0);
  EXPECT_EQ(IdlePass(1000), 1);
}

// Minimise and restore keep the flag that silences the meter.
TEST_F(LoopDispatch, MinimiseAndRestore) {
  DispatchEvent(EventMinimizeWindow, WinMain, 0, 0);
  EXPECT_EQ(gApp.minimized.load(), 1);
  DispatchEvent(EventRestoreWindow, WinMain, 0, 0);
  EXPECT_EQ(gApp.minimized.load(), 0);
}

// The title follows the now-playing data, except while the window is minimised.
TEST_F(LoopDispatch, TitleUpdateSkippedWhileMinimised) {
  ASSERT_EQ(OpenWindow(WinMain, 10, 10, 23, 128, kProgramName, WindowBorderless), 1);
  SetTrackInfo(NowPlaying{"Artist", "Title", ""});
  DispatchEvent(EventNowPlaying, WinMain, 0, 0);
  EXPECT_EQ(GetWindowTitle(WinMain), "Artist - Title - Corvale Player");
  gApp.minimized = 1;
  SetTrackInfo(NowPlaying{"Other", "Song", ""});
  DispatchEvent(EventNowPlaying, WinMain, 0, 0);
  EXPECT_EQ(GetWindowTitle(WinMain), "Artist - Title - Corvale Player");
  SetTrackInfo(NowPlaying{"", "", ""});
}

// A move of the main window in the normal state stores its position.
TEST_F(LoopDispatch, MoveStoresMainPosition) {
  ASSERT_EQ(OpenWindow(WinMain, 30, 40, 23, 128, kProgramName, WindowBorderless), 1);
  DispatchEvent(EventMoveWindow, WinMain, 0, 0);
  int x = 0, y = 0, w = 0, h = 0;
  ASSERT_EQ(GetWindowRect(WinMain, &x, &y, &w, &h), 1);
  EXPECT_EQ(gSettings.mainX.load(), x);
  EXPECT_EQ(gSettings.mainY.load(), y);
}

// Housekeeping runs every 500 ms across the 2^31 and 2^32 points of the clock.
TEST_F(LoopDispatch, HousekeepingAcrossClockWraps) {
  struct Case {
    uint32_t stamp, now;
    bool runs;
  } cases[] = {
      {0x7FFFFF00u, 0x80000100u, true},   // 512 ms across 2^31
      {0xFFFFFF00u, 0x00000100u, true},   // 512 ms across 2^32
      {0xFFFFFF00u, 0x00000000u, false},  // 256 ms: not yet
      {1000, 1499, false},
      {1000, 1500, true},
  };
  for (const Case& c : cases) {
    gApp.levelPollStamp = c.now - 1000;
    gApp.housekeepingStamp = c.stamp;
    gPlayer.longPeakReset = 0;
    IdlePass(c.now);
    EXPECT_EQ(gPlayer.longPeakReset.load() == 1, c.runs) << c.stamp << " -> " << c.now;
    EXPECT_EQ(gApp.housekeepingStamp == c.now, c.runs);
  }
}

// The statistics timer refreshes at most once a second by the idle pass's clock, across the wrap.
TEST_F(LoopDispatch, StatsRefreshGateAcrossWrap) {
  gApp.loopNow = 0x00000200u;
  gApp.statsRefreshStamp = 0xFFFFFF00u;  // 768 ms earlier
  DispatchEvent(EventTimer, WinStats, 1, 0);
  EXPECT_EQ(gApp.statsRefreshStamp, 0xFFFFFF00u);
  gApp.loopNow = 0x00000400u;  // 1280 ms after the stamp
  DispatchEvent(EventTimer, WinStats, 1, 0);
  EXPECT_EQ(gApp.statsRefreshStamp, 0x00000400u);
}
