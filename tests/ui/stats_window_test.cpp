// The statistics window: the uptime and value lines from the playback record, the copy
// report byte for byte, the fixed size at scale 1, and the once-a-second refresh through
// the window's timer and the loop's stamp.
#include <gtest/gtest.h>

#include <string>

#include "data/data.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "ui/ui.h"
#include "ui_test_support.h"

namespace {

DWORD ActiveChannel(DWORD) { return BASS_ACTIVE_PLAYING; }

StatsSnapshot Playing() {
  StatsSnapshot st;
  st.streamHandle = 7;
  st.connectTime = 1000;
  st.now = 1059;
  st.connectCount = 1;
  st.streamNumber = 1;
  st.channelActive = 1;
  st.codecName = "MP3";
  st.bitrate = 128000;
  return st;
}

}  // namespace

// Catches the day ranges off by one, "day"/"days" swapped, a comma for the point, or
// padded hours.
TEST(StatsTexts, UptimeText) {
  struct Case {
    int64_t d;
    const char* text;
  } cases[] = {
      {-5, "0:00:00"},
      {0, "0:00:00"},
      {59, "0:00:59"},
      {3600, "1:00:00"},
      {86399, "23:59:59"},
      {86400, "1.00 day"},
      {129600, "1.50 day"},
      {172799, "2.00 day"},
      {172800, "2.00 days"},
      {259200, "3.00 days"},
      {36 * 86400, "36.00 days"},
  };
  for (const Case& c : cases) EXPECT_EQ(UptimeText(5000, 5000 + c.d), c.text) << c.d;
}

// Catches the server line built while connecting, the re-connects counted from 1, the
// bitrate not rounded to kbps, and loudness lines written for silence.
TEST(StatsTexts, ServerAndCodecLines) {
  StatsSnapshot st;
  StatsLines lines = ComputeStatsLines(st);
  EXPECT_EQ(lines.server, "Connecting...");
  EXPECT_EQ(lines.codec + lines.peak + lines.rms + lines.headroom, "");

  st = Playing();
  st.connecting = 1;
  EXPECT_EQ(ComputeStatsLines(st).server, "Connecting...");

  st = Playing();
  lines = ComputeStatsLines(st);
  EXPECT_EQ(lines.server, "0:00:59, 0 re-connects, stream #1");
  EXPECT_EQ(lines.codec, "MP3 128kbps");
  EXPECT_EQ(lines.peak + lines.rms + lines.headroom, "");  // silence

  st.connectCount = 4;
  st.streamNumber = 3;
  st.now = st.connectTime + 129600;
  st.codecName = "(HE-)AAC";
  st.bitrate = 95500;
  lines = ComputeStatsLines(st);
  EXPECT_EQ(lines.server, "1.50 day, 3 re-connects, stream #3");
  EXPECT_EQ(lines.codec, "(HE-)AAC 96kbps");

  st.channelActive = 0;  // the library no longer plays it
  lines = ComputeStatsLines(st);
  EXPECT_EQ(lines.codec, "");
}

// Catches wrong dB formulas (RMS not referred to a full-scale sine), missing signs, the
// clamp applied before the peak line, the clipping note missing or always there, and
// "-inf" shown for a silent stretch.
TEST(StatsTexts, LoudnessLines) {
  struct Case {
    double sumSquares;
    int64_t samples;
    double titlePeak, longPeak;
    float volume;
    const char *peak, *rms, *headroom;
  } cases[] = {
      // mean square 0.005: RMS -20 dBFS; peaks -6.02 and -12.04 dBFS; volume 0.5: -6.02 dB.
      {5.0, 1000, 0.5, 0.25, 0.5f, "-12.04 dBFS Peak (-6.02 max)", "-20.00 dBFS RMS, volume -6.02 dB",
       "13.98 dB Max Headroom"},
      // Above full scale: signs, clipping, and the max clamped to 0 for the headroom.
      {5.0, 1000, 1.5, 1.5, 1.0f, "+3.52 dBFS Peak (+3.52 max) Clipping!", "-20.00 dBFS RMS, volume 0.00 dB",
       "20.00 dB Max Headroom"},
      // Exactly full scale is not clipping; an RMS above 0 is clamped.
      {2000.0, 1000, 1.0, 1.0, 1.0f, "0.00 dBFS Peak (0.00 max)", "0.00 dBFS RMS, volume 0.00 dB",
       "0.00 dB Max Headroom"},
      // Digital silence after a loud stretch (the recent peak is 0) at volume 0: the floor,
      // never "-inf".
      {5.0, 1000, 0.5, 0.0, 0.0f, "-100.00 dBFS Peak (-6.02 max)", "-20.00 dBFS RMS, volume -100.00 dB",
       "13.98 dB Max Headroom"},
  };
  for (const Case& c : cases) {
    StatsSnapshot st = Playing();
    st.sumSquares = c.sumSquares;
    st.sampleCount = c.samples;
    st.titlePeak = c.titlePeak;
    st.longPeak = c.longPeak;
    st.volume = c.volume;
    StatsLines lines = ComputeStatsLines(st);
    EXPECT_EQ(lines.peak, c.peak);
    EXPECT_EQ(lines.rms, c.rms);
    EXPECT_EQ(lines.headroom, c.headroom);
  }
  // No samples counted, or no peak: nothing to show.
  StatsSnapshot st = Playing();
  st.sumSquares = 5.0;
  st.titlePeak = 0.5;
  st.longPeak = 0.5;
  EXPECT_EQ(ComputeStatsLines(st).peak, "");
}

