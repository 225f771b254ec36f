// The information window (window 3): the programme, the stream and the current title
// with its artwork, the previously played titles with their lengths, and a fuller text
// report for the clipboard. The artwork is fetched by a worker thread; the window shows
// the default artwork until the answer for the current title arrives.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "data/data.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "ui/ui.h"

namespace {

constexpr int kProgrammeField = 2;
constexpr int kNowPlayingField = 3;
constexpr int kPreviousField = 4;
constexpr int kArtworkCanvas = 5;
constexpr int kVkC = 0x43;
constexpr int kArtworkChunk = 16384;

// Window state; main thread only.
struct InfoWindowState {
  int font = 0;
  std::string lastArtworkUrl;  // the artwork image 33 holds; "" for none
  std::string pendingUrl;      // asked of the worker and not answered yet
  int request = 0;             // the newest artwork request; older answers are dropped
  // The outer size the window opened with, until the frame around it is known.
  int outerWidth = 0, outerHeight = 0;
};
InfoWindowState gInfo;

// The hand-over to the artwork worker; guarded by lock. The worker always fetches the
// newest wish and ends when it has caught up.
struct ArtworkSlot {
  std::mutex lock;
  int wanted = 0;  // request number of the newest wish
  std::string url;
  int taken = 0;  // the last request the worker started on
  bool running = false;
  std::atomic<int> thread{0};
};
ArtworkSlot gArtworkSlot;

// Stops a fetch as soon as data arrives after the exit asked the worker to stop.
int64_t ArtworkFetchProgress(int64_t, int64_t, int64_t count, const void*, void*) {
  return ThreadStopRequested() ? 0 : count;
}

// The artwork at url decoded into a fresh image handle; 0 on any failure. The bytes are
// untrusted: at most 1 MiB, and the decode refuses oversized images.
int FetchArtworkImage(const std::string& url) {
  auto* buffer = new (std::nothrow) unsigned char[kArtworkBufferSize];
  if (!buffer) return 0;
  int64_t size = kArtworkBufferSize;
  int image = 0;
  int rc = DownloadToMemory(url, gApp.userAgent, kArtworkChunk, buffer, size, ArtworkFetchProgress, nullptr,
                            kArtworkTimeoutMs);
  if (rc == 0 && size > 0) image = CatchUntrustedImage(ImageAny, buffer, static_cast<size_t>(size));
  delete[] buffer;
  return image;
}

void ArtworkWorker(int) {
  for (;;) {
    int request = 0;
    std::string url;
    {
      std::lock_guard<std::mutex> lock(gArtworkSlot.lock);
      if (gArtworkSlot.taken == gArtworkSlot.wanted || ThreadStopRequested()) {
        gArtworkSlot.running = false;
        return;
      }
      request = gArtworkSlot.wanted;
      url = gArtworkSlot.url;
      gArtworkSlot.taken = request;
    }
    int image = FetchArtworkImage(url);
    PostEvent(EventArtworkReady, WinInfo, request, image);
  }
}

// Hands a wish to the worker, starting it when it is not running. 0 when no thread
// could be started.
int RequestArtwork(int request, const std::string& url) {
  bool start = false;
  {
    std::lock_guard<std::mutex> lock(gArtworkSlot.lock);
    gArtworkSlot.wanted = request;
    gArtworkSlot.url = url;
    if (!gArtworkSlot.running) gArtworkSlot.running = start = true;
  }
  if (!start) return 1;
  int thread = CreateThread(ArtworkWorker, 0);
  if (!thread) {
    std::lock_guard<std::mutex> lock(gArtworkSlot.lock);
    gArtworkSlot.running = false;
    gArtworkSlot.taken = gArtworkSlot.wanted;
    return 0;
  }
  gArtworkSlot.thread.store(thread);
  return 1;
}

// Forgets the artwork held and any answer still on its way: the default shows.
void DropArtwork() {
  if (IsImage(kArtworkImage)) FreeImage(kArtworkImage);
  gInfo.lastArtworkUrl.clear();
  gInfo.pendingUrl.clear();
  ++gInfo.request;
}

void ReloadArtwork() {
  std::string url;
  if (gSettings.artwork.load() != 0) {
    std::vector<TrackHistoryEntry> history = GetTrackHistory();
    if (!history.empty()) url = history.front().artwork;
  }
  // The same artwork as the previous title, or one already on its way, is not fetched again.
  if (!url.empty() && (url == gInfo.lastArtworkUrl || url == gInfo.pendingUrl)) return;
  DropArtwork();
  if (url.empty()) return;
  if (Logging()) Log("Artwork = " + url);
  gInfo.pendingUrl = url;
  if (!RequestArtwork(gInfo.request, url)) gInfo.pendingUrl.clear();
}

void DrawArtwork() {
  if (!IsGadget(WinInfo, kArtworkCanvas)) return;
  int image = IsImage(kArtworkImage) ? kArtworkImage : SkinCacheLookup("info_artwork_default");
  // Without a default skin image the canvas stays unpainted.
  if (!image || !IsImage(image)) return;
  if (!StartDrawingCanvas(WinInfo, kArtworkCanvas)) return;
  int w = OutputWidth(), h = OutputHeight();
  DrawBox(0, 0, w, h, kColorBackground);
  DrawImageBlend(image, 0, 0, w, h);
  StopDrawing();
}

// Sets a field only when its text changed, so a refresh with nothing new keeps where the
// listener scrolled to.
void SetFieldText(int field, const std::string& text) {
  if (GetGadgetText(WinInfo, field) != text) SetGadgetText(WinInfo, field, text);
}

void RefreshInfoTexts() {
  InfoSnapshot info = CurrentInfoSnapshot();
  SetFieldText(kProgrammeField, InfoProgrammeText(info));
  if (!info.history.empty()) SetFieldText(kNowPlayingField, InfoNowPlayingText(info));
  DrawArtwork();
  SetFieldText(kPreviousField, InfoPreviousText(info));
}

int FitOuterSize();

const ToolWindow kInfoTool = {
    .window = WinInfo,
    .caption = "Corvale Player Info",
    .style = WindowSizeable,
    .scale = &gApp.infoScale,
    .storedX = &gSettings.infoX,
    .storedY = &gSettings.infoY,
    // The listener's size, whatever the scale.
    .clientSize = [](float, int* w, int* h) { InfoWindowSize(gSettings.infoW.load(), gSettings.infoH.load(), w, h); },
    .callback = InfoWindowCallback,
    .shortcuts = {{ShortcutControl | kVkC, MenuCopy}},
    .relayout = [] { OpenInfoWindow(kOpenWindow, kRelayout, kNoCopy, kKeepArtwork); },
    .paint = [] { FitOuterSize(); },
};

int CreateInfoWindow() {
  gSettings.infoState.store(1);
  if (!OpenToolWindow(kInfoTool, &gInfo.outerWidth, &gInfo.outerHeight)) return 0;
  TextGadget(WinInfo, kProgrammeField, 0, 0, 0, 0, "");
  CanvasGadget(WinInfo, kArtworkCanvas, 0, 0, 0, 0);
  TextGadget(WinInfo, kNowPlayingField, 0, 0, 0, 0, "");
  TextGadget(WinInfo, kPreviousField, 0, 0, 0, 0, "");
  for (int field : {kProgrammeField, kNowPlayingField, kPreviousField})
    SetGadgetColors(WinInfo, field, kColorBackground, kColorText);
  // Image 33 belonged to the last artwork URL, which a new window forgets: the default
  // shows until the next title brings its artwork, never an older title's.
  DropArtwork();
  return 1;
}

// The stored size is the outer one, the window is opened by its client area: once the
// desktop has put its frame around the shown window, the client area gives the frame's
// room back. Done once per opening, so a size the user chose later is never undone. A
// window manager frames the window some time after it is shown (at its first paint the
// frame is often still unknown): until then the opening size stays pending. 1 when the
// window was resized now.
int FitOuterSize() {
  if (!gInfo.outerWidth || !IsWindow(WinInfo)) return 0;
  int x = 0, y = 0, w = 0, h = 0;
  if (!GetWindowRect(WinInfo, &x, &y, &w, &h)) return 0;
  int frameW = w - WindowClientWidth(WinInfo), frameH = h - WindowClientHeight(WinInfo);
  if (frameW <= 0 && frameH <= 0) return 0;
  int width = gInfo.outerWidth - std::max(0, frameW), height = gInfo.outerHeight - std::max(0, frameH);
  gInfo.outerWidth = gInfo.outerHeight = 0;
  ResizeWindow(WinInfo, x, y, width, height);
  return 1;
}

void LayoutInfoWindow() {
  float s = gApp.infoScale;
  if (Logging()) Log("Info DPI scale = " + FormatScale(s));
  int W = WindowClientWidth(WinInfo), H = WindowClientHeight(WinInfo);
  // The font first: the programme field is as high as its two lines (programme and
  // presenter) need in it, at any scale and whatever font the face resolved to.
  FreeFont(gInfo.font);
  gInfo.font = CreateUiFont("Source Sans Pro", static_cast<float>(UiRound(12 * s)));
  for (int field : {kProgrammeField, kNowPlayingField, kPreviousField}) SetGadgetFont(WinInfo, field, gInfo.font);
  int m = UiRound(2 * s);
  int top = 2 * FontLineSpacing(gInfo.font) + TextGadgetMargins(WinInfo, kProgrammeField);
  ResizeGadget(WinInfo, kProgrammeField, m, m, W - 2 * m, top);
  int y1 = m + top + m;
  int a = UiRound(128 * s);
  ResizeGadget(WinInfo, kArtworkCanvas, m, y1, a, a);
  ResizeGadget(WinInfo, kNowPlayingField, 2 * m + a, y1, (W - 2 * m) - m - a, a);
  int y2 = y1 + a + m;
  ResizeGadget(WinInfo, kPreviousField, m, y2, W - 2 * m, H - y2 - m);
  int fallback = GetSkinImage("artwork_default", "info_artwork_default", a, a);
  if (!IsImage(kArtworkImage) && fallback) CopyImage(fallback, kArtworkImage);
  ShowWindowNoActivate(WinInfo);
  gSettings.infoState.store(1);
  if (gInfo.outerWidth) {
    FitOuterSize();
    // Resized to the outer size: lay the fields out in the new client area.
    if (!gInfo.outerWidth) LayoutInfoWindow();
  }
}

void CloseInfoWindow() {
  gSettings.infoState.store(0);
  if (IsWindow(WinInfo)) CloseWindow(WinInfo);
  FreeFont(gInfo.font);
  gInfo.font = 0;
}

}  // namespace

