// The main window on the offscreen platform: its size at both scales, placement, the
// system commands it refuses, the hotkey failure path and the VU meter tick.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "data/data.h"
#include "playback/playback.h"
#include "ui/ui.h"
#include "ui_test_support.h"

namespace {

std::atomic<int> gLevelCalls{0};
float gLeft = 1.0f, gRight = 1.0f;
BOOL gLevelResult = TRUE;

BOOL FakeGetLevelEx(DWORD handle, float* levels, float length, DWORD flags) {
  ++gLevelCalls;
  if (!gLevelResult || flags != BASS_LEVEL_STEREO) return FALSE;
  levels[0] = gLeft;
  levels[1] = gRight;
  return TRUE;
}

class MainWindow : public PlayerEnv {
 protected:
  void SetUp() override {
    UiTestRuntime();
    gMainWindow = MainWindowState{};
    gLevelCalls = 0;
    gLevelResult = TRUE;
    gLeft = gRight = 1.0f;
  }
  void TearDown() override {
    OpenMainWindow(0);
    gBass.BASS_ChannelGetLevelEx = nullptr;
    while (WaitWindowEvent(0)) {
    }
  }
  // What the window shows now, as a 24-bit image.
  uint32_t Shown(int x, int y) {
    int image = GrabWindowImage(WinMain, ImageAny);
    uint32_t pixel = image ? GetImagePixel(image, x, y) & 0xFFFFFF : 0xDEADBEEF;
    if (image) FreeImage(image);
    return pixel;
  }
};

// Fault caught: the strip not 11 + 1 + 11 by 128 at scale 1, or created hidden for good.
TEST_F(MainWindow, OpensAt23By128AtScaleOne) {
  ASSERT_EQ(OpenMainWindow(1), 1);
  EXPECT_EQ(MainScale, 1.0f);
  EXPECT_EQ(WindowClientWidth(WinMain), 23);
  EXPECT_EQ(WindowClientHeight(WinMain), 128);
  EXPECT_EQ(gMainWindow.width, 23);
  EXPECT_EQ(gMainWindow.height, 128);
  EXPECT_EQ(GetWindowTitle(WinMain), "Corvale Player");
  EXPECT_EQ(ImageWidth(kVuArtworkImage), 23);
  // The overlays come from the skin files at 24 x 24.
  EXPECT_EQ(ImageWidth(gMainWindow.mutedImage), 24);
  EXPECT_EQ(ImageWidth(gMainWindow.connectImage), 24);
}

// Fault caught: a DPI change ignored, the size scaled as a whole (35 instead of
// 17 + 2 + 17), or the overlays and artwork kept at the old size.
TEST_F(MainWindow, DpiChangeTo144GivesThirtySixBy192) {
  ASSERT_EQ(OpenMainWindow(1), 1);
  WindowMessage m;
  m.kind = MsgDpiChanged;
  m.window = WinMain;
  m.dpi = 144;
  m.x = 10;
  m.y = 20;
  m.width = 35;
  m.height = 192;
  MainWindowCallback(m);
  EXPECT_EQ(MainScale, 1.5f);
  EXPECT_EQ(WindowClientWidth(WinMain), 36);
  EXPECT_EQ(WindowClientHeight(WinMain), 192);
  EXPECT_EQ(ImageWidth(kVuArtworkImage), 36);
  EXPECT_EQ(ImageHeight(kVuArtworkImage), 192);
  EXPECT_EQ(ImageWidth(gMainWindow.mutedImage), 36);
  EXPECT_EQ(ImageHeight(gMainWindow.connectImage), 36);
  // A DPI of 0 changes nothing.
  m.dpi = 0;
  MainWindowCallback(m);
  EXPECT_EQ(MainScale, 1.5f);
}

// Fault caught: a stored position partly off the screen kept as it is.
TEST_F(MainWindow, StoredPositionOffScreenIsPulledBack) {
  int ax = 0, ay = 0, aw = 0, ah = 0;
  ASSERT_EQ(WorkAreaForRect(0, 0, 23, 128, &ax, &ay, &aw, &ah), 1);
  gSettings.mainX = ax + aw - 5;
  gSettings.mainY = ay + ah - 40;
  ASSERT_EQ(OpenMainWindow(1), 1);
  int x = 0, y = 0, w = 0, h = 0;
  ASSERT_EQ(GetWindowRect(WinMain, &x, &y, &w, &h), 1);
  EXPECT_LE(x + w, ax + aw);
  EXPECT_LE(y + h, ay + ah);
  EXPECT_GE(x, ax);
  EXPECT_GE(y, ay);
}

// Fault caught: no stored position (-32000) taken as a real place instead of centring
// on the mouse cursor (then kept inside the work area).
TEST_F(MainWindow, NoStoredPositionCentresOnTheCursor) {
  gSettings.mainX = kNoPosition;
  gSettings.mainY = 300;
  int cx = 0, cy = 0;
  CursorPosition(&cx, &cy);
  ASSERT_EQ(OpenMainWindow(1), 1);
  int x = 0, y = 0, w = 0, h = 0;
  ASSERT_EQ(GetWindowRect(WinMain, &x, &y, &w, &h), 1);
  int left = UiRound(cx - 23 * 0.5), top = UiRound(cy - 128 * 0.5);
  int ax = 0, ay = 0, aw = 0, ah = 0;
  ASSERT_EQ(WorkAreaForRect(left, top, w, h, &ax, &ay, &aw, &ah), 1);
  ClampRectToArea(&left, &top, w, h, ax, ay, aw, ah);
  EXPECT_EQ(x, left);
  EXPECT_EQ(y, top);
}

// Fault caught: maximise or size from the system menu reaching the window; close,
// minimise, restore and move being swallowed.
TEST_F(MainWindow, SystemMenuCannotMaximiseOrSize) {
  ASSERT_EQ(OpenMainWindow(1), 1);
  const struct {
    int command;
    int swallowed;
  } cases[] = {{SysCmdMaximize, 1}, {SysCmdSize, 1},    {SysCmdClose, 0},
               {SysCmdMinimize, 0}, {SysCmdRestore, 0}, {SysCmdMove, 0}};
  for (const auto& c : cases) {
    WindowMessage m;
    m.kind = MsgSysCommand;
    m.window = WinMain;
    m.param = c.command;
    EXPECT_EQ(MainWindowCallback(m), c.swallowed) << "command " << c.command;
  }
}

// Fault caught: display, theme and resume changes not asking the windows to re-lay out.
TEST_F(MainWindow, SystemChangesPostRefreshWindows) {
  ASSERT_EQ(OpenMainWindow(1), 1);
  while (WaitWindowEvent(0)) {
  }
  for (int kind : {MsgResume, MsgThemeChanged, MsgDisplayChanged}) {
    WindowMessage m;
    m.kind = kind;
    m.window = WinMain;
    MainWindowCallback(m);
    int got = 0;
    for (int i = 0; i < 50 && got != EventRefreshWindows; ++i) got = WaitWindowEvent(10);
    EXPECT_EQ(got, EventRefreshWindows) << "message " << kind;
    EXPECT_EQ(EventWindow(), WinMain);
  }
}

// Fault caught: a refused hotkey left switched on, reported without the user's text, or
// stopping creation of the window.
TEST_F(MainWindow, RefusedHotkeyTurnsTheSettingOffAndSaysSo) {
  if (RuntimePlatformName() != "offscreen") GTEST_SKIP() << "needs a platform without X11";
  gSettings.hotkey = 1;
  testing::internal::CaptureStderr();
  ASSERT_EQ(OpenMainWindow(1), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(gSettings.hotkey.load(), 0);
  EXPECT_NE(err.find("Unable to register global play/pause hotkey."), std::string::npos) << err;
  EXPECT_TRUE(IsWindow(WinMain));
}

// Fault caught: the dark part not following the level (1 % of the height per dB), the
// two bars swapped, or drawn before the first successful read.
TEST_F(MainWindow, TickDarkensTheTopOfEachBarByTheLevel) {
  ASSERT_EQ(OpenMainWindow(1), 1);
  gBass.BASS_ChannelGetLevelEx = FakeGetLevelEx;
  // Before any level: the whole artwork (row 0 is red in both bars).
  EXPECT_EQ(Shown(0, 0), 0xBF0000u);
  EXPECT_EQ(Shown(22, 0), 0xBF0000u);

  gPlayer.streamHandle = 77;
  gLeft = 0.1f;   // -20 dB: 25.6 -> 26 rows dark
  gRight = 0.5f;  // about -6 dB: 7.7 -> 8 rows dark
  uint32_t now = gApp.levelPollStamp + 1000;
  VuMeterTick(now);
  EXPECT_EQ(gLevelCalls.load(), 1);
  EXPECT_NEAR(gMainWindow.unlit[0], 25.6f, 0.01f);
  EXPECT_NEAR(gMainWindow.unlit[1], 7.706f, 0.01f);
  EXPECT_EQ(Shown(0, 25), 0u);
  EXPECT_EQ(Shown(0, 26), 0xBFBF00u);  // first lit row: yellow, not a scan line
  EXPECT_EQ(Shown(22, 7), 0u);
  EXPECT_EQ(Shown(22, 8), 0xBF0000u);
  EXPECT_EQ(Shown(22, 20), 0xBFBF00u);

  // A failed read keeps what is shown.
  gLevelResult = FALSE;
  VuMeterTick(now + 100);
  EXPECT_NEAR(gMainWindow.unlit[0], 25.6f, 0.01f);
  // Silence darkens the whole bar.
  gLevelResult = TRUE;
  gLeft = gRight = 0.0f;
  VuMeterTick(now + 200);
  EXPECT_EQ(Shown(0, 126), 0u);
  EXPECT_EQ(Shown(22, 126), 0u);
}

// Fault caught: the meter's partial repaint (only the rows between the old and the new
// edge of each bar) leaving stale rows behind, or losing the overlay in those rows,
// when the bars rise, fall or one of them stays.
TEST_F(MainWindow, PartialRepaintShowsWhatAFullRepaintShows) {
  ASSERT_EQ(OpenMainWindow(1), 1);
  gBass.BASS_ChannelGetLevelEx = FakeGetLevelEx;
  gPlayer.streamHandle = 77;
  auto grab = [] {
    std::vector<uint32_t> pixels;
    int image = GrabWindowImage(WinMain, ImageAny);
    if (!image) return pixels;
    for (int y = 0; y < ImageHeight(image); ++y)
      for (int x = 0; x < ImageWidth(image); ++x) pixels.push_back(GetImagePixel(image, x, y));
    FreeImage(image);
    return pixels;
  };
  const float steps[][2] = {{0.9f, 0.05f}, {0.02f, 0.05f}, {0.5f, 0.8f}, {0.5f, 0.001f}, {1.0f, 1.0f}, {0.1f, 0.3f}};
  uint32_t now = gApp.levelPollStamp + 1000;
  for (int muted = 0; muted < 2; ++muted) {
    gSettings.muted = muted;
    DrawVuMeter(1);
    for (const auto& step : steps) {
      gLeft = step[0];
      gRight = step[1];
      now += 50;
      VuMeterTick(now);
      std::vector<uint32_t> partial = grab();
      DrawVuMeter(1);
      ASSERT_FALSE(partial.empty());
      EXPECT_EQ(partial, grab()) << "levels " << step[0] << " / " << step[1] << ", muted " << muted;
    }
  }
}

// Fault caught: polling faster than every 25 ms, drawing faster than every 50 ms, or
// polling while minimised (and then losing the first poll after the restore).
TEST_F(MainWindow, TickTimingAndMinimisedSkip) {
  ASSERT_EQ(OpenMainWindow(1), 1);
  gBass.BASS_ChannelGetLevelEx = FakeGetLevelEx;
  gPlayer.streamHandle = 77;
  uint32_t t0 = gApp.levelPollStamp + 1000;
  VuMeterTick(t0);
  EXPECT_EQ(gLevelCalls.load(), 1);
  EXPECT_EQ(gApp.vuDrawStamp, t0);
  VuMeterTick(t0 + 24);
  EXPECT_EQ(gLevelCalls.load(), 1);
  VuMeterTick(t0 + 25);
  EXPECT_EQ(gLevelCalls.load(), 2);
  EXPECT_EQ(gApp.vuDrawStamp, t0);  // 25 ms after the last draw: polled, not drawn
  VuMeterTick(t0 + 50);
  EXPECT_EQ(gApp.vuDrawStamp, t0 + 50);

  gApp.minimized = 1;
  VuMeterTick(t0 + 200);
  EXPECT_EQ(gLevelCalls.load(), 3);
  EXPECT_EQ(gApp.levelPollStamp, t0 + 50);
  gApp.minimized = 0;
  VuMeterTick(t0 + 201);
  EXPECT_EQ(gLevelCalls.load(), 4);
}

// Fault caught: the connect overlay missing while connecting, the muted one missing
// while muted, or connect not taking precedence.
TEST_F(MainWindow, ConnectAndMutedOverlays) {
  ASSERT_EQ(OpenMainWindow(1), 1);
  uint32_t plain = Shown(12, 12);
  gPlayer.connecting = 1;
  DrawVuMeter(0);
  uint32_t connecting = Shown(12, 12);
  EXPECT_NE(connecting, plain);
  gSettings.muted = 1;
  DrawVuMeter(0);
  EXPECT_EQ(Shown(12, 12), connecting);  // connecting wins
  gPlayer.connecting = 0;
  DrawVuMeter(0);
  uint32_t muted = Shown(12, 12);
  EXPECT_NE(muted, plain);
  EXPECT_NE(muted, connecting);
  gSettings.muted = 0;
  DrawVuMeter(0);
  EXPECT_EQ(Shown(12, 12), plain);
}

// Fault caught: the play/pause key toggling mute twice (focused key and global hotkey
// both acting), or not at all, for either hotkey setting.
TEST_F(MainWindow, PlayPauseKeyTogglesMuteOncePerPath) {
  ASSERT_EQ(OpenMainWindow(1), 1);
  WindowMessage key;
  key.kind = MsgMediaPlayPauseUp;
  key.window = WinMain;
  key.key = VkMediaPlayPause;
  WindowMessage hot;
  hot.kind = MsgHotkey;
  hot.window = WinMain;
  hot.param = 1;
  hot.key = VkMediaPlayPause;

  gSettings.hotkey = 0;
  gSettings.muted = 0;
  MainWindowCallback(key);
  EXPECT_EQ(gSettings.muted.load(), 1);
  MainWindowCallback(hot);  // no global hotkey wanted: ignored
  EXPECT_EQ(gSettings.muted.load(), 1);

  gSettings.hotkey = 1;
  MainWindowCallback(key);  // the hotkey will deliver it: the focused key is ignored
  EXPECT_EQ(gSettings.muted.load(), 1);
  MainWindowCallback(hot);
  EXPECT_EQ(gSettings.muted.load(), 0);
  hot.key = 0;  // another key on the same id
  MainWindowCallback(hot);
  EXPECT_EQ(gSettings.muted.load(), 0);
  gSettings.hotkey = 0;
}

// Fault caught: the taskbar buttons not reaching the event loop as menu commands 8 and 4.
TEST_F(MainWindow, TaskbarButtonsPostMenuCommands) {
  ASSERT_EQ(OpenMainWindow(1), 1);
  while (WaitWindowEvent(0)) {
  }
  const struct { int button, command; } cases[] = {{1, 8}, {2, 4}};
  for (const auto& c : cases) {
    WindowMessage m;
    m.kind = MsgThumbButtonClick;
    m.window = WinMain;
    m.param = c.button;
    MainWindowCallback(m);
    int got = 0;
    for (int i = 0; i < 50 && got != EventMenu; ++i) got = WaitWindowEvent(10);
    ASSERT_EQ(got, EventMenu) << "button " << c.button;
    EXPECT_EQ(EventWindow(), WinMain);
    EXPECT_EQ(EventObject(), c.command);
  }
}

// Fault caught: the session ending without the settings written first.
TEST_F(MainWindow, QueryEndSessionSavesTheSettings) {
  char folder[] = "/tmp/corvale-ui-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::string saved = gApp.userFolder;
  gApp.userFolder = std::string(folder) + "/";
  ASSERT_EQ(OpenMainWindow(1), 1);
  gSettings.mainX = 321;
  WindowMessage m;
  m.kind = MsgQueryEndSession;
  m.window = WinMain;
  EXPECT_EQ(MainWindowCallback(m), 1);
  std::string path = gApp.userFolder + "settings.json";
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr) << path;
  std::string text;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  fclose(f);
  EXPECT_NE(text.find("321"), std::string::npos) << text;
  remove(path.c_str());
  rmdir(folder);
  gApp.userFolder = saved;
}

}  // namespace