// Catches the report's headings, order or line breaks changed, or a line break after the
// copyright line.
TEST(StatsTexts, CopyReport) {
  StatsLines lines{"0:00:59, 0 re-connects, stream #1", "MP3 128kbps", "-12.04 dBFS Peak (-6.02 max)",
                   "-20.00 dBFS RMS, volume -6.02 dB", "13.98 dB Max Headroom"};
  EXPECT_EQ(StatsCopyReport(lines, "5.4 (build 2025.1205.2124.52003)", "(c) us"),
            "Corvale Player Stats\r\n\r\n(Server)\r\n0:00:59, 0 re-connects, stream #1\r\n\r\n(Stream)\r\n"
            "MP3 128kbps\r\n\r\n(Loudness)\r\n-12.04 dBFS Peak (-6.02 max)\r\n-20.00 dBFS RMS, volume -6.02 dB\r\n"
            "13.98 dB Max Headroom\r\n\r\n(Version)\r\n5.4 (build 2025.1205.2124.52003)\r\n(c) us");
  EXPECT_EQ(StatsCopyReport(StatsLines{"Connecting...", "", "", "", ""}, "5.4", "(c) us"),
            "Corvale Player Stats\r\n\r\n(Server)\r\nConnecting...\r\n\r\n(Stream)\r\n\r\n\r\n(Loudness)\r\n\r\n\r\n"
            "\r\n\r\n(Version)\r\n5.4\r\n(c) us");
}

class StatsWindow : public PlayerEnv {
 protected:
  void SetUp() override {
    UiTestRuntime();
    BuildVersionStrings();
    gSettings.statsX = 50;
    gSettings.statsY = 60;
    gBass.BASS_ChannelIsActive = ActiveChannel;
    gPlayer.streamHandle = 7;
    gPlayer.connectCount = 1;
    gPlayer.streamNumber = 1;
    gPlayer.connectTime = DateNow() - 59;
    gPlayer.bitrate = 128000;
    SetPlayerString(&PlayerState::codecName, "MP3");
  }
  void TearDown() override {
    OpenStatsWindow(0, 0, 0);
    gBass.BASS_ChannelIsActive = nullptr;
    while (WaitWindowEvent(0)) {
    }
  }
  // Number of pixels in a band of the canvas that are not the background.
  int InkInBand(int top, int height) {
    int image = GrabWindowImage(WinStats, ImageAny);
    int ink = 0;
    for (int y = top; y < top + height; ++y)
      for (int x = 0; x < ImageWidth(image); ++x)
        if ((GetImagePixel(image, x, y) & 0xFFFFFF) != kColorBackground) ++ink;
    FreeImage(image);
    return ink;
  }
};

// Catches a size scaled as a whole instead of by its parts, a sizable frame, the canvas
// off its place, the state not kept, or the version and headings not painted.
TEST_F(StatsWindow, FixedSizeCanvasAndStaticPart) {
  ASSERT_EQ(OpenStatsWindow(1, 1, 0), 1);
  EXPECT_EQ(gSettings.statsState.load(), 1);
  EXPECT_EQ(GetWindowTitle(WinStats), "Corvale Player Stats");
  EXPECT_EQ(WindowClientWidth(WinStats), 262);
  EXPECT_EQ(WindowClientHeight(WinStats), 252);
  EXPECT_EQ(GadgetX(WinStats, 1), 2);
  EXPECT_EQ(GadgetY(WinStats, 1), 2);
  EXPECT_EQ(GadgetWidth(WinStats, 1), 258);
  EXPECT_EQ(GadgetHeight(WinStats, 1), 244);
  // Headings at 4 and 170 (+2 for the canvas), the version line under the last one.
  EXPECT_GT(InkInBand(2 + 4, 12), 0);
  EXPECT_GT(InkInBand(2 + 186, 16), 0);
  // Nothing between the server band and the codec heading.
  EXPECT_EQ(InkInBand(2 + 41, 4), 0);
  EXPECT_EQ(StatsWindowWidth(1.5f), 393);
  EXPECT_EQ(StatsWindowHeight(1.5f), 378);
  OpenStatsWindow(0, 0, 0);
  EXPECT_EQ(IsWindow(WinStats), 0);
  EXPECT_EQ(gSettings.statsState.load(), 0);
}