InfoSnapshot CurrentInfoSnapshot() {
  InfoSnapshot info;
  info.showName = PlayerString(&PlayerState::showName);
  info.showInfo = PlayerString(&PlayerState::showInfo);
  info.connectId = PlayerString(&PlayerState::connectId);
  info.connectUrl = PlayerString(&PlayerState::connectUrl);
  info.codecName = PlayerString(&PlayerState::codecName);
  info.bitrate = gPlayer.bitrate.load();
  info.history = GetTrackHistory();
  info.measure = gSettings.measure.load();
  return info;
}

std::string TwoDigitNumber(int64_t number) {
  std::string digits = std::to_string(number);
  return digits.size() < 2 ? "0" + digits : digits;
}

std::string TrackDuration(int64_t start, int64_t end) {
  int64_t d = end - start;
  if (d <= 0) return "??:??";
  int64_t seconds = d % 60, minutes = d / 60;
  int64_t hours = minutes / 60;
  minutes %= 60;
  if (hours < 1) return std::to_string(minutes) + ":" + TwoDigitNumber(seconds);
  return std::to_string(hours) + ":" + TwoDigitNumber(minutes) + ":" + TwoDigitNumber(seconds);
}

std::string InfoProgrammeText(const InfoSnapshot& info) {
  std::string text = info.showName;
  if (!info.showInfo.empty()) text += "\r\n" + info.showInfo;
  return text;
}

