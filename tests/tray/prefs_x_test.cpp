// The preferences window on a real X server (Xvfb, started by the test): clicks
// sent by xdotool go through the event loop's dispatcher, the settings file is
// read back after the window is closed, and a right click on the docked tray
// icon while the preferences window is active acts on the main window. With
// CORVALE_SHOTS_DIR set, the window is also photographed in each volume mode.
// Skipped when the X tools are missing.
// Linux only: an X server started by the test with fork, input sent by xdotool.
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tray_support.h"

namespace {

using xtest::FindTrayIcon;
using xtest::Output;
using xtest::Spawn;
using xtest::Stop;

int MainCallback(const WindowMessage& m) {
  if (m.kind == MsgTaskbarCreated) {
    RecreateTrayIcon();
    return 1;
  }
  return 0;
}

int gMenuWindow = 0, gMenuCommand = 0;

// The loop's share of the work: every event goes through the real dispatcher.
void Pump(int rounds) {
  for (int i = 0; i < rounds; i++) {
    int kind = WaitWindowEvent(10);
    if (!kind) continue;
    if (kind == EventMenu) {
      gMenuWindow = EventWindow();
      gMenuCommand = EventObject();
    }
    DispatchEvent(kind, EventWindow(), EventObject(), EventType());
  }
}

class PrefsX : public xtest::XDisplayTest {
 protected:
  pid_t trayer = 0;
  std::string folder, savedUser;

  // False when the test is skipped or could not start (already reported).
  bool StartX(int dpi) {
    if (!StartDisplay({.tools = {"xdotool", "import", "trayer", "xwininfo"}, .dpi = dpi})) return false;
    StartMainWindow();
    return !HasFatalFailure();
  }
  // The player's folders and the invisible main window, as start-up has them.
  void StartMainWindow() {
    UseBuildData();
    folder = (std::filesystem::temp_directory_path() / ("corvale-prefsx-" + std::to_string(getpid()))).string() + "/";
    std::filesystem::create_directories(folder);
    savedUser = gApp.userFolder;
    gApp.userFolder = folder;
    gSettings.prefsX = 100;
    gSettings.prefsY = 100;
    ASSERT_EQ(OpenWindow(WinMain, 0, 0, 23, 128, "main", WindowInvisible), 1);
    SetWindowCallback(WinMain, MainCallback);
  }

  void TearDown() override {
    if (xvfb > 0) {
      OpenPrefsWindow(0, 0);
      RemoveTrayIcon();
      if (IsWindow(WinMain)) CloseWindow(WinMain);
      ClearSkinImageCache();
      gApp.userFolder = savedUser;
      std::error_code ec;
      std::filesystem::remove_all(folder, ec);
    }
    Stop(trayer);
    StopDisplay();
  }

  std::string PrefsWindowId() {
    for (int i = 0; i < 100; i++) {
      Pump(2);
      std::string id = Output("xdotool search --onlyvisible --name '^Corvale Player Preferences$'");
      if (!id.empty()) return id.substr(0, id.find('\n'));
    }
    return "";
  }

  // A left click at (x, y) in the window. The pointer leaves for the corner first (without
  // --sync: a synchronous move to where the pointer already is waits for a motion that never
  // comes), so the control sees the mouse enter.
  void ClickAt(const std::string& window, int x, int y) {
    Output("xdotool mousemove 0 0");
    Output("xdotool mousemove --window " + window + " --sync " + std::to_string(x) + " " + std::to_string(y) +
           " click 1");
    Pump(30);
  }
  // The centre of a control.
  void ClickControl(const std::string& window, int gadget) {
    ClickAt(window, GadgetX(WinPrefs, gadget) + GadgetWidth(WinPrefs, gadget) / 2,
            GadgetY(WinPrefs, gadget) + GadgetHeight(WinPrefs, gadget) / 2);
  }

  // What the X server shows of the window, saved when CORVALE_SHOTS_DIR is set.
  void Shot(const std::string& window, const std::string& name) {
    const char* dir = getenv("CORVALE_SHOTS_DIR");
    if (!dir || !*dir) return;
    Output("xdotool mousemove 0 0");
    Pump(30);
    Output("import -display " + display + " -window " + window + " " + std::string(dir) + "/" + name + ".png");
  }

