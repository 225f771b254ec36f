// The statistics window (window 2): a small fixed panel with the connection, the codec
// and bitrate, the loudness of the current title and the version, painted on one canvas.
// The value lines are repainted once a second; Ctrl+C copies them as text.
#include <cmath>
#include <string>

#include "data/data.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "ui/ui.h"

// One line that fits the panel at every scale.
const char* const kCopyrightLine = "\xC2\xA9 2025 Corvale Productions";

namespace {

constexpr int kStatsCanvas = 1;
constexpr int kStatsTimer = 1;
constexpr int kStatsTimerMs = 100;
constexpr int kVkC = 0x43;

// Window state; main thread only.
struct StatsWindowState {
  int headingFont = 0;
  int valueFont = 0;
  StatsLines lines;  // what the value lines show now
};
StatsWindowState gStats;

std::string Signed(double value) { return (value > 0 ? "+" : "") + FormatFixed(value, 2); }

const ToolWindow kStatsTool = {
    .window = WinStats,
    .caption = "Corvale Player Stats",
    // The panel's size follows from its scale; a DPI change takes only the suggested place.
    .options = ToolOwnSize,
    .scale = &gApp.statsScale,
    .storedX = &gSettings.statsX,
    .storedY = &gSettings.statsY,
    .clientSize =
        [](float s, int* w, int* h) {
          *w = StatsWindowWidth(s);
          *h = StatsWindowHeight(s);
        },
    .callback = StatsWindowCallback,
    .shortcuts = {{ShortcutControl | kVkC, MenuCopy}},
    .relayout = [] { OpenStatsWindow(kOpenWindow, kRelayout, kNoCopy); },
};

int CreateStatsWindow() {
  gSettings.statsState.store(1);
  if (!OpenToolWindow(kStatsTool)) return 0;
  CanvasGadget(WinStats, kStatsCanvas, 0, 0, 0, 0);
  AddWindowTimer(WinStats, kStatsTimer, kStatsTimerMs);
  return 1;
}

// The headings, the version and the copyright line; painted on layout only.
void LayoutStatsWindow() {
  float s = gApp.statsScale;
  if (Logging()) Log("Stats DPI scale = " + FormatScale(s));
  int m = UiRound(2 * s);
  ResizeGadget(WinStats, kStatsCanvas, m, m, UiRound(258 * s), UiRound(248 * s) - m - m);
  FreeFont(gStats.headingFont);
  FreeFont(gStats.valueFont);
  gStats.headingFont = CreateUiFont("Source Sans Pro", static_cast<float>(UiRound(9 * s)));
  gStats.valueFont = CreateUiFont("Source Sans Pro", static_cast<float>(UiRound(11 * s)));
  if (StartDrawingCanvas(WinStats, kStatsCanvas)) {
    int cw = OutputWidth();
    DrawBox(0, 0, cw, OutputHeight(), kColorBackground);
    int left = UiRound(6 * s);
    int step = UiRound(40 * s) + UiRound(2 * s);
    int server = UiRound(4 * s);
    int codec = server + step;
    int loudness = codec + step;
    int version = loudness + UiRound(40 * s) + UiRound(40 * s) + UiRound(2 * s);
    DrawingFont(gStats.headingFont);
    DrawTextAt(left, server, "Server", kColorText);
    DrawTextAt(left, codec, "Codec", kColorText);
    DrawTextAt(left, loudness, "Loudness", kColorText);
    DrawTextAt(left, version, "Version", kColorText);
    DrawingFont(gStats.valueFont);
    int versionLine = version + UiRound(16 * s);
    DrawTextAt(left, versionLine, gApp.versionLong, kColorText);
    int top = versionLine + UiRound(20 * s);
    DrawTextRect(left, top, (cw - left) - left, UiRound(38 * s), kCopyrightLine,
                 TextWordWrap | TextNoPrefix | TextEndEllipsis, kColorText);
    StopDrawing();
  }
  ShowWindowNoActivate(WinStats);
  gSettings.statsState.store(1);
}

void PaintStatsLines() {
  if (!StartDrawingCanvas(WinStats, kStatsCanvas)) return;
  float s = gApp.statsScale;
  int cw = OutputWidth();
  int left = UiRound(6 * s);
  int band = UiRound(24 * s);
  struct Row {
    const std::string* text;
    int top;
  } rows[] = {
      {&gStats.lines.server, UiRound(16 * s)},    {&gStats.lines.codec, UiRound(64 * s)},
      {&gStats.lines.peak, UiRound(104 * s)},     {&gStats.lines.rms, UiRound(124 * s)},
      {&gStats.lines.headroom, UiRound(144 * s)},
  };
  DrawingFont(gStats.valueFont);
  for (const Row& row : rows) {
    DrawBox(left, row.top, cw - 2 * left, band, kColorBackground);
    DrawTextRect(left, row.top, (cw - 2 * left) - left, band, *row.text,
                 TextSingleLine | TextNoPrefix | TextEndEllipsis, kColorText);
  }
  // The server band starts on the baseline row of the "Server" heading above it: put the
  // heading back (on a clean background, so it is not drawn over itself) so the fill
  // does not cut off its last row of pixels.
  DrawBox(left, UiRound(4 * s), cw - 2 * left, UiRound(16 * s) - UiRound(4 * s), kColorBackground);
  DrawingFont(gStats.headingFont);
  DrawTextAt(left, UiRound(4 * s), "Server", kColorText);
  StopDrawing();
}

void CloseStatsWindow() {
  gSettings.statsState.store(0);
  if (IsWindow(WinStats)) CloseWindow(WinStats);
  FreeFont(gStats.headingFont);
  FreeFont(gStats.valueFont);
  gStats.headingFont = gStats.valueFont = 0;
}

}  // namespace