std::string InfoNowPlayingText(const InfoSnapshot& info) {
  if (info.history.empty()) return "";
  const TrackHistoryEntry& now = info.history.front();
  return "Stream: " + info.connectId + "\r\nArtist: " + now.artist + "\r\nSong: " + now.title +
         "\r\nAlbum: " + now.album;
}

std::string InfoPreviousText(const InfoSnapshot& info) {
  if (info.history.size() < 2) return "";
  size_t n = info.history.size() - 1;
  std::string text = "Previous " + std::to_string(n) + " songs:";
  for (size_t j = 1; j <= n; ++j) {
    const TrackHistoryEntry& e = info.history[j];
    text += "\r\n" + TwoDigitNumber(static_cast<int64_t>(j)) + ". " + e.artist + " - " + e.title + " (" +
            TrackDuration(e.start, e.end) + ")";
    if (!e.album.empty()) text += " - " + e.album;
  }
  return text;
}

std::string InfoCopyReport(const InfoSnapshot& info) {
  std::string text = "Corvale Player Info\r\n\r\n";
  text += info.showName + "\r\n" + info.showInfo;
  text += "\r\n\r\n";
  if (!info.history.empty()) {
    const TrackHistoryEntry& now = info.history.front();
    text += "Stream: " + info.connectId + "\r\nURL: " + info.connectUrl + "\r\nCodec: " + info.codecName +
            "\r\nBitrate: " + std::to_string(info.bitrate) + "\r\n\r\nArtist: " + now.artist +
            "\r\nSong: " + now.title + "\r\nAlbum: " + now.album;
  }
  text += "\r\n\r\n";
  if (info.history.size() >= 2) {
    size_t n = info.history.size() - 1;
    text += "Previous " + std::to_string(n) + " songs:";
    for (size_t j = 1; j <= n; ++j) {
      const TrackHistoryEntry& e = info.history[j];
      text += "\r\n" + TwoDigitNumber(static_cast<int64_t>(j)) + ". " + e.artist + " - " + e.title + " (" +
              TrackDuration(e.start, e.end) + ") - " + e.album + " (" + e.year + ") - " +
              std::to_string(std::lround(e.rms)) + "dBFS RMS, " + std::to_string(std::lround(e.peak)) + "dBFS Peak";
      // Steering by EBU R128, the listener sees what it steered by; "?" for a title not measured.
      if (info.measure == MeasureR128)
        text += ", " + (std::isnan(e.lufs) ? std::string("?") : std::to_string(std::lround(e.lufs))) + "LUFS";
      text += ".";
    }
  }
  text += "\r\n";
  return text;
}

