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

// After an idle pass the loop sleeps until the next work of what is on screen: the
// meter's 25 ms only while the main window is shown (or the statistics or debug window
// needs a fresh clock), else the housekeeping's next run. Catches a minimised or hidden
// meter that keeps the loop busy, a window whose refresh stalls, an early pass that spins
// (a 0 wait) and a request from before the pass that outlives it.
TEST_F(LoopDispatch, IdlePassAsksForTheNextWork) {
  enum Shown { kNone, kMain, kMinimised, kHidden };
  struct Case {
    Shown main;
    int tool;  // 0, WinStats or WinDebug
    uint32_t sincePoll, sinceHousekeeping, wait;
  } cases[] = {
      {kMain, 0, 1000, 100, 25},       // polled in the pass: the next poll
      {kMain, 0, 10, 100, 15},         // an early pass polls nothing and waits for the poll
      {kMinimised, 0, 1000, 100, 400},  // only the housekeeping
      {kHidden, 0, 1000, 100, 400},
      {kNone, 0, 1000, 100, 400},
      {kMinimised, 0, 1000, 600, 500},  // the housekeeping ran in the pass
      {kMinimised, WinStats, 1000, 100, 25},
      {kMinimised, WinDebug, 1000, 100, 25},
      {kHidden, WinDebug, 10, 100, 25},
  };
  const uint32_t now = 0xFFFFFFF0u;  // the next work lies across the wrap
  for (const Case& c : cases) {
    if (c.main != kNone) {
      ASSERT_EQ(OpenWindow(WinMain, 10, 10, 23, 128, kProgramName, WindowBorderless), 1);
    }
    if (c.main == kHidden) HideWindow(WinMain, 1);
    gApp.minimized = c.main == kMinimised ? 1 : 0;
    if (c.tool) {
      ASSERT_EQ(OpenWindow(c.tool, 50, 50, 100, 100, "tool", 0), 1);
    }
    gApp.levelPollStamp = now - c.sincePoll;
    gApp.housekeepingStamp = now - c.sinceHousekeeping;
    RequestWakeAt(now + 1);  // spent by the pass
    IdlePass(now);
    EXPECT_EQ(IdleWaitMs(now), c.wait) << "main " << c.main << " tool " << c.tool << " since poll " << c.sincePoll;
    if (c.tool) CloseWindow(c.tool);
    if (IsWindow(WinMain)) CloseWindow(WinMain);
  }
  gApp.minimized = 0;
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
