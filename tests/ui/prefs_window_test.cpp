// The preferences window: the arithmetic of its volume controls, and the window
// itself on the offscreen platform driven through the event loop's dispatcher.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <string>
#include <vector>

#include "data/data.h"
#include "playback/playback.h"
#include "ui/ui.h"
#include "test_files.h"
#include "ui_test_support.h"

namespace {

// --- Arithmetic
// ---------------------------------------------------------------------------------

struct StepCase {
  const char* name;
  float volume;
  double step;
  double expectedDb;
};

// Catches a step that does not round to the half decibel, a ceiling or floor
// that lets the volume leave -40 ... 0 dB, or a wheel that counts notches
// wrongly.
TEST(PrefsArithmetic, StepsRoundToHalfDecibelsWithinTheScale) {
  const StepCase cases[] = {
      {"plus from 0.5 (-6.02 dB)", 0.5f, 0.5, -5.5},
      {"minus from 0.5", 0.5f, -0.5, -6.5},
      {"minus at the floor", 0.01f, -0.5, -40.0},
      {"plus at the ceiling", 1.0f, 0.5, 0.0},
      {"three notches up from -10.3 dB", float(std::pow(10.0, -10.3 / 20)), 1.5, -9.0},
      {"three notches down near the floor", float(std::pow(10.0, -39.2 / 20)), -1.5, -40.0},
      {"two notches up near the ceiling", float(std::pow(10.0, -0.7 / 20)), 1.0, 0.0},
      {"plus from silence starts at the floor", 0.0f, 0.5, -39.5},
  };
  for (const StepCase& c : cases) {
    float v = StepVolume(c.volume, c.step);
    EXPECT_NEAR(VolumeToDb(v), c.expectedDb, 1e-4) << c.name;
  }
  EXPECT_NEAR(StepVolume(0.5f, 0.5), 0.531, 0.0005);
  EXPECT_FLOAT_EQ(StepVolume(0.01f, -0.5), 0.01f);
  EXPECT_FLOAT_EQ(StepVolume(1.0f, 0.5), 1.0f);
}

// Catches a slider upside down, scaled to the wrong height, or not clamped when
// the mouse is dragged outside the control.
TEST(PrefsArithmetic, SliderMapsTopToZeroAndBottomToMinusForty) {
  struct {
    int y, height;
    double db;
  } cases[] = {{0, 170, 0.0},     {170, 170, -40.0}, {85, 170, -20.0}, {-30, 170, 0.0},
               {400, 170, -40.0}, {255, 255, -40.0}, {51, 255, -8.0},  {5, 0, 0.0}};
  for (auto& c : cases) EXPECT_DOUBLE_EQ(SliderDb(c.y, c.height), c.db) << c.y << " of " << c.height;
  EXPECT_FLOAT_EQ(DbToVolume(SliderDb(-30, 170)), 1.0f);
}

// Catches the level drawn from the wrong end or past the control.
TEST(PrefsArithmetic, SliderLevelPosition) {
  EXPECT_EQ(SliderLevelPosition(1.0f, 170), 0);
  EXPECT_EQ(SliderLevelPosition(0.01f, 170), 170);
  EXPECT_EQ(SliderLevelPosition(0.1f, 170), 85);
  EXPECT_EQ(SliderLevelPosition(0.0f, 170), 170);
  EXPECT_EQ(SliderLevelPosition(0.001f, 170), 170);
  EXPECT_EQ(SliderLevelPosition(0.5f, 255), 38);  // 6.02 dB of 6.375 rows each
}

// Catches the stream button not wrapping after the last stream, and wrong mode
// captions.
TEST(PrefsArithmetic, Captions) {
  EXPECT_EQ(NextStreamCaption(2, 3), "Stream 1");
  EXPECT_EQ(NextStreamCaption(0, 3), "Stream 2");
  EXPECT_EQ(NextStreamCaption(1, 3), "Stream 3");
  EXPECT_EQ(NextStreamCaption(0, 1), "Stream 1");
  EXPECT_EQ(NextStreamCaption(0, 0), "Stream 1");
  EXPECT_EQ(ModeCaption(0), "Auto");
  EXPECT_EQ(ModeCaption(1), "Preset 1");
  EXPECT_EQ(ModeCaption(2), "Preset 2");
  EXPECT_EQ(ModeCaption(7), "Auto");
  EXPECT_EQ(PrefsClientWidth(1.0f), 288);
  EXPECT_EQ(PrefsClientHeight(1.0f), 328);
  EXPECT_EQ(PrefsClientWidth(1.5f), 432);
  EXPECT_EQ(PrefsClientHeight(1.5f), 492);
}

// --- The window
// -----------------------------------------------------------------------------------

class PrefsWindow : public PlayerEnv {
 protected:
  void SetUp() override {
    UiTestRuntime();
    SetCoreMainThread();
    gSettings.trayIcon = 0;
    folder_ = (std::filesystem::temp_directory_path() / ("corvale-prefs-" + std::to_string(getpid()))).string() + "/";
    std::filesystem::create_directories(folder_);
    savedUser_ = gApp.userFolder;
    gApp.userFolder = folder_;
    Drain();
  }
  void TearDown() override {
    OpenPrefsWindow(0, 0);
    if (IsWindow(WinMain)) CloseWindow(WinMain);
    if (IsMenu(kTrayMenu)) FreeMenu(kTrayMenu);
    gApp.userFolder = savedUser_;
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
    Drain();
  }
  // The loop's share: every queued event goes through the real dispatcher.
  void Drain() {
    for (int i = 0; i < 200; ++i) {
      int kind = WaitWindowEvent(0);
      if (!kind) break;
      DispatchEvent(kind, EventWindow(), EventObject(), EventType());
    }
  }
  void Open() {
    DispatchEvent(EventMenu, WinMain, 11, 0);
    ASSERT_EQ(IsWindow(WinPrefs), 1);
    Drain();
  }
  void Click(int gadget) { DispatchEvent(EventGadget, WinPrefs, gadget, GadgetLeftClick); }
  // Alpha of the slider's work image in its middle column.
  int SliderAlpha(int row) {
    return int(GetImagePixel(kPrefsSliderImage, ImageWidth(kPrefsSliderImage) / 2, row) >> 24);
  }

