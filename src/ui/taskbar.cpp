// The main window's taskbar entry: the mute and volume-mode buttons, the progress state,
// and the two routines that apply a changed mute flag or volume mode everywhere.
// On this desktop the entry is the media player on the session bus (runtime): its
// Play/Pause is the mute button, Next the volume-mode button, and the launcher entry's
// progress carries the connecting and muted states. Main thread only.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/core.h"
#include "data/data.h"
#include "playback/playback.h"
#include "runtime/runtime.h"
#include "ui/ui.h"

ThumbButton gThumbButtons[2];

namespace {

constexpr int kButtonImageSize = 64;  // the skin images of the buttons, not scaled

struct ButtonLook {
  const char* file;
  const char* key;
  const char* tooltip;
};

ButtonLook MuteLook(int64_t muted) {
  if (muted) return {"thumbbar_muted", "taskbar_thumbbar_muted", "Muted"};
  return {"thumbbar_unmuted", "taskbar_thumbbar_unmuted", "Unmuted"};
}

ButtonLook ModeLook(int64_t preset) {
  if (preset == VolumePreset1) return {"thumbbar_preset_1", "taskbar_thumbbar_preset_1", "Preset 1"};
  if (preset == VolumePreset2) return {"thumbbar_preset_2", "taskbar_thumbbar_preset_2", "Preset 2"};
  return {"thumbbar_preset_auto", "taskbar_thumbbar_preset_auto", "Auto"};
}

// Fills one slot the way every update does: mask, id, icon and tooltip only.
void FillSlot(ThumbButton& slot, int id, const ButtonLook& look) {
  slot.mask = kThumbMaskIcon | kThumbMaskTooltip;
  slot.id = id;
  int image = GetSkinImage(look.file, look.key, kButtonImageSize, kButtonImageSize);
  slot.icon = IconFromImage(image);
  SetThumbTooltip(slot, look.tooltip);
}

// Hands one slot to the taskbar entry and lets go of its icon (the entry keeps its own).
void SendSlot(ThumbButton& slot) {
  SetThumbButton(WinMain, slot.id, slot.icon, slot.tooltip);
  if (slot.icon) FreeImage(slot.icon);
  slot.icon = 0;
}

void UpdateMuteButton() {
  FillSlot(gThumbButtons[0], 1, MuteLook(gSettings.muted.load()));
  SendSlot(gThumbButtons[0]);
  SetTaskbarMuted(gSettings.muted.load() != 0);
}

void UpdateModeButton() {
  FillSlot(gThumbButtons[0], 2, ModeLook(gSettings.preset.load()));
  SendSlot(gThumbButtons[0]);
}

// The media player's now-playing data: the title on air and its artwork.
void NowPlayingForTaskbar(std::string* artist, std::string* title, std::string* artUrl) {
  // The media controls' status has no word for it (it stays Playing or Paused): while the
  // player waits to reconnect, the title says so.
  if (PlaybackReconnecting()) {
    artist->clear();
    *title = kReconnectingText;
    artUrl->clear();
    return;
  }
  NowPlaying now = GetTrackInfo();
  *artist = now.artist;
  *title = now.title;
  std::string art;
  {
    std::lock_guard<std::mutex> lock(gTrackHistory.lock);
    // The newest history entry is the title on air once the stream information has it.
    if (!gTrackHistory.entries.empty()) {
      const TrackHistoryEntry& e = gTrackHistory.entries.front();
      if (e.artist == now.artist && e.title == now.title) art = e.artwork;
    }
  }
  // Only web addresses go out; anything else is not ours to hand to other programs.
  if (!(art.rfind("http://", 0) == 0 || art.rfind("https://", 0) == 0)) art.clear();
  *artUrl = art;
}

}  // namespace

void SetThumbTooltip(ThumbButton& slot, const std::string& text) {
  // The shell's buffer holds 260 UTF-16 units with the terminator; cut at a whole
  // character so the text stays valid UTF-8.
  size_t units = 0, i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    size_t u = len == 4 ? 2 : 1;
    if (units + u > kThumbTooltipUnits - 1 || i + len > text.size()) break;
    units += u;
    i += len;
  }
  slot.tooltip.assign(text, 0, i);
}