  // How many of the program's windows are mapped (the menu adds one while it is open).
  int VisibleWindows() {
    std::string ids = Output("xdotool search --onlyvisible --classname test_tray");
    int n = 0;
    for (char c : ids)
      if (c == '\n') n++;
    return n;
  }

  void StartTrayer() {
    trayer = Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                    "--SetDockType", "true"});
    for (int i = 0; i < 500 && !SysTrayAvailable(); i++) Pump(1);
    ASSERT_EQ(SysTrayAvailable(), 1) << "the tray host did not come up";
  }

  // The centre of the docked icon (our small window inside the tray host's
  // panel).
  bool FindIcon(int* x, int* y) { return FindTrayIcon(display, [] { Pump(5); }, nullptr, x, y); }
};

// Catches clicks on the real window that do not reach the settings (plus, the
// mode button, the slider, a check mark), a close that does not write them to
// the file, and a tray menu opened while the preferences window is active whose
// command acts on window 4 instead of the main window.
TEST_F(PrefsX, ClicksReachTheSettingsFileAndTheTrayActsOnTheMainWindow) {
  if (!StartX(96)) return;
  gSettings.preset = 1;
  gSettings.preset1 = 0.5f;
  gSettings.preset2 = 0.5f;
  gSettings.artwork = 1;
  gSettings.trayIcon = 1;
  gPlayer.volume = 0.5f;
  StartTrayer();
  ASSERT_EQ(AddTrayIcon(), 1);
  BuildTrayMenu(1);

  // The tray's "Open Preferences" is menu command 11 of window 1.
  DispatchEvent(EventMenu, WinMain, 11, 0);
  std::string id = PrefsWindowId();
  ASSERT_FALSE(id.empty()) << "no visible preferences window";
  ASSERT_FLOAT_EQ(gApp.prefsScale, 1.0f);
  Shot(id, "prefs-preset1-scale1");

  ClickControl(id, PrefsPlus);
  for (int i = 0; i < 100 && gSettings.preset1.load() == 0.5f; i++) Pump(2);
  EXPECT_NEAR(gSettings.preset1.load(), 0.531f, 0.0005f);

  ClickControl(id, PrefsMode);
  for (int i = 0; i < 100 && gSettings.preset.load() != 2; i++) Pump(2);
  EXPECT_EQ(gSettings.preset.load(), 2);
  Shot(id, "prefs-preset2-scale1");

  // Half way down the slider: -20 dB.
  ClickAt(id, GadgetX(WinPrefs, PrefsSlider) + 17, GadgetY(WinPrefs, PrefsSlider) + 85);
  for (int i = 0; i < 100 && gSettings.preset2.load() == 0.5f; i++) Pump(2);
  EXPECT_NEAR(VolumeToDb(gSettings.preset2.load()), -20.0, 0.3);

  ClickControl(id, PrefsCheckArtwork);
  for (int i = 0; i < 100 && gSettings.artwork.load() != 0; i++) Pump(2);
  EXPECT_EQ(gSettings.artwork.load(), 0);

  ClickControl(id, PrefsMode);
  for (int i = 0; i < 100 && gSettings.preset.load() != 0; i++) Pump(2);
  EXPECT_EQ(gSettings.preset.load(), 0);
  EXPECT_EQ(IsGadgetDisabled(WinPrefs, PrefsSlider), 1);
  Shot(id, "prefs-auto-scale1");

  // The tray: a right click while the preferences window is active, then
  // "Volume Preset 1" from the menu with the keyboard.
  int ix = 0, iy = 0;
  ASSERT_TRUE(FindIcon(&ix, &iy));
  ActivateWindowNumber(WinPrefs);
  Pump(20);
  gMenuWindow = gMenuCommand = 0;
  int before = VisibleWindows();
  Output("xdotool mousemove 0 0 mousemove --sync " + std::to_string(ix) + " " + std::to_string(iy) + " click 3");
  // The menu is a new visible window of ours; the keys go to it once it is there.
  for (int i = 0; i < 100 && VisibleWindows() <= before; i++) Pump(5);
  ASSERT_GT(VisibleWindows(), before) << "no menu window appeared";
  Output("xdotool key Down Down Down Return");
  for (int i = 0; i < 200 && gMenuCommand == 0; i++) Pump(2);
  EXPECT_EQ(gMenuCommand, 6);
  EXPECT_EQ(gMenuWindow, static_cast<int>(WinMain));
  EXPECT_EQ(gSettings.preset.load(), 1);
  EXPECT_EQ(IsGadgetDisabled(WinPrefs, PrefsSlider), 0) << "the window did not follow the tray's mode";

  // Closing (the close box's request) saves at once.
  PostEvent(EventCloseWindow, WinPrefs, 0);
  for (int i = 0; i < 100 && IsWindow(WinPrefs); i++) Pump(2);
  ASSERT_EQ(IsWindow(WinPrefs), 0);
  auto doc = LoadJsonFile(folder + "settings.json");
  ASSERT_TRUE(doc);
  const JsonValue* volume = GetJsonObject(&doc->root, "volume");
  EXPECT_EQ(GetJsonInteger(volume, "preset", -1), 1);
  EXPECT_NEAR(GetJsonFloat(volume, "preset1", 0), 0.531, 0.0005);
  EXPECT_NEAR(20 * std::log10(GetJsonFloat(volume, "preset2", 1)), -20.0, 0.3);
  EXPECT_EQ(GetJsonInteger(GetJsonObject(&doc->root, "player"), "artwork", -1), 0);
  EXPECT_EQ(GetJsonInteger(GetJsonObject(&doc->root, "prefs"), "x", kNoPosition), gSettings.prefsX.load());
}

