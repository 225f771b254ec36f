// The preferences window (window 4): the volume of the two presets with a
// slider, the wheel and plus/minus in half-decibel steps, the volume mode, the
// next stream, six options, a manual version check and the debug log. Every
// control is a canvas painted from the skin images, so hover, normal and
// disabled are separate pictures. Main thread only; every change goes straight
// into Settings or PlayerState.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "runtime/runtime.h"
#include "ui/ui.h"

PrefsWindowState gPrefsWindow;

namespace {


// Client area: a 2-pixel margin round 284 x 324.
constexpr double kInnerWidth = 284, kInnerHeight = 324, kMargin = 2;

struct ControlPlace {
  int gadget;
  double x, y, width, height;
};

// Every control at scale 1. The heading and the readout would share (6, 10, 72,
// 16); the heading moves up and the readout sits right under it, above the
// slider.
constexpr ControlPlace kPlaces[] = {
    {PrefsLabels, 128, 54, 144, 228},
    {PrefsHeading, 6, 2, 72, 16},
    {PrefsReadout, 6, 18, 72, 16},
    {PrefsSlider, 28, 36, 34, 170},
    {PrefsMinus, 16, 254, 24, 24},
    {PrefsPlus, 52, 254, 24, 24},
    {PrefsMode, 6, 214, 80, 30},
    {PrefsCheckUpdates, 100, 54, 24, 24},
    {PrefsUpdate, 202, 10, 80, 30},
    {PrefsDebug, 202, 288, 80, 30},
    {PrefsCheckStreamInfo, 100, 94, 24, 24},
    {PrefsCheckArtwork, 100, 134, 24, 24},
    {PrefsCheckOnTop, 100, 174, 24, 24},
    {PrefsCheckTray, 100, 214, 24, 24},
    {PrefsCheckHotkey, 100, 254, 24, 24},
    {PrefsStream, 100, 10, 80, 30},
};

const char* const kLabels[] = {"Check For Updates", "Get StreamInfo", "Get Artwork",
                               "Stay On Top",       "Trayicon",       "Global mute"};

// Skin images: file name, logical size. The cache key is "prefs_" + file name.
struct SkinPart {
  const char* file;
  int width, height;
};
constexpr SkinPart kSkinParts[] = {
    {"ui_checkmark_set", 24, 24},
    {"ui_checkmark_unset", 24, 24},
    {"ui_checkmark_hover_set", 24, 24},
    {"ui_checkmark_hover_unset", 24, 24},
    {"ui_checkmark_disabled_set", 24, 24},
    {"ui_checkmark_disabled_unset", 24, 24},
    {"ui_minusbutton_normal", 24, 24},
    {"ui_minusbutton_hover", 24, 24},
    {"ui_minusbutton_disabled", 24, 24},
    {"ui_plusbutton_normal", 24, 24},
    {"ui_plusbutton_hover", 24, 24},
    {"ui_plusbutton_disabled", 24, 24},
    {"ui_volumeslider_background", 34, 170},
    {"ui_volumeslider_normal", 34, 170},
    {"ui_volumeslider_hover", 34, 170},
    {"ui_volumeslider_disabled", 34, 170},
    {"ui_genericbutton_normal", 80, 30},
    {"ui_genericbutton_hover", 80, 30},
};

int Scaled(double v) { return UiRound(v * gApp.prefsScale); }

// The scaled skin image, loaded at the window's scale by the last relayout.
int Skin(const std::string& file) {
  for (const SkinPart& part : kSkinParts)
    if (file == part.file) return GetSkinImage(file, "prefs_" + file, Scaled(part.width), Scaled(part.height));
  return 0;
}

std::atomic<int64_t>* CheckField(int gadget) {
  switch (gadget) {
    case PrefsCheckUpdates:
      return &gSettings.versionCheck;
    case PrefsCheckStreamInfo:
      return &gSettings.streamInfo;
    case PrefsCheckArtwork:
      return &gSettings.artwork;
    case PrefsCheckOnTop:
      return &gSettings.mainSticky;
    case PrefsCheckTray:
      return &gSettings.trayIcon;
    case PrefsCheckHotkey:
      return &gSettings.hotkey;
    default:
      return nullptr;
  }
}

// The stream-information options mean nothing while a command-line URL replaces
// the station's streams: they show their disabled pictures and take no clicks.
int CheckInert(int gadget) {
  if (gadget != PrefsCheckStreamInfo && gadget != PrefsCheckArtwork) return 0;
  return PlayerString(&PlayerState::customUrl).empty() ? 0 : 1;
}

void DrawCheckMark(int gadget, int hover) {
  std::atomic<int64_t>* field = CheckField(gadget);
  if (!field) return;
  std::string state = field->load() != 0 ? "set" : "unset";
  std::string look = CheckInert(gadget) ? "disabled_" : hover ? "hover_" : "";
  DrawCanvasImage(gadget, Skin("ui_checkmark_" + look + state));
}

// Repaints keep the hover picture of the control under the mouse: a full repaint (a
// worker's taskbar event after a click) must not show it plain while the mouse rests on it.
int Hovered(int gadget) { return gPrefsWindow.hovered == gadget ? 1 : 0; }

int VolumeControlsEnabled() {
  int64_t mode = gSettings.preset.load();
  return mode == 1 || mode == 2 ? 1 : 0;
}

void DrawSignButton(int gadget, int hover) {
  std::string name = gadget == PrefsPlus ? "ui_plusbutton_" : "ui_minusbutton_";
  std::string look = !VolumeControlsEnabled() ? "disabled" : hover ? "hover" : "normal";
  DrawCanvasImage(gadget, Skin(name + look));
}

void DrawButton(int gadget, int hover, const std::string& caption) {
  DrawImageButton(WinPrefs, gadget, Skin(hover ? "ui_genericbutton_hover" : "ui_genericbutton_normal"),
                  gPrefsWindow.font, kColorText, caption);
}

std::string StreamCaption() {
  size_t position = 0;
  StreamEntry entry;
  CurrentStreamEntry(entry, &position);
  return "Stream " + std::to_string(position + 1);
}

void DrawLabels() {
  if (!StartDrawingCanvas(WinPrefs, PrefsLabels)) return;
  DrawBox(0, 0, OutputWidth(), OutputHeight(), kColorBackground);
  DrawingFont(gPrefsWindow.font);
  int x = Scaled(2), y = Scaled(2), step = Scaled(40);
  for (const char* label : kLabels) {
    DrawTextAt(x, y, label, kColorText);
    y += step;
  }
  StopDrawing();
}

// Enables or disables the slider, plus and minus by the mode and paints plus
// and minus.
void ApplyVolumeControlState() {
  int disabled = VolumeControlsEnabled() ? 0 : 1;
  DisableGadget(WinPrefs, PrefsMinus, disabled);
  DisableGadget(WinPrefs, PrefsPlus, disabled);
  DisableGadget(WinPrefs, PrefsSlider, disabled);
  if (disabled) gPrefsWindow.sliderHover = 0;
  DrawSignButton(PrefsMinus, Hovered(PrefsMinus));
  DrawSignButton(PrefsPlus, Hovered(PrefsPlus));
}

// Stores a volume the user set into the preset of the current mode.
void StoreInPreset(float volume) {
  int64_t mode = gSettings.preset.load();
  if (mode == 1) gSettings.preset1.store(volume);
  if (mode == 2) gSettings.preset2.store(volume);
}

void SetPresetVolume(float volume) {
  SetVolume(volume, 100);
  // SetVolume clamps; the preset keeps what really plays.
  StoreInPreset(gPlayer.volume.load());
}

void ToggleCheck(int gadget) {
  std::atomic<int64_t>* field = CheckField(gadget);
  int on = field->load() == 0 ? 1 : 0;
  switch (gadget) {
    case PrefsCheckUpdates:
      field->store(on);
      // The tool answers later, through the event queue; the window never waits for it.
      VersionToolRegistration(on);
      break;
    case PrefsCheckStreamInfo:
    case PrefsCheckArtwork:
      field->store(on);
      if (on && !IsThread(gApp.streamInfoThread.load()))
        gApp.streamInfoThread.store(CreateThread(StreamInfoWorker, kStreamInfoThread));
      break;
    case PrefsCheckOnTop:
      field->store(on);
      StickyWindow(WinMain, on);
      ActivateWindowNumber(WinPrefs);
      break;
    case PrefsCheckTray:
      field->store(on);
      if (on) {
        BuildTrayMenu(1);
        if (IsWindow(WinMain)) AddTrayIcon();
      } else {
        RemoveTrayIcon();
      }
      break;
    case PrefsCheckHotkey:
      if (on) {
        // The field is 1 only when the key was really taken; RegisterMainHotkey
        // turns it off again and tells the user otherwise.
        field->store(1);
        RegisterMainHotkey();
      } else {
        UnregisterMainHotkey();
        field->store(0);
      }
      break;
    default:
      break;
  }
}

void CheckMarkEvent(int gadget, int type) {
  if (CheckInert(gadget)) return;
  switch (type) {
    case GadgetMouseEnter:
      DrawCheckMark(gadget, 1);
      break;
    case GadgetMouseLeave:
      DrawCheckMark(gadget, 0);
      break;
    case GadgetLeftClick:
      ToggleCheck(gadget);
      // A failed hotkey box may have closed the window meanwhile.
      if (IsWindow(WinPrefs)) DrawCheckMark(gadget, 1);
      break;
    default:
      break;
  }
}

void SliderEvent(int type, int mouseY, int notches) {
  if (IsGadgetDisabled(WinPrefs, PrefsSlider) || !VolumeControlsEnabled()) return;
  switch (type) {
    case GadgetMouseEnter:
      gPrefsWindow.sliderHover = 1;
      // The wheel goes to the slider only while it holds the focus.
      if (IsActiveWindow(WinPrefs)) SetActiveGadget(WinPrefs, PrefsSlider);
      SetVolume(gPlayer.volume.load(), 100);
      break;
    case GadgetMouseLeave:
      gPrefsWindow.sliderHover = 0;
      SetActiveGadget(WinPrefs, 0);
      SetVolume(gPlayer.volume.load(), 100);
      break;
    case GadgetLeftButtonDown:
    case GadgetMouseMove:
    case GadgetLeftClick:
      SetPresetVolume(DbToVolume(SliderDb(mouseY, GadgetHeight(WinPrefs, PrefsSlider))));
      break;
    case GadgetMouseWheel:
      if (notches != 0) SetPresetVolume(StepVolume(gPlayer.volume.load(), notches * 0.5));
      break;
    default:
      break;
  }
}

void SignButtonEvent(int gadget, int type) {
  if (IsGadgetDisabled(WinPrefs, gadget) || !VolumeControlsEnabled()) return;
  switch (type) {
    case GadgetMouseEnter:
      DrawSignButton(gadget, 1);
      break;
    case GadgetMouseLeave:
      DrawSignButton(gadget, 0);
      break;
    case GadgetLeftClick:
      SetPresetVolume(StepVolume(gPlayer.volume.load(), gadget == PrefsPlus ? 0.5 : -0.5));
      break;
    default:
      break;
  }
}

void ModeEvent(int type) {
  switch (type) {
    case GadgetMouseEnter:
    case GadgetMouseLeave:
      DrawButton(PrefsMode, type == GadgetMouseEnter, ModeCaption(gSettings.preset.load()));
      break;
    case GadgetLeftClick:
      gSettings.preset.store(NextVolumeMode(gSettings.preset.load()));
      // Unmutes, sets the volume of the mode, enables or disables the volume
      // controls here, and refreshes the tray menu and the taskbar button.
      ApplyVolumeMode();
      if (!IsWindow(WinPrefs)) break;
      ApplyVolumeControlState();
      DrawButton(PrefsMode, 1, ModeCaption(gSettings.preset.load()));
      break;
    default:
      break;
  }
}

void UpdateEvent(int type) {
  switch (type) {
    case GadgetMouseEnter:
    case GadgetMouseLeave:
      DrawButton(PrefsUpdate, type == GadgetMouseEnter, "Update");
      break;
    case GadgetLeftClick:
      if (IsThread(gApp.versionCheckThread.load())) {
        MessageBoxAsync("Corvale Player Downloader",
                        "Version check is run as a background task,\r\nit seems "
                        "a previous check is still in "
                        "progress.",
                        MbIconInformation, WinPrefs);
      } else if (StartManualVersionCheck()) {
        MessageBoxAsync("Corvale Player Downloader",
                        "Version check is run as a background task,\r\nit may "
                        "take a minute for the result to be "
                        "shown.",
                        MbIconInformation, WinPrefs);
      }
      break;
    default:
      break;
  }
}

void DebugEvent(int type) {
  switch (type) {
    case GadgetMouseEnter:
    case GadgetMouseLeave:
      DrawButton(PrefsDebug, type == GadgetMouseEnter, "Debug");
      break;
    case GadgetLeftClick:
      OpenDebugLogWindow(kOpenWindow, kRelayout, kNoCopy);
      break;
    default:
      break;
  }
}

void StreamEvent(int type) {
  switch (type) {
    case GadgetMouseEnter:
    case GadgetMouseLeave:
      DrawButton(PrefsStream, type == GadgetMouseEnter, StreamCaption());
      break;
    case GadgetLeftClick: {
      size_t position = 0;
      StreamEntry entry;
      CurrentStreamEntry(entry, &position);
      size_t count = StreamListSize();
      // Stops the stream, keeps codec and bitrate of the entry left, clears the
      // connect count and starts the worker on the next entry.
      NextStreamCommand();
      if (IsWindow(WinPrefs)) DrawButton(PrefsStream, 1, NextStreamCaption(position, count));
      break;
    }
    default:
      break;
  }
}

void ClosePrefsWindow() {
  SetVolumeDisplay(nullptr);
  if (IsWindow(WinPrefs)) CloseWindow(WinPrefs);
  FreeFont(gPrefsWindow.font);
  gPrefsWindow.font = 0;
  if (IsImage(kPrefsSliderImage)) FreeImage(kPrefsSliderImage);
  gPrefsWindow.sliderHover = 0;
  gPrefsWindow.hovered = 0;
}

const ToolWindow kPrefsTool = {
    .window = WinPrefs,
    .caption = "Corvale Player Preferences",
    .options = ToolOwnSize,
    .scale = &gApp.prefsScale,
    .storedX = &gSettings.prefsX,
    .storedY = &gSettings.prefsY,
    .clientSize =
        [](float s, int* w, int* h) {
          *w = PrefsClientWidth(s);
          *h = PrefsClientHeight(s);
        },
    .callback = PrefsWindowCallback,
    .shortcuts = {},
    .relayout = [] { OpenPrefsWindow(kOpenWindow, kRelayout); },
};

int CreatePrefsWindow() {
  if (!OpenToolWindow(kPrefsTool)) return 0;
  for (const ControlPlace& c : kPlaces) {
    CanvasGadget(WinPrefs, c.gadget, 0, 0, 1, 1, c.gadget == PrefsSlider ? 1 : 0);
    if (c.gadget == PrefsLabels || c.gadget == PrefsHeading || c.gadget == PrefsReadout)
      DisableGadget(WinPrefs, c.gadget, 1);
    else
      SetGadgetCursor(WinPrefs, c.gadget, CursorHand);
  }
  SetVolumeDisplay(ShowPrefsVolume);
  return 1;
}

void RelayoutPrefsWindow() {
  float s = gApp.prefsScale;
  if (Logging()) Log("Prefs DPI scale = " + FormatScale(s));
  for (const SkinPart& part : kSkinParts) Skin(part.file);
  CreateImage(kPrefsSliderImage, Scaled(34), Scaled(170), 32, 0);

  for (const ControlPlace& c : kPlaces)
    ResizeGadget(WinPrefs, c.gadget, Scaled(c.x), Scaled(c.y), Scaled(c.width), Scaled(c.height));
  FreeFont(gPrefsWindow.font);
  gPrefsWindow.font = CreateUiFont("Source Sans Pro", float(UiRound(12 * s)));

  DrawLabels();
  DrawTextLabel(PrefsHeading, gPrefsWindow.font, kColorText, "Volume");
  ApplyVolumeControlState();
  ShowPrefsVolume(gPlayer.volume.load());
  DrawButton(PrefsMode, Hovered(PrefsMode), ModeCaption(gSettings.preset.load()));
  for (int gadget :
       {PrefsCheckUpdates, PrefsCheckStreamInfo, PrefsCheckArtwork, PrefsCheckOnTop, PrefsCheckTray, PrefsCheckHotkey})
    DrawCheckMark(gadget, Hovered(gadget));
  DrawButton(PrefsUpdate, Hovered(PrefsUpdate), "Update");
  DrawButton(PrefsDebug, Hovered(PrefsDebug), "Debug");
  DrawButton(PrefsStream, Hovered(PrefsStream), StreamCaption());
  ShowWindowNoActivate(WinPrefs);
}

}  // namespace

