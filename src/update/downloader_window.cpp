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

int DownloaderWindowCallback(const WindowMessage& m);

const ToolWindow kDownloaderTool = {
    .window = WinDownloader,
    .caption = "Corvale Player Downloader",
    .options = ToolOwnSize | ToolAtCursor,
    .scale = &gApp.downloaderScale,
    .clientSize =
        [](float s, int* w, int* h) {
          *w = ClientWidth(s);
          *h = ClientHeight(s);
        },
    .callback = DownloaderWindowCallback,
    .shortcuts = {},
    .relayout = [] { DownloaderWindow(1, 1); },
};

int DownloaderWindowCallback(const WindowMessage& m) { return ToolWindowMessage(kDownloaderTool, m); }

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
    if (!layout || !OpenToolWindow(kDownloaderTool)) return 0;
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