  std::string folder_, savedUser_;
};

// Catches menu command 11 not opening the window, a wrong size or title,
// controls out of place (the readout hidden under the heading), or the
// display-only controls taking input.
TEST_F(PrefsWindow, OpensFromMenuCommandElevenWithTheLayout) {
  Open();
  EXPECT_EQ(GetWindowTitle(WinPrefs), "Corvale Player Preferences");
  EXPECT_EQ(WindowClientWidth(WinPrefs), 288);
  EXPECT_EQ(WindowClientHeight(WinPrefs), 328);
  struct {
    int gadget, x, y, w, h;
  } places[] = {{PrefsSlider, 28, 36, 34, 170},   {PrefsMode, 6, 214, 80, 30},          {PrefsMinus, 16, 254, 24, 24},
                {PrefsPlus, 52, 254, 24, 24},     {PrefsStream, 100, 10, 80, 30},       {PrefsUpdate, 202, 10, 80, 30},
                {PrefsLabels, 128, 54, 144, 228}, {PrefsCheckHotkey, 100, 254, 24, 24}, {PrefsDebug, 202, 288, 80, 30}};
  for (auto& p : places) {
    EXPECT_EQ(GadgetX(WinPrefs, p.gadget), p.x) << p.gadget;
    EXPECT_EQ(GadgetY(WinPrefs, p.gadget), p.y) << p.gadget;
    EXPECT_EQ(GadgetWidth(WinPrefs, p.gadget), p.w) << p.gadget;
    EXPECT_EQ(GadgetHeight(WinPrefs, p.gadget), p.h) << p.gadget;
  }
  // The readout lies right under the heading, not on it, and above the slider.
  EXPECT_GE(GadgetY(WinPrefs, PrefsReadout), GadgetY(WinPrefs, PrefsHeading) + GadgetHeight(WinPrefs, PrefsHeading));
  EXPECT_LE(GadgetY(WinPrefs, PrefsReadout) + GadgetHeight(WinPrefs, PrefsReadout), GadgetY(WinPrefs, PrefsSlider));
  for (int g : {PrefsLabels, PrefsHeading, PrefsReadout}) EXPECT_EQ(IsGadgetDisabled(WinPrefs, g), 1) << g;
  EXPECT_EQ(IsGadgetDisabled(WinPrefs, PrefsSlider),
            0);  // preset 1 is the default mode
  EXPECT_EQ(ImageWidth(kPrefsSliderImage), 34);
  EXPECT_EQ(ImageHeight(kPrefsSliderImage), 170);
  EXPECT_EQ(ImageDepth(kPrefsSliderImage), 32);
  // The button face is painted from the skin (not left white or black).
  int shot = GrabWindowImage(WinPrefs, ImageAny);
  ASSERT_NE(shot, 0);
  uint32_t face = GetImagePixel(shot, 6 + 40, 214 + 4) & 0xFFFFFF;
  EXPECT_NE(face, 0xFFFFFFu);
  EXPECT_NE(face, 0x000000u);
  EXPECT_NE(face, kColorBackground);
  FreeImage(shot);
}

// Catches the 0.5 -> -5.5 dB step not reaching the volume or preset 1, minus
// passing the floor, and SetVolume not repainting the slider of the open
// window.
TEST_F(PrefsWindow, PlusAndMinusStepAndStoreInThePreset) {
  gSettings.preset = 1;
  gSettings.preset1 = 0.5f;
  gPlayer.volume = 0.5f;
  Open();
  Click(PrefsPlus);
  EXPECT_NEAR(VolumeToDb(gPlayer.volume.load()), -5.5, 1e-4);
  EXPECT_NEAR(gSettings.preset1.load(), 0.531f, 0.0005f);
  EXPECT_FLOAT_EQ(gSettings.preset2.load(),
                  0.5f);  // the other preset is left alone
  // -5.5 dB leaves round(5.5 * 170 / 40) = 23 rows empty.
  EXPECT_EQ(SliderAlpha(21), 0);
  EXPECT_GT(SliderAlpha(26), 0);

  gSettings.preset = 2;
  gSettings.preset2 = 0.01f;
  gPlayer.volume = 0.01f;
  Click(PrefsMinus);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 0.01f);
  EXPECT_FLOAT_EQ(gSettings.preset2.load(), 0.01f);