// Catches a window that does not scale at 144 DPI (size, controls, slider) and
// clicks missing their scaled controls.
TEST_F(PrefsX, ScaleOneAndAHalf) {
  if (!StartX(144)) return;
  gSettings.preset = 1;
  gSettings.preset1 = 0.5f;
  gPlayer.volume = 0.5f;
  gSettings.trayIcon = 0;
  DispatchEvent(EventMenu, WinMain, 11, 0);
  std::string id = PrefsWindowId();
  ASSERT_FALSE(id.empty());
  ASSERT_FLOAT_EQ(gApp.prefsScale, 1.5f);
  EXPECT_EQ(WindowClientWidth(WinPrefs), 432);
  EXPECT_EQ(WindowClientHeight(WinPrefs), 492);
  EXPECT_EQ(GadgetHeight(WinPrefs, PrefsSlider), 255);
  Shot(id, "prefs-preset1-scale1.5");
  ClickControl(id, PrefsMinus);
  for (int i = 0; i < 100 && gSettings.preset1.load() == 0.5f; i++) Pump(2);
  EXPECT_NEAR(VolumeToDb(gSettings.preset1.load()), -6.5, 1e-3);
  ClickControl(id, PrefsMode);
  for (int i = 0; i < 100 && gSettings.preset.load() != 2; i++) Pump(2);
  EXPECT_EQ(gSettings.preset.load(), 2);
  Shot(id, "prefs-preset2-scale1.5");
  // The bottom row of the scaled slider is -40 dB.
  ClickAt(id, GadgetX(WinPrefs, PrefsSlider) + 25, GadgetY(WinPrefs, PrefsSlider) + 254);
  for (int i = 0; i < 100 && gSettings.preset2.load() == 0.5f; i++) Pump(2);
  EXPECT_NEAR(VolumeToDb(gSettings.preset2.load()), -39.84, 0.1);
  ClickControl(id, PrefsMode);
  for (int i = 0; i < 100 && gSettings.preset.load() != 0; i++) Pump(2);
  EXPECT_EQ(gSettings.preset.load(), 0);
  Shot(id, "prefs-auto-scale1.5");
}

}  // namespace

#endif  // _WIN32
