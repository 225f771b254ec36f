// The main event loop: waits for events, dispatches them by window and kind, and
// does the idle work (VU meter, housekeeping) between them.
#include <algorithm>
#include <chrono>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "runtime/runtime.h"
#include "ui/ui.h"
#include "update/update.h"

int ReconnectWatchdogDue(uint32_t streamHandle, int64_t connecting, const std::function<int()>& channelActive,
                         const std::function<uint64_t()>& connectedPosition) {
  // A running attempt owns the connection; the next tick looks again.
  if (connecting != 0) return 0;
  if (streamHandle == 0) return 1;
  // The server may have closed the connection while the handle is still set.
  if (channelActive() == 0) return 1;
  if (connectedPosition() == 0) return 1;
  return 0;
}

std::string NowPlayingTitle(const std::string& artist, const std::string& title) {
  return artist + " - " + title + " - " + kProgramName;
}

std::string ManualPage(const std::string& dataFolder, const std::string& lang) {
  std::string code = lang;
  // "en" is the manual's own language and is taken without looking.
  if (code != "en" && (code.empty() || !FolderExists(dataFolder + "manual/" + code))) code.clear();
  if (code.empty()) return dataFolder + "manual/index.html";
  return dataFolder + "manual/" + code + "/index.html";
}

void InitLoopTiming(uint32_t now) {
  gApp.loopNow = now;
  // Stamps one second back let the first idle pass poll, draw and refresh at once.
  gApp.levelPollStamp = now - 1000;
  gApp.vuDrawStamp = now - 1000;
  gApp.housekeepingStamp = now;
  gApp.statsRefreshStamp = now - 1000;
  RequestWakeAt(now);
}

void RequestWakeAt(uint32_t due) {
  if (gApp.wakeAsked == 0 || int32_t(due - gApp.wakeDue) < 0) gApp.wakeDue = due;
  gApp.wakeAsked = 1;
}

// ---------------------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------------------