StatsSnapshot CurrentStatsSnapshot() {
  StatsSnapshot st;
  st.streamHandle = gPlayer.streamHandle.load();
  st.connecting = gPlayer.connecting.load();
  st.connectTime = gPlayer.connectTime.load();
  st.now = DateNow();
  st.connectCount = gPlayer.connectCount.load();
  st.streamNumber = gPlayer.streamNumber.load();
  st.channelActive =
      st.streamHandle && gBass.BASS_ChannelIsActive ? int(gBass.BASS_ChannelIsActive(st.streamHandle) != 0) : 0;
  st.codecName = PlayerString(&PlayerState::codecName);
  st.bitrate = gPlayer.bitrate.load();
  st.sumSquares = gPlayer.sumSquares.load();
  st.sampleCount = gPlayer.sampleCount.load();
  st.titlePeak = gPlayer.titlePeak.load();
  st.longPeak = gPlayer.longPeak.load();
  st.volume = gPlayer.volume.load();
  return st;
}

std::string UptimeText(int64_t start, int64_t now) {
  int64_t d = now - start;
  if (d >= 172800) return FormatFixed(d / 86400.0, 2) + " days";
  if (d >= 86400) return FormatFixed(d / 86400.0, 2) + " day";
  if (d < 0) d = 0;
  return std::to_string(d / 3600) + ":" + TwoDigitNumber(d / 60 % 60) + ":" + TwoDigitNumber(d % 60);
}

StatsLines ComputeStatsLines(const StatsSnapshot& st) {
  StatsLines lines;
  if (st.streamHandle != 0 && st.connecting == 0)
    lines.server = UptimeText(st.connectTime, st.now) + ", " + std::to_string(st.connectCount - 1) +
                   " re-connects, stream #" + std::to_string(st.streamNumber);
  else
    lines.server = "Connecting...";
  if (!st.channelActive) return lines;
  lines.codec = st.codecName + " " + std::to_string(UiRound(st.bitrate * 0.001)) + "kbps";
  if (!(st.sumSquares > 0 && st.sampleCount >= 1 && st.titlePeak > 0)) return lines;
  // The recent peak is 0 after half a second of digital silence: the floor, not "-inf".
  double recent = LevelDb(st.longPeak);
  double max = LevelDb(st.titlePeak);
  lines.peak = Signed(recent) + " dBFS Peak (" + Signed(max) + " max)";
  if (st.longPeak > 1.0) lines.peak += " Clipping!";
  // RMS referred to a full-scale sine.
  double rms = LevelDb(std::sqrt(st.sumSquares / static_cast<double>(st.sampleCount) * 2));
  if (max > 0) max = 0;
  if (rms > 0) rms = 0;
  lines.rms = FormatFixed(rms, 2) + " dBFS RMS, volume " + FormatFixed(LevelDb(st.volume), 2) + " dB";
  lines.headroom = FormatFixed(std::fabs(rms - max), 2) + " dB Max Headroom";
  return lines;
}

std::string StatsCopyReport(const StatsLines& l, const std::string& version, const std::string& copyright) {
  return "Corvale Player Stats\r\n" + std::string("\r\n(Server)\r\n") + l.server + "\r\n" + "\r\n(Stream)\r\n" +
         l.codec + "\r\n" + "\r\n(Loudness)\r\n" + l.peak + "\r\n" + l.rms + "\r\n" + l.headroom + "\r\n" +
         "\r\n(Version)\r\n" + version + "\r\n" + copyright;
}

int OpenStatsWindow(int open, int relayout, int copy) {
  if (!open) {
    CloseStatsWindow();
    return 0;
  }
  if (!IsWindow(WinStats)) {
    if (!CreateStatsWindow()) return 0;
    relayout = 1;
  }
  if (relayout) LayoutStatsWindow();
  if (gApp.minimized.load() == 0) {
    gStats.lines = ComputeStatsLines(CurrentStatsSnapshot());
    PaintStatsLines();
  }
  if (copy) SetClipboardText(StatsCopyReport(gStats.lines, gApp.versionLong, kCopyrightLine));
  return 1;
}

StatsLines ShownStatsLines() { return gStats.lines; }

int StatsWindowCallback(const WindowMessage& message) { return ToolWindowMessage(kStatsTool, message); }