// --- Arithmetic of the volume controls
// -------------------------------------------------------

double VolumeToDb(float volume) { return 20.0 * std::log10(double(volume)); }

float DbToVolume(double db) { return float(std::pow(10.0, db / 20.0)); }

float StepVolume(float volume, double stepDb) {
  double db = VolumeToDb(volume);
  // A silent or out-of-range volume starts from the nearest end of the scale.
  if (!(db >= kPrefsMinDb)) db = kPrefsMinDb;
  if (db > kPrefsMaxDb) db = kPrefsMaxDb;
  db += stepDb;
  if (db > kPrefsMaxDb) db = kPrefsMaxDb;
  if (db < kPrefsMinDb) db = kPrefsMinDb;
  db = std::round(2.0 * db) / 2.0;
  return DbToVolume(db);
}

double SliderDb(int mouseY, int sliderHeight) {
  if (sliderHeight <= 0) return kPrefsMaxDb;
  double db = -double(mouseY) / (double(sliderHeight) / 40.0);
  return std::clamp(db, kPrefsMinDb, kPrefsMaxDb);
}

int SliderLevelPosition(float volume, int sliderHeight) {
  double db = VolumeToDb(volume);
  if (!(db >= kPrefsMinDb)) db = kPrefsMinDb;  // silence (and NaN) leaves the slider empty
  if (db > kPrefsMaxDb) db = kPrefsMaxDb;
  return std::clamp(UiRound(-db * (double(sliderHeight) / 40.0)), 0, std::max(sliderHeight, 0));
}

