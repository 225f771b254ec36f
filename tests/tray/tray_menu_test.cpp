// The shared menu's items and check marks, and what the tray icon's clicks do.
#include <string>
#include <vector>

#include "tray_support.h"

// Catches a menu whose items, order or separators drift from what every window shows.
TEST_F(TrayTest, MenuHasTheItemsInOrder) {
  ASSERT_EQ(BuildTrayMenu(1), 1);
  const std::vector<std::pair<int, std::string>> expected = {{8, "Mute Stream"},
                                                             {0, ""},
                                                             {5, "Volume Auto"},
                                                             {6, "Volume Preset 1"},
                                                             {7, "Volume Preset 2"},
                                                             {19, "Even Loudness (EBU R128)"},
                                                             {0, ""},
                                                             {9, "Open Info"},
                                                             {10, "Open Stats"},
                                                             {15, "Song Log..."},
                                                             {11, "Open Preferences"},
                                                             {0, ""},
                                                             {16, "Love This Song"},
                                                             {17, "Save This Song"},
                                                             {18, "Record Every Song"},
                                                             {0, ""},
                                                             {13, "Show Manual"},
                                                             {12, "Browse Website"},
                                                             {0, ""},
                                                             {14, "Quit Player"}};
  ASSERT_EQ(MenuItemCount(kTrayMenu), static_cast<int>(expected.size()));
  for (size_t i = 0; i < expected.size(); i++) {
    EXPECT_EQ(MenuItemCommand(kTrayMenu, static_cast<int>(i)), expected[i].first) << i;
    if (expected[i].first) EXPECT_EQ(MenuItemText(kTrayMenu, static_cast<int>(i)), expected[i].second) << i;
  }
  // A second build only refreshes the marks; it must not add the items again.
  ASSERT_EQ(BuildTrayMenu(1), 1);
  EXPECT_EQ(MenuItemCount(kTrayMenu), static_cast<int>(expected.size()));
}

// Catches wrong check marks: any non-zero muted checks mute, and every preset other than
// 1 and 2 checks "Volume Auto".
TEST_F(TrayTest, CheckMarksFollowTheSettings) {
  struct Case {
    int64_t muted, preset;
    int mute, automatic, one, two;
  } cases[] = {
      {0, 0, 0, 1, 0, 0}, {1, 1, 1, 0, 1, 0}, {0, 2, 0, 0, 0, 1},
      {2, 1, 1, 0, 1, 0}, {0, 3, 0, 1, 0, 0}, {1, -1, 1, 1, 0, 0},
  };
  for (const Case& c : cases) {
    gSettings.muted = c.muted;
    gSettings.preset = c.preset;
    TrayChecks t = TrayMenuChecks(c.muted, c.preset);
    EXPECT_EQ(t.mute, c.mute) << c.muted << "/" << c.preset;
    EXPECT_EQ(t.automatic, c.automatic) << c.muted << "/" << c.preset;
    ASSERT_EQ(BuildTrayMenu(1), 1);
    EXPECT_EQ(GetMenuItemState(kTrayMenu, 8), c.mute) << c.muted << "/" << c.preset;
    EXPECT_EQ(GetMenuItemState(kTrayMenu, 5), c.automatic) << c.muted << "/" << c.preset;
    EXPECT_EQ(GetMenuItemState(kTrayMenu, 6), c.one) << c.muted << "/" << c.preset;
    EXPECT_EQ(GetMenuItemState(kTrayMenu, 7), c.two) << c.muted << "/" << c.preset;
  }
}

// Catches a left click that does not toggle mute, or one that also moves the menu's
// check mark (it keeps the mark of before the click until the next refresh).
TEST_F(TrayTest, LeftClickTogglesMuteOnly) {
  BuildTrayMenu(1);
  gSettings.muted = 0;
  EXPECT_EQ(HandleTrayEvent(TrayLeftUp), 1);
  EXPECT_EQ(gSettings.muted.load(), 1);
  EXPECT_EQ(GetMenuItemState(kTrayMenu, 8), 0);
  EXPECT_EQ(HandleTrayEvent(TrayLeftUp), 1);
  EXPECT_EQ(gSettings.muted.load(), 0);
  // A double click delivers release, double click, release: three toggles.
  HandleTrayEvent(TrayLeftUp);
  HandleTrayEvent(TrayLeftDoubleClick);
  HandleTrayEvent(TrayLeftUp);
  EXPECT_EQ(gSettings.muted.load(), 1);
}