int IconFromImage(int image) {
  if (image == 0 || !IsImage(image)) return 0;
  // The system icon size: 32 pixels at 96 DPI, scaled with the primary screen.
  int size = std::max(16, UiRound(32 * SystemScale()));
  int icon = CreateImage(ImageAny, size, size, 32, 0);
  if (!icon) return 0;
  if (!StartDrawingImage(icon)) {
    FreeImage(icon);
    return 0;
  }
  ClearBox(0, 0, size, size);
  DrawImageCopy(image, 0, 0, size, size);
  StopDrawing();
  return icon;
}

int TaskbarProgressFor(int64_t connecting, int64_t muted) {
  if (connecting) return ProgressError;
  if (muted) return ProgressNormal;
  return ProgressNone;
}

int UpdateTaskbarProgress() {
  int state = TaskbarProgressFor(gPlayer.connecting.load(), gSettings.muted.load());
  if (state == ProgressNone) return SetTaskbarProgress(WinMain, ProgressNone, 0, 0);
  return SetTaskbarProgress(WinMain, state, 100, 100);
}

int BuildTaskbarButtons() {
  if (!TaskbarEntryConnected()) return 0;
  SetTaskbarMetadataSource(NowPlayingForTaskbar);
  FillSlot(gThumbButtons[0], 1, MuteLook(gSettings.muted.load()));
  FillSlot(gThumbButtons[1], 2, ModeLook(gSettings.preset.load()));
  SendSlot(gThumbButtons[0]);
  SendSlot(gThumbButtons[1]);
  SetTaskbarMuted(gSettings.muted.load() != 0);
  // A restarted bus has forgotten the progress as well.
  UpdateTaskbarProgress();
  return 1;
}

void ReleaseTaskbarButtons() {
  for (ThumbButton& slot : gThumbButtons) {
    if (slot.icon) FreeImage(slot.icon);
    slot = ThumbButton();
  }
  SetTaskbarMetadataSource(nullptr);
}

void TaskbarButtonClicked(int id) {
  if (id == 1)
    PostEvent(EventMenu, WinMain, MenuMute);
  else if (id == 2)
    PostEvent(EventMenu, WinMain, MenuNextVolumeMode);
}

int ApplyMute() {
  int64_t muted = gSettings.muted.load();
  // SetVolume slides to silence while muted is set and to the factor otherwise.
  SetVolume(gPlayer.volume.load(), 100);
  if (gSettings.trayIcon.load()) ChangeTrayImage(muted ? gApp.trayImageMuted : gApp.trayImageNormal);
  if (IsMenu(kTrayMenu)) SetMenuItemState(kTrayMenu, MenuMute, muted != 0);
  UpdateMuteButton();
  PostEvent(EventTaskbarState, WinMain, 0);
  return 1;
}

int ApplyVolumeMode() {
  int64_t wasMuted = gSettings.muted.load();
  int64_t preset = gSettings.preset.load();
  bool isPreset = preset == VolumePreset1 || preset == VolumePreset2;
  if (!isPreset) gSettings.preset = VolumeAuto;
  float factor = SettingsVolumeFactor();
  gSettings.muted = 0;
  gPlayer.volume = factor;
  // Minus, plus and the slider of the preferences only mean something for a preset.
  RefreshPrefsVolumeMode();
  SetVolume(factor, 100);
  BuildTrayMenu(kCreateMenu);
  UpdateModeButton();
  if (wasMuted) {
    // The mode unmuted the stream: the tray image and the mute button say so too.
    if (gSettings.trayIcon.load()) ChangeTrayImage(gApp.trayImageNormal);
    UpdateMuteButton();
  } else {
    SetTaskbarMuted(0);
  }
  PostEvent(EventTaskbarState, WinMain, 0);
  return 1;
}

int ToggleMute() {
  gSettings.muted = gSettings.muted.load() == 0 ? 1 : 0;
  return ApplyMute();
}