std::string ModeCaption(int64_t mode) {
  if (mode == 1) return "Preset 1";
  if (mode == 2) return "Preset 2";
  return "Auto";
}

std::string NextStreamCaption(size_t position, size_t count) {
  if (count == 0 || position + 1 >= count) return "Stream 1";
  return "Stream " + std::to_string(position + 2);
}

int PrefsClientWidth(float s) { return UiRound(kMargin * s) + UiRound(kInnerWidth * s) + UiRound(kMargin * s); }
int PrefsClientHeight(float s) { return UiRound(kMargin * s) + UiRound(kInnerHeight * s) + UiRound(kMargin * s); }

// --- Painting
// ---------------------------------------------------------------------------------

void DrawCanvasImage(int gadget, int image) {
  if (!image || !IsImage(image)) return;
  if (!StartDrawingCanvas(WinPrefs, gadget)) return;
  DrawBox(0, 0, OutputWidth(), OutputHeight(), kColorBackground);
  DrawImageBlend(image, 0, 0);
  StopDrawing();
}

void DrawTextLabel(int gadget, int font, uint32_t textColour, const std::string& text) {
  if (!StartDrawingCanvas(WinPrefs, gadget)) return;
  int w = OutputWidth(), h = OutputHeight();
  DrawBox(0, 0, w, h, kColorBackground);
  DrawingFont(font);
  DrawTextRect(0, 0, w, h, text, TextSingleLine | TextCenter | TextVCenter | TextNoPrefix, textColour);
  StopDrawing();
}