// Catches a right double click that acts, and tray events acted on while the icon is off.
TEST_F(TrayTest, IgnoredEvents) {
  gSettings.muted = 0;
  EXPECT_EQ(HandleTrayEvent(TrayRightDoubleClick), 0);
  EXPECT_EQ(gSettings.muted.load(), 0);
  gSettings.trayIcon = 0;
  for (int type : {TrayLeftUp, TrayRightUp, TrayLeftDoubleClick, TrayRightDoubleClick}) {
    EXPECT_EQ(HandleTrayEvent(type), 0) << type;
  }
  EXPECT_EQ(gSettings.muted.load(), 0);
  EXPECT_FALSE(IsMenu(kTrayMenu)) << "the menu was shown while the icon is off";
}

// Catches a right click that does not bring up the menu owned by window 1 (it is built
// when missing).
TEST_F(TrayTest, RightClickShowsTheMenu) {
  OpenWindow(WinMain, 0, 0, 23, 128, "main", WindowInvisible);
  EXPECT_EQ(HandleTrayEvent(TrayRightUp), 1);
  EXPECT_TRUE(IsMenu(kTrayMenu));
  EXPECT_EQ(gSettings.muted.load(), 0);
  CloseWindow(WinMain);
}

// Catches an icon added without its image and a failed add reported as success.
TEST_F(TrayTest, AddTrayIconNeedsAnImage) {
  // The icon belongs to the main window, as in the player.
  ASSERT_EQ(OpenWindow(WinMain, 0, 0, 23, 128, "main", WindowInvisible), 1);
  int normal = gApp.trayImageNormal;
  gApp.trayImageNormal = 0;
  gSettings.muted = 0;
  EXPECT_EQ(AddTrayIcon(), 0);
  EXPECT_FALSE(IsSysTrayIcon(kTrayIcon));
  gApp.trayImageNormal = normal;
  // Without a tray host the runtime keeps no icon, and AddTrayIcon must say so; with
  // one, the icon is there.
  int expected = SysTrayAvailable() ? 1 : 0;
  EXPECT_EQ(AddTrayIcon(), expected);
  EXPECT_EQ(IsSysTrayIcon(kTrayIcon), expected);
  RemoveTrayIcon();
  EXPECT_FALSE(IsSysTrayIcon(kTrayIcon));
  CloseWindow(WinMain);
}

// Catches start-up going on with the icon wanted although its images are missing.
TEST_F(TrayTest, MissingTrayImagesTurnTheIconOff) {
  std::string folder = gApp.dataFolder;
  gApp.dataFolder = "/nonexistent-corvale-data/";
  ClearSkinImageCache();
  gApp.trayImageNormal = gApp.trayImageMuted = gApp.trayImageConnect = 0;
  gSettings.trayIcon = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadTrayImages(), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(gSettings.trayIcon.load(), 0);
  EXPECT_NE(err.find("Unable to load icons for the tray, trayicon disabled."), std::string::npos) << err;
  EXPECT_EQ(CreateTrayIconAtStart(), 0);
  gApp.dataFolder = folder;
}

// Catches the even-loudness item that does not switch the measure both ways, touches the
// volume mode, or leaves its check mark behind (the mark is where the listener sees it).
TEST_F(TrayTest, EvenLoudnessSwitchesTheMeasureAndItsMark) {
  const int64_t savedMeasure = gSettings.measure.load(), savedPreset = gSettings.preset.load();
  gSettings.measure = MeasureR128;  // as read from the file at start
  gSettings.preset = VolumePreset2;
  ASSERT_EQ(BuildTrayMenu(1), 1);
  EXPECT_EQ(GetMenuItemState(kTrayMenu, MenuEvenLoudness), 1);
  DispatchEvent(EventMenu, WinMain, MenuEvenLoudness, 0);
  EXPECT_EQ(gSettings.measure.load(), MeasureRms);
  EXPECT_EQ(GetMenuItemState(kTrayMenu, MenuEvenLoudness), 0);
  DispatchEvent(EventMenu, WinMain, MenuEvenLoudness, 0);
  EXPECT_EQ(gSettings.measure.load(), MeasureR128);
  EXPECT_EQ(GetMenuItemState(kTrayMenu, MenuEvenLoudness), 1);
  EXPECT_EQ(GetMenuItemState(kTrayMenu, MenuVolumePreset2), 1);
  EXPECT_EQ(gSettings.preset.load(), VolumePreset2);
  gSettings.measure = savedMeasure;
  gSettings.preset = savedPreset;
}