  // A volume set elsewhere repaints the slider: -20 dB empties the top half.
  SetVolume(0.1f, 100);
  EXPECT_EQ(SliderAlpha(80), 0);
  EXPECT_GT(SliderAlpha(90), 0);
}

// Catches the slider ignoring its top and bottom, not clamping a drag above it,
// not storing in the preset of the mode, and a wheel that is not rounded to
// half decibels.
TEST_F(PrefsWindow, SliderClicksDragAndWheel) {
  gSettings.preset = 2;
  gPlayer.volume = gSettings.preset2.load();
  Open();
  PrefsGadgetEvent(PrefsSlider, GadgetLeftButtonDown, 170, 0);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 0.01f);
  EXPECT_FLOAT_EQ(gSettings.preset2.load(), 0.01f);
  PrefsGadgetEvent(PrefsSlider, GadgetLeftClick, 0, 0);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 1.0f);
  PrefsGadgetEvent(PrefsSlider, GadgetMouseMove, 85, 0);
  EXPECT_NEAR(VolumeToDb(gSettings.preset2.load()), -20.0, 1e-4);
  PrefsGadgetEvent(PrefsSlider, GadgetMouseMove, -40, 0);
  EXPECT_FLOAT_EQ(gSettings.preset2.load(), 1.0f);
  EXPECT_FLOAT_EQ(gSettings.preset1.load(), 1.0f);  // untouched default

  gPlayer.volume = float(std::pow(10.0, -10.3 / 20));
  PrefsGadgetEvent(PrefsSlider, GadgetMouseWheel, 0, 3);
  EXPECT_NEAR(VolumeToDb(gPlayer.volume.load()), -9.0, 1e-4);
  EXPECT_NEAR(VolumeToDb(gSettings.preset2.load()), -9.0, 1e-4);
  PrefsGadgetEvent(PrefsSlider, GadgetMouseWheel, 0, -100);
  EXPECT_FLOAT_EQ(gSettings.preset2.load(), 0.01f);
}