void DrawVolumeSlider(int levelImage, int position) {
  int background = Skin("ui_volumeslider_background");
  if (!levelImage || !IsImage(levelImage) || !IsImage(kPrefsSliderImage)) return;
  int w = ImageWidth(kPrefsSliderImage), h = ImageHeight(kPrefsSliderImage);
  position = std::clamp(position, 0, h);
  // The level picture with its alpha, the rows above the level made
  // transparent.
  if (!StartDrawingImage(kPrefsSliderImage)) return;
  ClearBox(0, 0, w, h);
  DrawImageCopy(levelImage, 0, 0);
  if (position > 0) ClearBox(0, 0, w, position);
  StopDrawing();
  if (!StartDrawingCanvas(WinPrefs, PrefsSlider)) return;
  DrawBox(0, 0, OutputWidth(), OutputHeight(), kColorBackground);
  if (background && IsImage(background)) DrawImageBlend(background, 0, 0);
  DrawImageBlend(kPrefsSliderImage, 0, 0);
  StopDrawing();
}

void ShowPrefsVolume(float level) {
  // Workers set the volume too; the window is drawn by the main thread alone,
  // and the refresh after the worker's EventTaskbarState shows their value.
  if (!OnCoreMainThread() || !IsWindow(WinPrefs)) return;
  DrawTextLabel(PrefsReadout, gPrefsWindow.font, kColorText, FormatFixed(LevelDb(level), 2) + " dB");
  std::string look = !VolumeControlsEnabled() ? "disabled" : gPrefsWindow.sliderHover ? "hover" : "normal";
  DrawVolumeSlider(Skin("ui_volumeslider_" + look), SliderLevelPosition(level, GadgetHeight(WinPrefs, PrefsSlider)));
}