void InfoWindowSize(int storedWidth, int storedHeight, int* width, int* height) {
  bool usable = storedWidth >= 400 && storedHeight >= 300 && storedWidth < 32000 && storedHeight < 32000;
  *width = usable ? storedWidth : 600;
  *height = usable ? storedHeight : 500;
}

int OpenInfoWindow(int open, int relayout, int copy, int reloadArtwork) {
  if (!open) {
    CloseInfoWindow();
    return 0;
  }
  if (!IsWindow(WinInfo)) {
    if (!CreateInfoWindow()) {
      gInfo.lastArtworkUrl.clear();
      return 0;
    }
    relayout = 1;
  }
  if (relayout) LayoutInfoWindow();
  if (reloadArtwork) ReloadArtwork();
  if (gApp.minimized.load() == 0) RefreshInfoTexts();
  if (copy) SetClipboardText(InfoCopyReport(CurrentInfoSnapshot()));
  return 1;
}

void HandleArtworkReady(int request, int image) {
  // An answer for an older title, or one the window no longer waits for, is dropped.
  if (request != gInfo.request || gInfo.pendingUrl.empty()) {
    if (image) FreeImage(image);
    return;
  }
  std::string url = gInfo.pendingUrl;
  gInfo.pendingUrl.clear();
  if (image) {
    if (CopyImage(image, kArtworkImage)) gInfo.lastArtworkUrl = url;
    FreeImage(image);
  }
  if (IsWindow(WinInfo) && gApp.minimized.load() == 0) DrawArtwork();
}

int FitInfoWindowToFrame() { return FitOuterSize(); }

std::string ShownArtworkUrl() { return gInfo.lastArtworkUrl; }
std::string PendingArtworkUrl() { return gInfo.pendingUrl; }
int ArtworkWorkerThread() { return gArtworkSlot.thread.load(); }

int InfoWindowCallback(const WindowMessage& message) { return ToolWindowMessage(kInfoTool, message); }