// Catches the value lines refreshed more or less than once a second by the loop's stamp,
// refreshed while the main window is minimised, or a queued tick that reopens a closed
// window; and a copy that differs from the lines shown.
TEST_F(StatsWindow, TimerRefreshesOnceASecond) {
  ASSERT_EQ(OpenStatsWindow(1, 1, 0), 1);
  EXPECT_EQ(ShownStatsLines().server, "0:00:59, 0 re-connects, stream #1");
  EXPECT_EQ(ShownStatsLines().codec, "MP3 128kbps");
  int before = InkInBand(2 + 16, 24);
  EXPECT_GT(before, 0);

  gPlayer.connectCount = 3;
  gApp.loopNow = 50000;
  gApp.statsRefreshStamp = 49500;
  DispatchEvent(EventTimer, WinStats, 1, 0);
  EXPECT_EQ(ShownStatsLines().server, "0:00:59, 0 re-connects, stream #1");
  gApp.loopNow = 50500;
  DispatchEvent(EventTimer, WinStats, 1, 0);
  EXPECT_EQ(ShownStatsLines().server.substr(8), " 2 re-connects, stream #1");
  EXPECT_EQ(gApp.statsRefreshStamp, 50500u);

  DispatchEvent(EventMenu, WinStats, 3, 0);  // Ctrl+C
  EXPECT_EQ(GetClipboardText(), StatsCopyReport(ShownStatsLines(), gApp.versionLong, kCopyrightLine));

  gApp.minimized = 1;
  gPlayer.connectCount = 9;
  gApp.loopNow = 52000;
  DispatchEvent(EventTimer, WinStats, 1, 0);
  EXPECT_EQ(ShownStatsLines().server.substr(8), " 2 re-connects, stream #1");
  gApp.minimized = 0;

  DispatchEvent(EventCloseWindow, WinStats, 0, 0);
  EXPECT_EQ(IsWindow(WinStats), 0);
  gApp.loopNow = 60000;
  DispatchEvent(EventTimer, WinStats, 1, 0);
  EXPECT_EQ(IsWindow(WinStats), 0);
}

// Catches the menu commands of the tray menu not opening the windows, and a restore of
// the main window that does not bring back the windows that were open.
TEST_F(StatsWindow, MenuCommandsAndRestoreOpenTheWindows) {
  DispatchEvent(EventMenu, WinMain, 10, 0);
  EXPECT_EQ(IsWindow(WinStats), 1);
  DispatchEvent(EventMenu, WinMain, 9, 0);
  EXPECT_EQ(IsWindow(WinInfo), 1);
  OpenInfoWindow(0, 0, 0, 0);
  OpenStatsWindow(0, 0, 0);
  gSettings.statsState = 1;
  DispatchEvent(EventRestoreWindow, WinMain, 0, 0);
  EXPECT_EQ(IsWindow(WinStats), 1);
  EXPECT_EQ(IsWindow(WinInfo), 0);
}

// Catches a DPI change that keeps the old scale, sizes the panel as a whole (392 instead
// of 3 + 387 + 3), or leaves the canvas and fonts at the old size.
TEST_F(StatsWindow, DpiChangeRelaysOutAtTheNewScale) {
  ASSERT_EQ(OpenStatsWindow(1, 1, 0), 1);
  WindowMessage m;
  m.kind = MsgDpiChanged;
  m.window = WinStats;
  m.dpi = 144;
  m.x = 50;
  m.y = 60;
  m.width = 393;
  m.height = 378;
  StatsWindowCallback(m);
  EXPECT_EQ(gApp.statsScale, 1.5f);
  EXPECT_EQ(WindowClientWidth(WinStats), 393);
  EXPECT_EQ(WindowClientHeight(WinStats), 378);
  EXPECT_EQ(GadgetWidth(WinStats, 1), 387);
  EXPECT_EQ(GadgetHeight(WinStats, 1), 372 - 6);
  m.dpi = 0;  // no DPI: nothing changes
  StatsWindowCallback(m);
  EXPECT_EQ(gApp.statsScale, 1.5f);
}