namespace {

void UpdateMainTitle() {
  if (!IsWindow(WinMain)) return;
  NowPlaying now = GetTrackInfo();
  SetWindowTitle(WinMain, NowPlayingTitle(now.artist, now.title));
}

void StartStreamInfoWorker() {
  if (gSettings.streamInfo.load() == 0) return;
  if (IsThread(gApp.streamInfoThread.load())) return;
  gApp.streamInfoThread.store(CreateThread(StreamInfoWorker, kStreamInfoThread));
}

void MainWindowTimer(int timer) {
  switch (timer) {
    case TimerReconnect: {
      // Asleep nothing reconnects: the resume does, at once.
      if (gPlayer.asleep.load() != 0) break;
      uint32_t handle = gPlayer.streamHandle.load();
      auto active = [handle] {
        if (!gBass.BASS_ChannelIsActive) return 0;
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
        return int(WatchdogActivity(handle, gBass.BASS_ChannelIsActive(handle), ms));
      };
      auto connected = [handle]() -> uint64_t {
        return gBass.BASS_StreamGetFilePosition ? gBass.BASS_StreamGetFilePosition(handle, BASS_FILEPOS_CONNECTED) : 0;
      };
      if (ReconnectWatchdogDue(handle, gPlayer.connecting.load(), active, connected))
        StartPlaybackWorker(WorkerStart::kAdvanceToNext);
      break;
    }
    case TimerStreamInfo:
      StartStreamInfoWorker();
      break;
    case TimerVersionCheck:
      StartAutomaticVersionCheck();
      break;
    case TimerSaveSettings:
      SaveSettings(kFreeDocument, kSaveIfChanged);
      break;
    case TimerSongNotice:
      EndSongNotice();
      break;
    default:
      break;
  }
}

void MainWindowMenu(int command) {
  switch (command) {
    case MenuMute:
      gSettings.muted.store(gSettings.muted.load() == 0 ? 1 : 0);
      ApplyMute();
      break;
    case MenuNextVolumeMode:
      gSettings.preset.store(NextVolumeMode(gSettings.preset.load()));
      ApplyVolumeMode();
      break;
    case MenuVolumeAuto:
    case MenuVolumePreset1:
    case MenuVolumePreset2:
      // ApplyVolumeMode unmutes, sets the mode's volume and refreshes the tray image,
      // the check marks and both taskbar buttons; it must see the mute flag as it was.
      gSettings.preset.store(command - MenuVolumeAuto);
      ApplyVolumeMode();
      break;
    case MenuOpenInfo:
    case MenuOpenStats:
    case MenuOpenPrefs: {
      if (command == MenuOpenInfo) OpenInfoWindow(kOpenWindow, kKeepLayout, kNoCopy, kKeepArtwork);
      if (command == MenuOpenStats) OpenStatsWindow(kOpenWindow, kKeepLayout, kNoCopy);
      int window = command == MenuOpenInfo ? WinInfo : command == MenuOpenStats ? WinStats : WinPrefs;
      if (command == MenuOpenPrefs) OpenPrefsWindow(kOpenWindow, kKeepLayout);
      if (IsWindow(window)) ActivateWindowNumber(window);
      break;
    }
    case MenuSongLog:
      OpenSongLogWindow(kOpenWindow, kKeepLayout);
      if (IsWindow(WinSongLog)) ActivateWindowNumber(WinSongLog);
      break;
    case MenuEvenLoudness:
      // Steers from the next title change on; the volume of the title playing now stays.
      gSettings.measure.store(gSettings.measure.load() == MeasureR128 ? MeasureRms : MeasureR128);
      BuildTrayMenu(kCreateMenu);
      if (Logging())
        Log(gSettings.measure.load() == MeasureR128 ? "Even loudness (EBU R128) on." : "Even loudness (EBU R128) off.");
      break;
    case MenuLoveSong: {
      int favourite = SongLogToggleFavouriteNow();
      BuildTrayMenu(kCreateMenu);
      if (Logging() && favourite >= 0)
        Log(favourite ? "Song log: this title is a favourite." : "Song log: this title is no longer a favourite.");
      break;
    }
    case MenuSaveSong:
      // Also what `corvale-player --save-song` hands over; the capture says why not.
      SaveHeardSong();
      break;
    case MenuRecordAll:
      SetRecordAll(gSettings.recordAll.load() == 1 ? 0 : 1);
      BuildTrayMenu(kCreateMenu);
      break;
    case MenuBrowseWebsite:
      OpenWebPage(gStation.website);
      break;
    case MenuShowManual:
      ShowManual();
      break;
    case MenuQuit:
      gApp.quitRequested.store(1);
      break;
    default:  // 1 included: the main window has no context-menu action of its own
      break;
  }
}

void MainWindowEvent(int kind, int object, int type) {
  switch (kind) {
    case EventTaskbarState:
      UpdateTaskbarProgress();
      if (IsWindow(WinPrefs)) OpenPrefsWindow(kOpenWindow, kRelayout);
      break;
    case EventVersionCheckDone:
      DownloaderWindow(kOpenWindow, kRelayout);
      break;
    case EventToolAnswer:
      HandleToolAnswer(object, type);
      break;
    case EventRefreshWindows:
      OpenMainWindow(kOpenWindow);
      if (IsWindow(WinStats)) OpenStatsWindow(kOpenWindow, kRelayout, kNoCopy);
      if (IsWindow(WinInfo)) OpenInfoWindow(kOpenWindow, kRelayout, kNoCopy, kKeepArtwork);
      if (IsWindow(WinDebug)) OpenDebugLogWindow(kOpenWindow, kRelayout, kNoCopy);
      if (IsWindow(WinPrefs)) OpenPrefsWindow(kOpenWindow, kRelayout);
      if (IsWindow(WinSongLog)) OpenSongLogWindow(kOpenWindow, kRelayout);
      break;
    case EventStreamMeta:
      HandleTrackChange();
      UpdateMainTitle();
      break;
    case EventSongSaved:
      ShowSongNotice();
      break;
    case EventSleepState:
    case EventNetworkState:
    case EventReconnectState:
      HandleRecoveryEvent(kind, object);
      break;
    case EventNowPlaying:
      if (gApp.minimized.load() == 0) {
        if (IsWindow(WinInfo)) OpenInfoWindow(kOpenWindow, kKeepLayout, kNoCopy, kReloadArtwork);
        UpdateMainTitle();
      }
      break;
    case EventTimer:
      MainWindowTimer(object);
      break;
    case EventRightClick:
      ShowTrayMenu();
      break;
    case EventMenu:
      MainWindowMenu(object);
      break;
    case EventMoveWindow:
      StoreWindowPosition(WinMain, gSettings.mainX, gSettings.mainY);
      break;
    case EventMinimizeWindow:
      gApp.minimized.store(1);
      break;
    case EventRestoreWindow:
      gApp.minimized.store(0);
      StoreWindowPosition(WinMain, gSettings.mainX, gSettings.mainY);
      if (gSettings.infoState.load() != 0) OpenInfoWindow(kOpenWindow, kKeepLayout, kNoCopy, kKeepArtwork);
      if (gSettings.statsState.load() != 0) OpenStatsWindow(kOpenWindow, kKeepLayout, kNoCopy);
      break;
    case EventCloseWindow:
      gApp.quitRequested.store(1);
      break;
    case EventSysTray:
      HandleTrayEvent(type);
      break;
    default:
      break;
  }
}

// The statistics refresh once a second by the idle pass's clock (gApp.loopNow), which an
// idle pass every kStatsClockMs keeps fresh while the window is open.
constexpr uint32_t kStatsRefreshMs = 1000;
constexpr uint32_t kStatsClockMs = 25;

void KeepStatsClock(uint32_t now) {
  if (IsWindow(WinStats)) RequestWakeAt(now + kStatsClockMs);
}

void StatsWindowEvent(int kind, int object, int type) {
  switch (kind) {
    case EventGadget:
      if (object == 1 && type == GadgetRightClick) ShowTrayMenu();
      break;
    case EventMenu:
      if (object == MenuShowTrayMenu) ShowTrayMenu();
      if (object == MenuCopy) OpenStatsWindow(kOpenWindow, kKeepLayout, kCopyToClipboard);
      break;
    case EventRightClick:
      ShowTrayMenu();
      break;
    case EventTimer:
      if (object == kStatsTimer && ElapsedMs(gApp.loopNow, gApp.statsRefreshStamp) >= kStatsRefreshMs) {
        // A tick still queued when the window closed must not open it again.
        if (IsWindow(WinStats)) OpenStatsWindow(kOpenWindow, kKeepLayout, kNoCopy);
        gApp.statsRefreshStamp = gApp.loopNow;
      }
      break;
    case EventMoveWindow:
      StoreWindowPosition(WinStats, gSettings.statsX, gSettings.statsY);
      break;
    case EventCloseWindow:
      OpenStatsWindow(kCloseWindow, kKeepLayout, kNoCopy);
      break;
    default:
      break;
  }
}

void InfoWindowEvent(int kind, int object, int type) {
  switch (kind) {
    case EventGadget:
      if (object == 5 && type == GadgetRightClick) ShowTrayMenu();
      break;
    case EventMenu:
      if (object == MenuShowTrayMenu) ShowTrayMenu();
      if (object == MenuCopy) OpenInfoWindow(kOpenWindow, kKeepLayout, kCopyToClipboard, kKeepArtwork);
      break;
    case EventRightClick:
      ShowTrayMenu();
      break;
    case EventMoveWindow:
      // The window manager framing the new window moves it: the frame is known now.
      FitInfoWindowToFrame();
      StoreWindowPosition(WinInfo, gSettings.infoX, gSettings.infoY);
      break;
    case EventSizeWindow:
      // The opening size with the frame round it is not the listener's size: the fit
      // comes first, and its own resize brings the size to store.
      if (FitInfoWindowToFrame()) break;
      if (IsWindow(WinInfo) && GetWindowState(WinInfo) == WindowNormal) {
        int x = 0, y = 0, w = 0, h = 0;
        if (GetWindowRect(WinInfo, &x, &y, &w, &h)) {
          gSettings.infoW.store(w);
          gSettings.infoH.store(h);
        }
        OpenInfoWindow(kOpenWindow, kRelayout, kNoCopy, kKeepArtwork);
      }
      break;
    case EventCloseWindow:
      OpenInfoWindow(kCloseWindow, kKeepLayout, kNoCopy, kKeepArtwork);
      break;
    case EventArtworkReady:
      HandleArtworkReady(object, type);
      break;
    default:
      break;
  }
}

void PrefsWindowEvent(int kind, int object, int type) {
  switch (kind) {
    case EventGadget:
      PrefsGadgetEvent(object, type, EventMouseY(), EventData());
      break;
    case EventMenu:
    case EventRightClick:
      ShowTrayMenu();
      break;
    case EventMoveWindow:
      StoreWindowPosition(WinPrefs, gSettings.prefsX, gSettings.prefsY);
      break;
    case EventCloseWindow:
      if (IsWindow(WinPrefs)) {
        SaveSettings(kFreeDocument, kSaveIfChanged);
        OpenPrefsWindow(kCloseWindow, kKeepLayout);
      }
      break;
    default:
      break;
  }
}

void DownloaderWindowEvent(int kind, int object, int type) {
  switch (kind) {
    case EventMenu:
      if (object == MenuShowTrayMenu) ShowTrayMenu();
      break;
    case EventRightClick:
      ShowTrayMenu();
      break;
    case EventCloseWindow:
      DownloaderWindow(kCloseWindow, kKeepLayout);
      break;
    default:
      break;
  }
}

}  // namespace

