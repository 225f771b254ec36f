// The downloader window (window 5): a progress bar and a "KiBi" line while the installer
// downloads. Closing it ends the download at the next received block.
#include <string>

#include "core/core.h"
#include "data/data.h"
#include "runtime/runtime.h"
#include "ui/ui.h"
#include "update/update.h"

namespace {

constexpr int kProgressBar = 1;
constexpr int kProgressText = 2;
// Main thread only.
int gDownloaderFont = 0;
std::string gShownText;  // the progress line last drawn

int ClientWidth(float s) { return UiRound(320 * s); }
int ClientHeight(float s) { return UiRound(46 * s); }

int DownloaderWindowCallback(const WindowMessage& m) {
  switch (m.kind) {
    case MsgDpiChanged:
      if (m.dpi == 0) return 1;
      gApp.downloaderScale = m.dpi / 96.0f;
      if (m.width > 0 && m.height > 0) ResizeWindow(WinDownloader, m.x, m.y, m.width, m.height);
      DownloaderWindow(1, 1);
      return 1;
    case MsgExitSizeMove:
      KeepWindowOnScreen(WinDownloader);
      return 1;
    case MsgMediaPlayPauseUp:
      if (gSettings.hotkey.load() == 0) ToggleMute();
      return 0;
    default:
      return 0;
  }
}

}  // namespace

std::string DownloaderWindowText() { return IsWindow(WinDownloader) ? gShownText : std::string(); }

std::string DownloaderProgressText(int64_t done, int64_t total) {
  if (total > 0) return std::to_string(done / 1024) + " / " + std::to_string(total / 1024) + " KiBi";
  return std::to_string(done / 1024) + " / ? KiBi";
}

int DownloaderProgressValue(int64_t done, int64_t total) {
  if (total <= 0) return 100;
  return UiRound(double(done) / double(total) * 100.0);
}

int DownloaderWindow(int show, int layout) {
  if (!show) {
    gDownload.active.store(0);
    gShownText.clear();
    if (IsWindow(WinDownloader)) CloseWindow(WinDownloader);
    FreeFont(gDownloaderFont);
    gDownloaderFont = 0;
    return 0;
  }
  if (!IsWindow(WinDownloader)) {
    if (!layout) return 0;
    int cx = 0, cy = 0;
    CursorPosition(&cx, &cy);
    float s = 1.0f;
    GetDpiScale(0, cx, cy, 1, 1, &s);
    int width = ClientWidth(s), height = ClientHeight(s);
    int x = UiRound(cx - width * 0.5), y = UiRound(cy - height * 0.5);
    if (!OpenWindow(WinDownloader, x, y, width, height, "Corvale Player Downloader",
                    WindowCaption | WindowSystemMenu | WindowInvisible, IsWindow(WinMain) ? WinMain : 0))
      return 0;
    GetDpiScale(WinDownloader, x, y, width, height, &gApp.downloaderScale);
    SetWindowCallback(WinDownloader, DownloaderWindowCallback);
    SetWindowColor(WinDownloader, kColorBackground);
    RemoveKeyboardShortcut(WinDownloader, -1);
    AddKeyboardShortcut(WinDownloader, VkApps, MenuShowTrayMenu);
    ProgressBarGadget(WinDownloader, kProgressBar, 0, 0, 0, 0, 0, 100);
    // The line is drawn on a canvas: a text control would add a scroll bar when the
    // font's line is taller than the 22 units.
    CanvasGadget(WinDownloader, kProgressText, 0, 0, 1, 1);
  }
  if (layout) {
    float s = gApp.downloaderScale;
    if (Logging()) Log("Downloader DPI scale = " + FormatScale(s));
    ResizeWindow(WinDownloader, -1, -1, ClientWidth(s), ClientHeight(s));
    ResizeGadget(WinDownloader, kProgressBar, 0, 0, ClientWidth(s), UiRound(20 * s));
    ResizeGadget(WinDownloader, kProgressText, 0, UiRound(20 * s), ClientWidth(s), UiRound(22 * s));
    FreeFont(gDownloaderFont);
    gDownloaderFont = CreateUiFont("Source Sans Pro", 11 * s);
    gShownText.clear();
  }
  int64_t total = gDownload.total.load(), done = gDownload.done.load();
  SetGadgetState(WinDownloader, kProgressBar, DownloaderProgressValue(done, total));
  std::string text = DownloaderProgressText(done, total);
  if (text != gShownText && StartDrawingCanvas(WinDownloader, kProgressText)) {
    int pad = UiRound(2 * gApp.downloaderScale);
    DrawBox(0, 0, OutputWidth(), OutputHeight(), kColorBackground);
    DrawingFont(gDownloaderFont);
    DrawTextRect(pad, 0, OutputWidth() - 2 * pad, OutputHeight(), text, TextSingleLine | TextVCenter | TextNoPrefix,
                 kColorText);
    StopDrawing();
    gShownText = text;
  }
  if (layout) ShowWindowNoActivate(WinDownloader);
  return 1;
}