// Catches Auto leaving the slider, plus and minus working (or drawn enabled),
// and the mode button not cycling Preset 1 -> Preset 2 -> Auto -> Preset 1 with
// the volume of each.
TEST_F(PrefsWindow, ModeButtonCyclesAndAutoLocksTheVolumeControls) {
  gSettings.preset = 1;
  gSettings.preset1 = 0.8f;
  gSettings.preset2 = 0.3f;
  gSettings.muted = 1;
  gPlayer.volume = 0.8f;
  Open();
  Click(PrefsMode);
  EXPECT_EQ(gSettings.preset.load(), 2);
  EXPECT_EQ(gSettings.muted.load(), 0);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 0.3f);
  Click(PrefsMode);
  EXPECT_EQ(gSettings.preset.load(), 0);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 1.0f);
  for (int g : {PrefsSlider, PrefsPlus, PrefsMinus}) EXPECT_EQ(IsGadgetDisabled(WinPrefs, g), 1) << g;
  // The tray menu follows.
  EXPECT_EQ(GetMenuItemState(kTrayMenu, 5), 1);
  // Auto: the slider ignores the mouse and shows the disabled level at 0 dB.
  PrefsGadgetEvent(PrefsSlider, GadgetLeftButtonDown, 150, 0);
  Click(PrefsMinus);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 1.0f);
  EXPECT_FLOAT_EQ(gSettings.preset1.load(), 0.8f);
  EXPECT_GT(SliderAlpha(2), 0);
  int disabled = SkinCacheLookup("prefs_ui_volumeslider_disabled");
  ASSERT_NE(disabled, 0);
  EXPECT_EQ(GetImagePixel(kPrefsSliderImage, 17, 100), GetImagePixel(disabled, 17, 100));
  Click(PrefsMode);
  EXPECT_EQ(gSettings.preset.load(), 1);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 0.8f);
  for (int g : {PrefsSlider, PrefsPlus, PrefsMinus}) EXPECT_EQ(IsGadgetDisabled(WinPrefs, g), 0) << g;
  // The tray's "Volume Auto" reaches the window's controls too.
  DispatchEvent(EventMenu, WinMain, 5, 0);
  EXPECT_EQ(IsGadgetDisabled(WinPrefs, PrefsSlider), 1);
}