void DispatchEvent(int kind, int window, int object, int type) {
  switch (window) {
    case WinMain:
      MainWindowEvent(kind, object, type);
      break;
    case WinStats:
      StatsWindowEvent(kind, object, type);
      break;
    case WinInfo:
      InfoWindowEvent(kind, object, type);
      break;
    case WinPrefs:
      PrefsWindowEvent(kind, object, type);
      break;
    case WinDownloader:
      DownloaderWindowEvent(kind, object, type);
      break;
    case WinDebug:
      HandleDebugLogEvent(kind, object, type);
      break;
    case WinSongLog:
      SongLogWindowEvent(kind, object, type);
      break;
    default:
      break;
  }
}

namespace {

// The long peak's reset and the downloader window's progress.
constexpr uint32_t kHousekeepingMs = 500;

void Housekeeping(uint32_t now) {
  if (ElapsedMs(now, gApp.housekeepingStamp) >= kHousekeepingMs) {
    gPlayer.longPeakReset.store(1);
    gApp.housekeepingStamp = now;
    if (gDownload.active.load() != 0) DownloaderWindow(kOpenWindow, kKeepLayout);
  }
  RequestWakeAt(gApp.housekeepingStamp + kHousekeepingMs);
}

}  // namespace

int IdlePass(uint32_t now) {
  gApp.loopNow = now;
  // The requests of the last round are spent: whoever still needs a pass asks below.
  gApp.wakeAsked = 0;
  // A reconnect after a resume or the network's return that found the last worker ending.
  ServiceReconnectRequest();
  VuMeterTick(now);
  Housekeeping(now);
  KeepStatsClock(now);
  DebugLogIdle(now);
  return gApp.quitRequested.load() == 1 ? 1 : 0;
}

uint32_t IdleWaitMs(uint32_t now) {
  // The quit test runs in the idle pass, which comes as soon as the queue is empty.
  if (gApp.quitRequested.load() == 1) return 0;
  if (gApp.wakeAsked == 0) return kUnaskedWaitMs;
  const int32_t left = int32_t(gApp.wakeDue - now);
  if (left <= 0) return 0;
  return std::min(uint32_t(left), kUnaskedWaitMs);
}

void RunEventLoop() {
  SetCoreMainThread();
  // A window moved by the user or an open menu holds this loop on Windows: meanwhile the
  // runtime runs the idle work (the meter, the housekeeping) from a timer.
  SetModalLoopHook([] { IdlePass(TimeGetTime()); });
  while (true) {
    FlushDebugLogText();
    uint32_t wait = IdleWaitMs(TimeGetTime());
    int kind = WaitWindowEvent(static_cast<int>(wait));
    if (kind != 0) {
      DispatchEvent(kind, EventWindow(), EventObject(), EventType());
      continue;
    }
    if (IdlePass(TimeGetTime())) break;
  }
}
