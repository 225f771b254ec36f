// The tray icon and the menu every window shares. The icon shows whether the stream is
// muted; a left click toggles mute, a right click opens the menu. The menu is always
// shown owned by the main window, so its commands arrive as menu events of window 1
// whichever window it was opened from. Main thread only.
#include <string>

#include "core/core.h"
#include "data/data.h"
#include "playback/playback.h"
#include "runtime/runtime.h"
#include "ui/ui.h"

namespace {

// The menu's items top to bottom; command 0 is a separator.
const TrayMenuEntry kTrayMenuItems[] = {
    {MenuMute, "Mute Stream"},
    {0, ""},
    {MenuVolumeAuto, "Volume Auto"},
    {MenuVolumePreset1, "Volume Preset 1"},
    {MenuVolumePreset2, "Volume Preset 2"},
    {MenuEvenLoudness, "Even Loudness (EBU R128)"},
    {0, ""},
    {MenuOpenInfo, "Open Info"},
    {MenuOpenStats, "Open Stats"},
    {MenuSongLog, "Song Log..."},
    {MenuOpenPrefs, "Open Preferences"},
    {0, ""},
    {MenuLoveSong, "Love This Song"},
    {MenuSaveSong, "Save This Song"},
    {MenuRecordAll, "Record Every Song"},
    {0, ""},
    {MenuShowManual, "Show Manual"},
    {MenuBrowseWebsite, "Browse Website"},
    {0, ""},
    {MenuQuit, "Quit Player"},
};

// Left click and left double click: mute or unmute, and the tray image only. The menu's
// check mark, the taskbar button and the progress catch up at their next refresh.
void ToggleMuteFromTray() {
  if (gSettings.muted.load() != 0) {
    gSettings.muted = 0;
    SetVolume(gPlayer.volume.load(), 100);
    ChangeTrayImage(gApp.trayImageNormal);
  } else {
    gSettings.muted = 1;
    SetVolume(gPlayer.volume.load(), 100);
    ChangeTrayImage(gApp.trayImageMuted);
  }
}

// "Save This Song" is greyed out until the station has named the title the listener hears;
// "Love This Song" is checked while that title is a favourite.
void RefreshSongMenuItems() {
  SetMenuItemEnabled(kTrayMenu, MenuSaveSong, SongSaveAvailable());
  SetMenuItemState(kTrayMenu, MenuLoveSong, SongLogFavouriteNow());
}

}  // namespace

const TrayMenuEntry* TrayMenuItems(int* count) {
  *count = static_cast<int>(sizeof(kTrayMenuItems) / sizeof(kTrayMenuItems[0]));
  return kTrayMenuItems;
}

TrayChecks TrayMenuChecks(int64_t muted, int64_t preset, int64_t measure) {
  TrayChecks c;
  c.evenLoudness = measure == MeasureR128;
  c.mute = muted != 0;
  c.presetOne = preset == VolumePreset1;
  c.presetTwo = preset == VolumePreset2;
  c.automatic = !c.presetOne && !c.presetTwo;
  return c;
}

int LoadTrayImages() {
  static const char* const kKinds[] = {"normal", "muted", "connect"};
  int* targets[] = {&gApp.trayImageNormal, &gApp.trayImageMuted, &gApp.trayImageConnect};
  for (int i = 0; i < 3; i++) {
    std::string kind = kKinds[i];
    *targets[i] = GetSkinImage("trayicon_" + kind, "tray_status_" + kind, kTrayImageSize, kTrayImageSize);
  }
  if (gApp.trayImageNormal && gApp.trayImageMuted && gApp.trayImageConnect) return 1;
  // The player goes on without the icon, and the saved setting keeps it off.
  gSettings.trayIcon = 0;
  ReportError("Unable to load icons for the tray, trayicon disabled.");
  return 0;
}

int AddTrayIcon() {
  int image = gSettings.muted.load() == 1 ? gApp.trayImageMuted : gApp.trayImageNormal;
  // Without its image there is nothing to show (the images failed to load at start).
  if (image == 0) return 0;
  AddSysTrayIcon(kTrayIcon, WinMain, image);
  if (!IsSysTrayIcon(kTrayIcon)) return 0;
  SysTrayIconToolTip(kTrayIcon, TrayToolTipText());
  return 1;
}

int CreateTrayIconAtStart() {
  if (gSettings.trayIcon.load() == 0) return 0;
  if (AddTrayIcon()) return 1;
  if (Logging()) Log("Unable to create trayicon.");
  return 0;
}

void RemoveTrayIcon() {
  if (IsSysTrayIcon(kTrayIcon)) RemoveSysTrayIcon(kTrayIcon);
}

void ChangeTrayImage(int image) {
  if (image != 0 && IsSysTrayIcon(kTrayIcon)) ChangeSysTrayIcon(kTrayIcon, image);
}

int RecreateTrayIcon() {
  RemoveTrayIcon();
  if (gSettings.trayIcon.load() == 0 || !IsWindow(WinMain)) return 0;
  return AddTrayIcon();
}

int BuildTrayMenu(int create) {
  if (!IsMenu(kTrayMenu)) {
    if (!create || !CreatePopupMenu(kTrayMenu)) return 0;
    for (const TrayMenuEntry& item : kTrayMenuItems) {
      if (item.command == 0) {
        MenuBar(kTrayMenu);
      } else {
        MenuItem(kTrayMenu, item.command, item.text);
      }
    }
  }
  TrayChecks c = TrayMenuChecks(gSettings.muted.load(), gSettings.preset.load(), gSettings.measure.load());
  SetMenuItemState(kTrayMenu, MenuMute, c.mute);
  SetMenuItemState(kTrayMenu, MenuVolumeAuto, c.automatic);
  SetMenuItemState(kTrayMenu, MenuVolumePreset1, c.presetOne);
  SetMenuItemState(kTrayMenu, MenuVolumePreset2, c.presetTwo);
  SetMenuItemState(kTrayMenu, MenuRecordAll, gSettings.recordAll.load() == 1);
  SetMenuItemState(kTrayMenu, MenuEvenLoudness, c.evenLoudness);
  RefreshSongMenuItems();
  return 1;
}

void ShowSongNotice() {
  const std::string notice = TakeSongNotice();
  if (notice.empty() || !IsSysTrayIcon(kTrayIcon)) return;
  SysTrayIconToolTip(kTrayIcon, std::string(kProgramName) + "\n" + notice);
  AddWindowTimer(WinMain, TimerSongNotice, kSongNoticeMs);
}

void EndSongNotice() {
  RemoveWindowTimer(WinMain, TimerSongNotice);
  if (IsSysTrayIcon(kTrayIcon)) SysTrayIconToolTip(kTrayIcon, TrayToolTipText());
}

int ShowTrayMenu() {
  if (!IsMenu(kTrayMenu)) BuildTrayMenu(kCreateMenu);
  // The other marks change only when the menu is rebuilt; these follow the title playing now.
  RefreshSongMenuItems();
  int x = 0, y = 0;
  CursorPosition(&x, &y);
  return DisplayPopupMenu(kTrayMenu, WinMain, x - 1, y - 1);
}

int HandleTrayEvent(int type) {
  if (gSettings.trayIcon.load() == 0) return 0;
  switch (type) {
    case TrayRightUp:
      ShowTrayMenu();
      return 1;
    case TrayLeftUp:
    case TrayLeftDoubleClick:
      ToggleMuteFromTray();
      return 1;
    default:  // right double click: nothing
      return 0;
  }
}