// Catches check marks that do not toggle their field, the stream-information
// options taking clicks while a command-line URL is in use, and a failed hotkey
// left switched on.
TEST_F(PrefsWindow, CheckMarksToggleTheirSettings) {
  gSettings.versionCheck = 1;
  gSettings.streamInfo = 0;
  gSettings.artwork = 1;
  gSettings.trayIcon = 1;
  Open();
  Click(PrefsCheckUpdates);
  EXPECT_EQ(gSettings.versionCheck.load(), 0);
  Click(PrefsCheckArtwork);
  EXPECT_EQ(gSettings.artwork.load(), 0);
  Click(PrefsCheckTray);
  EXPECT_EQ(gSettings.trayIcon.load(), 0);
  Click(PrefsCheckTray);
  EXPECT_EQ(gSettings.trayIcon.load(), 1);
  EXPECT_EQ(IsMenu(kTrayMenu), 1);
  Click(PrefsCheckOnTop);
  EXPECT_EQ(gSettings.mainSticky.load(), 1);

  // With a custom URL the two stream-information options are inert and drawn
  // disabled.
  SetPlayerString(&PlayerState::customUrl, "http://127.0.0.1:9/stream");
  OpenPrefsWindow(1, 1);
  Click(PrefsCheckArtwork);
  Click(PrefsCheckStreamInfo);
  EXPECT_EQ(gSettings.artwork.load(), 0);
  EXPECT_EQ(gSettings.streamInfo.load(), 0);
  int shot = GrabWindowImage(WinPrefs, ImageAny);
  int look = SkinCacheLookup("prefs_ui_checkmark_disabled_unset");
  ASSERT_NE(look, 0);
  // The middle of the box shows the disabled face.
  EXPECT_EQ(GetImagePixel(shot, 100 + 12, 134 + 12) & 0xFFFFFF, GetImagePixel(look, 12, 12) & 0xFFFFFF);
  FreeImage(shot);

  // No X server here: the hotkey cannot be taken, the user is told and the
  // field stays 0.
  testing::internal::CaptureStderr();
  Click(PrefsCheckHotkey);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(gSettings.hotkey.load(), 0);
  EXPECT_NE(said.find("Unable to register global play/pause hotkey."), std::string::npos) << said;
}

// Catches the stream button not keeping codec and bitrate of the stream it leaves, or not
// starting the count of connection attempts afresh.
TEST_F(PrefsWindow, StreamButtonKeepsTheLeftStreamAndClearsTheCount) {
  std::vector<StreamEntry> list(3);
  for (int i = 0; i < 3; ++i) {
    list[i].id = std::to_string(i);
    list[i].url = "http://127.0.0.1:9/" + std::to_string(i);
    list[i].codec = i == 2 ? "opus" : "mp3";
    list[i].bitrate = 64000 * (i + 1);
  }
  SetStreamList(list);
  {
    std::lock_guard<std::mutex> lock(gStreamList.lock);
    gStreamList.current = 2;
  }
  gPlayer.connectCount = 7;
  // No connection attempt is started in this test.
  gPlayer.shutdown = 1;
  Open();
  Click(PrefsStream);
  gPlayer.shutdown = 0;
  EXPECT_EQ(gPlayer.connectCount.load(), 0);
  EXPECT_EQ(gSettings.GetCodec(), "opus");
  EXPECT_EQ(gSettings.bitrate.load(), 192000);
  SetStreamList({});
}

// Catches a click on the mode or the stream button that leaves it plain while the mouse
// still rests on it: the full repaint of the taskbar event that follows the click (the
// mode's own, or the connection worker's) drew every control with its normal picture.
TEST_F(PrefsWindow, ClickedButtonsKeepTheirHoverPicture) {
  SetStreamList(std::vector<StreamEntry>(2));
  gPlayer.shutdown = 1;  // the stream button starts no connection attempt here
  Open();
  auto pixel = [](int gadget) {
    int shot = GrabWindowImage(WinPrefs, ImageAny);
    uint32_t p = GetImagePixel(shot, GadgetX(WinPrefs, gadget) + 3, GadgetY(WinPrefs, gadget) + 3);
    FreeImage(shot);
    return p;
  };
  for (int gadget : {PrefsMode, PrefsStream}) {
    SCOPED_TRACE(gadget);
    DispatchEvent(EventGadget, WinPrefs, gadget, GadgetMouseEnter);
    uint32_t hover = pixel(gadget);
    Click(gadget);
    PostEvent(EventTaskbarState, WinMain, 0);  // as the worker does around an attempt
    Drain();
    EXPECT_EQ(pixel(gadget), hover);
    DispatchEvent(EventGadget, WinPrefs, gadget, GadgetMouseLeave);
    EXPECT_NE(pixel(gadget), hover);  // the pixel tells the two pictures apart
  }
  gPlayer.shutdown = 0;
  SetStreamList({});
}

