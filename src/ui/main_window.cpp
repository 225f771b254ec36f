// The main window: the borderless VU meter strip whose title the taskbar shows. It owns
// the instance marker, the global play/pause hotkey and the session messages.
#include <algorithm>
#include <chrono>
#include <thread>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "ui/ui.h"

MainWindowState gMainWindow;

namespace {

constexpr int kStatusSize = 24;  // logical size of the status overlays
constexpr int kMainHotkeyId = 1;

float artworkScale = 0;  // the scale image 1 was drawn for

int CreateMainWindow() {
  float s = MainScale;
  int w = MainWindowWidth(s), h = MainWindowHeight(s);
  int x = 0, y = 0;
  NewWindowPosition(gSettings.mainX.load(), gSettings.mainY.load(), w, h, &x, &y);
  // Hidden until the refresh has drawn the meter; the minimise box gives it a taskbar entry.
  if (!OpenWindow(WinMain, x, y, w, h, kProgramName,
                  WindowBorderless | WindowInvisible | WindowSystemMenu | WindowMinimizeBox)) {
    ReportFatalError("Failed to create main window!");
    return 0;
  }
  // The real scale is that of the screen the window landed on.
  MainScale = WindowScale(WinMain);
  s = MainScale;
  ResizeWindow(WinMain, x, y, MainWindowWidth(s), MainWindowHeight(s));
  SetWindowCallback(WinMain, MainWindowCallback);
  SetWindowColor(WinMain, kColorBackground);

  if (SetInstanceMarker(WinMain, kProgramId)) {
    PostEvent(EventTaskbarState, WinMain, 0);
    StickyWindow(WinMain, gSettings.mainSticky.load() != 0);
  }

  RemoveKeyboardShortcut(WinMain, -1);
  AddKeyboardShortcut(WinMain, VkApps, MenuShowTrayMenu);

  KeepWindowOnScreen(WinMain);
  if (gSettings.hotkey.load()) RegisterMainHotkey();
  return 1;
}

void RefreshMainWindow() {
  float s = MainScale;
  int w = WindowClientWidth(WinMain), h = WindowClientHeight(WinMain);
  if (h != gMainWindow.height) {
    // Old heights mean nothing at the new size; the next poll sets them again.
    gMainWindow.unlit[0] = gMainWindow.unlit[1] = 0;
  }
  gMainWindow.width = w;
  gMainWindow.height = h;
  if (Logging()) Log("Main DPI scale = " + FormatScale(s));

  if (GetWindowState(WinMain) != WindowMinimized) ShowWindowNoActivate(WinMain);

  int size = UiRound(kStatusSize * s);
  int image = GetSkinImage("status_muted", "vumeter_status_muted", size, size);
  // A failed load keeps the previous overlay only while the cache still holds it.
  if (image || SkinCacheLookup("vumeter_status_muted") != gMainWindow.mutedImage) gMainWindow.mutedImage = image;
  image = GetSkinImage("status_connect", "vumeter_status_connect", size, size);
  if (image || SkinCacheLookup("vumeter_status_connect") != gMainWindow.connectImage) gMainWindow.connectImage = image;

  // Every expose lands here; the background is rebuilt only when its size or scale changed.
  if (!IsImage(kVuArtworkImage) || ImageWidth(kVuArtworkImage) != w || ImageHeight(kVuArtworkImage) != h ||
      artworkScale != s) {
    artworkScale = 0;
    if (CreateVuMeterArtwork(w, h, s)) artworkScale = s;
  }
  DrawVuMeter(1);
}

void CloseMainWindow() {
  RemoveKeyboardShortcut(WinMain, VkApps);
  if (gSettings.hotkey.load() || gMainWindow.hotkeyRegistered) UnregisterHotkey(WinMain, kMainHotkeyId);
  gMainWindow.hotkeyRegistered = 0;
  ReleaseTaskbarButtons();
  RemoveInstanceMarker(WinMain);
  // Let the toolkit finish what is queued for the window; bounded, as timers keep firing.
  for (int i = 0; i < 200 && WaitWindowEvent(0); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  CloseWindow(WinMain);
  artworkScale = 0;
  gMainWindow.shownUnlit[0] = gMainWindow.shownUnlit[1] = gMainWindow.shownOverlay = -1;
}

}  // namespace

int OpenMainWindow(int open) {
  if (!open) {
    if (IsWindow(WinMain)) CloseMainWindow();
    return 1;
  }
  // Showing the window inside the refresh can deliver a DPI change (another screen) that
  // asks for a refresh again: it is not nested but run once more after this one, with the
  // new size.
  static bool refreshing = false, again = false;
  if (refreshing) {
    again = true;
    return 1;
  }
  if (!IsWindow(WinMain) && !CreateMainWindow()) return 0;
  refreshing = true;
  for (int round = 0; round < 3 && IsWindow(WinMain); ++round) {
    again = false;
    RefreshMainWindow();
    if (!again) break;
  }
  refreshing = false;
  return 1;
}

int RegisterMainHotkey() {
  if (!gSettings.hotkey.load()) return 0;
  if (RegisterHotkey(WinMain, kMainHotkeyId, VkMediaPlayPause)) {
    gMainWindow.hotkeyRegistered = 1;
    return 1;
  }
  gMainWindow.hotkeyRegistered = 0;
  gSettings.hotkey.store(0);
  // Only a notice: playback goes on, the key still works while the window has the focus.
  RestoreMainWindow();
  ShowErrorBox("Unable to register global play/pause hotkey.");
  return 0;
}

void UnregisterMainHotkey() {
  if (gMainWindow.hotkeyRegistered || gSettings.hotkey.load()) UnregisterHotkey(WinMain, kMainHotkeyId);
  gMainWindow.hotkeyRegistered = 0;
}

void DrawVuMeter(int force) {
  if (!IsWindow(WinMain) || !IsImage(kVuArtworkImage)) return;
  int w = gMainWindow.width, h = gMainWindow.height;
  int dark[2];
  for (int c = 0; c < 2; ++c) dark[c] = std::clamp(UiRound(gMainWindow.unlit[c]), 0, h);
  int overlay = 0;
  if (gPlayer.connecting.load() && gMainWindow.connectImage && IsImage(gMainWindow.connectImage))
    overlay = gMainWindow.connectImage;
  else if (gSettings.muted.load() && gMainWindow.mutedImage && IsImage(gMainWindow.mutedImage))
    overlay = gMainWindow.mutedImage;
  if (!force && dark[0] == gMainWindow.shownUnlit[0] && dark[1] == gMainWindow.shownUnlit[1] &&
      overlay == gMainWindow.shownOverlay)
    return;
  if (!StartDrawingWindow(WinMain)) return;
  int half = UiRound(w / 2.0);
  const int left[2] = {0, w - half};
  auto paint = [&] {
    DrawImageCopy(kVuArtworkImage, 0, 0);
    if (dark[0] > 0) DrawBox(left[0], 0, half, dark[0], 0x000000);
    if (dark[1] > 0) DrawBox(left[1], 0, half, dark[1], 0x000000);
    if (overlay) DrawImageBlend(overlay, 0, 0);
  };
  if (force || overlay != gMainWindow.shownOverlay) {
    paint();
  } else {
    // Only the rows between the shown and the new edge of each bar change: the same
    // picture is painted clipped to them, so the screen gets two narrow bands.
    for (int c = 0; c < 2; ++c) {
      int from = std::min(dark[c], gMainWindow.shownUnlit[c]);
      int to = std::max(dark[c], gMainWindow.shownUnlit[c]);
      if (from == to) continue;
      ClipOutput(left[c], from, half, to - from);
      paint();
    }
  }
  StopDrawing();
  gMainWindow.shownUnlit[0] = dark[0];
  gMainWindow.shownUnlit[1] = dark[1];
  gMainWindow.shownOverlay = overlay;
}

namespace {

constexpr uint32_t kVuPollMs = 25;
constexpr uint32_t kVuDrawMs = 50;

void PollVuMeter(uint32_t now) {
  if (uint32_t(now - gApp.levelPollStamp) < kVuPollMs) return;
  // Minimised: neither polled nor drawn, and the stamp stays so the first tick after
  // the restore polls at once.
  if (gApp.minimized.load()) return;

  uint32_t stream = gPlayer.streamHandle.load();
  float levels[2] = {0, 0};
  if (stream && gBass.BASS_ChannelGetLevelEx &&
      gBass.BASS_ChannelGetLevelEx(stream, levels, 0.025f, BASS_LEVEL_STEREO)) {
    for (int c = 0; c < 2; ++c) {
      float v = levels[c];
      if (!(v >= 0.0f)) v = 0.0f;  // also catches a NaN
      if (v > 1.0f) v = 1.0f;
      gMainWindow.level[c] = v;
      gMainWindow.unlit[c] = UnlitHeight(v, gMainWindow.height);
    }
  }
  if (uint32_t(now - gApp.vuDrawStamp) >= kVuDrawMs) {
    DrawVuMeter(0);
    gApp.vuDrawStamp = now;
  }
  gApp.levelPollStamp = now;
}

}  // namespace

void VuMeterTick(uint32_t now) {
  PollVuMeter(now);
  // Only a meter on screen keeps the loop at its pace; minimised or hidden it is polled
  // by whatever other pass comes.
  if (IsWindow(WinMain) && gApp.minimized.load() == 0 && !IsWindowHidden(WinMain))
    RequestWakeAt(gApp.levelPollStamp + kVuPollMs);
}

int MainWindowCallback(const WindowMessage& m) {
  switch (m.kind) {
    case MsgTaskbarCreated:
      RecreateTrayIcon();
      return 0;
    case MsgTaskbarButtonCreated:
      BuildTaskbarButtons();
      return 0;
    case MsgThumbButtonClick:
      TaskbarButtonClicked(m.param);
      return 0;
    case MsgQueryEndSession:
      SaveSettings(kFreeDocument, kSaveIfChanged);
      return 1;
    case MsgEndSession:
      // The session is going: silence the stream, give up the instance lock and leave
      // the loop; the shutdown path does the rest.
      gApp.sessionEnded.store(1);
      HaltPlayback();
      SingleInstanceLock("");
      gApp.quitRequested.store(1);
      return 1;
    case MsgLeftButtonDown:
      // A press anywhere drags the window: it has no caption.
      StartWindowDrag(WinMain);
      return 1;
    case MsgResume:
      PostEvent(EventRefreshWindows, WinMain, 0);
      PostEvent(EventSleepState, WinMain, 0);
      return 1;
    case MsgSuspend:
      PostEvent(EventSleepState, WinMain, 1);
      return 1;
    case MsgNetworkChanged:
      PostEvent(EventNetworkState, WinMain, m.param);
      return 1;
    case MsgThemeChanged:
    case MsgDisplayChanged:
      PostEvent(EventRefreshWindows, WinMain, 0);
      return 1;
    case MsgSysCommand:
      // Close, restore, minimise and move pass; maximise and size are swallowed, so the
      // strip keeps the size its artwork was drawn for.
      switch (m.param) {
        case SysCmdClose:
        case SysCmdRestore:
        case SysCmdMinimize:
        case SysCmdMove:
          return 0;
        default:
          return 1;
      }
    case MsgDpiChanged: {
      if (m.dpi <= 0) return 1;
      MainScale = m.dpi / 96.0f;
      if (m.width <= 0 || m.height <= 0) return 1;
      // The suggested place, at the size our own rounding gives, so the artwork fits exactly.
      ResizeWindow(WinMain, m.x, m.y, MainWindowWidth(MainScale), MainWindowHeight(MainScale));
      OpenMainWindow(kOpenWindow);
      return 0;
    }
    case MsgExitSizeMove:
      KeepWindowOnScreen(WinMain);
      return 1;
    case MsgPaint:
      OpenMainWindow(kOpenWindow);
      return 0;
    case MsgMediaPlayPauseUp:
      if (!gSettings.hotkey.load()) ToggleMute();
      return 0;
    case MsgHotkey:
      if (m.param > 0 && m.key == VkMediaPlayPause && gSettings.hotkey.load()) ToggleMute();
      return 0;
    default:
      return 0;
  }
}