// --- Open, close, events
// ------------------------------------------------------------------------

int OpenPrefsWindow(int open, int relayout) {
  if (!open) {
    ClosePrefsWindow();
    return 1;
  }
  if (!IsWindow(WinPrefs)) {
    if (!CreatePrefsWindow()) return 0;
    relayout = 1;
  }
  if (relayout) RelayoutPrefsWindow();
  return 1;
}

void RefreshPrefsVolumeMode() {
  if (!IsWindow(WinPrefs)) return;
  ApplyVolumeControlState();
  DrawButton(PrefsMode, Hovered(PrefsMode), ModeCaption(gSettings.preset.load()));
  ShowPrefsVolume(gPlayer.volume.load());
}

void PrefsGadgetEvent(int gadget, int type, int mouseY, int data) {
  if (!IsWindow(WinPrefs)) return;
  // The controls cover the window: a right click on one is the window's right click.
  if (type == GadgetRightClick) {
    ShowTrayMenu();
    return;
  }
  if (type == GadgetMouseEnter) gPrefsWindow.hovered = gadget;
  if (type == GadgetMouseLeave && gPrefsWindow.hovered == gadget) gPrefsWindow.hovered = 0;
  switch (gadget) {
    case PrefsCheckUpdates:
    case PrefsCheckStreamInfo:
    case PrefsCheckArtwork:
    case PrefsCheckOnTop:
    case PrefsCheckTray:
    case PrefsCheckHotkey:
      CheckMarkEvent(gadget, type);
      break;
    case PrefsSlider:
      SliderEvent(type, mouseY, data);
      break;
    case PrefsPlus:
    case PrefsMinus:
      SignButtonEvent(gadget, type);
      break;
    case PrefsMode:
      ModeEvent(type);
      break;
    case PrefsUpdate:
      UpdateEvent(type);
      break;
    case PrefsDebug:
      DebugEvent(type);
      break;
    case PrefsStream:
      StreamEvent(type);
      break;
    default:
      break;
  }
}

int PrefsWindowCallback(const WindowMessage& m) { return ToolWindowMessage(kPrefsTool, m); }