// Catches closing without saving, or a saved file without the values set in the
// window.
TEST_F(PrefsWindow, ClosingSavesTheSettingsFile) {
  gSettings.preset = 1;
  gSettings.preset1 = 0.5f;
  gPlayer.volume = 0.5f;
  Open();
  Click(PrefsPlus);
  Click(PrefsCheckArtwork);
  PostEvent(EventCloseWindow, WinPrefs, 0);
  Drain();
  EXPECT_EQ(IsWindow(WinPrefs), 0);
  EXPECT_EQ(IsImage(kPrefsSliderImage), 0);
  auto doc = LoadJsonFile(folder_ + "settings.json");
  ASSERT_TRUE(doc) << testfiles::ReadFile(folder_ + "settings.json");
  const JsonValue* volume = GetJsonObject(&doc->root, "volume");
  EXPECT_NEAR(GetJsonFloat(volume, "preset1", 0), 0.531, 0.0005);
  EXPECT_EQ(GetJsonInteger(GetJsonObject(&doc->root, "player"), "artwork", -1), 0);
  // A volume change after closing no longer draws into the freed window.
  SetVolume(0.2f, 100);
  EXPECT_EQ(IsImage(kPrefsSliderImage), 0);
}

// Catches a DPI change that keeps the old size or lays the controls out
// unscaled.
TEST_F(PrefsWindow, DpiChangeRelaysOutAtOneAndAHalf) {
  Open();
  WindowMessage m;
  m.kind = MsgDpiChanged;
  m.window = WinPrefs;
  m.dpi = 144;
  m.x = 10;
  m.y = 20;
  m.width = 432;
  m.height = 492;
  PrefsWindowCallback(m);
  EXPECT_FLOAT_EQ(gApp.prefsScale, 1.5f);
  EXPECT_EQ(WindowClientWidth(WinPrefs), 432);
  EXPECT_EQ(WindowClientHeight(WinPrefs), 492);
  EXPECT_EQ(GadgetX(WinPrefs, PrefsSlider), 42);
  EXPECT_EQ(GadgetY(WinPrefs, PrefsSlider), 54);
  EXPECT_EQ(GadgetHeight(WinPrefs, PrefsSlider), 255);
  EXPECT_EQ(ImageHeight(kPrefsSliderImage), 255);
  EXPECT_EQ(ImageWidth(SkinCacheLookup("prefs_ui_genericbutton_normal")), 120);
  // The slider at scale 1.5: its bottom is still -40 dB.
  gSettings.preset = 1;
  RefreshPrefsVolumeMode();
  PrefsGadgetEvent(PrefsSlider, GadgetLeftButtonDown, 255, 0);
  EXPECT_FLOAT_EQ(gSettings.preset1.load(), 0.01f);
}

// Catches the window's right click or context-menu key not opening the shared
// menu owned by the main window, so that its commands would act on window 4.
TEST_F(PrefsWindow, MenuFromThePreferencesActsOnTheMainWindow) {
  ASSERT_EQ(OpenWindow(WinMain, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowInvisible), 1);
  gSettings.preset = 1;
  Open();
  ActivateWindowNumber(WinPrefs);
  BuildTrayMenu(1);
  DispatchEvent(EventRightClick, WinPrefs, 0, 0);
  ASSERT_EQ(ChooseMenuItem(kTrayMenu, WinMain, 7), 1);
  int kind = 0;
  for (int i = 0; i < 50 && kind != EventMenu; ++i) kind = WaitWindowEvent(5);
  ASSERT_EQ(kind, EventMenu);
  EXPECT_EQ(EventWindow(), WinMain);
  DispatchEvent(kind, EventWindow(), EventObject(), EventType());
  EXPECT_EQ(gSettings.preset.load(), 2);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 0.5f);
}

}  // namespace
