// The taskbar progress table, mute and volume-mode application, the button buffer.
#include <string>

#include "tray_support.h"

// Catches a wrong colour for a state, and muting while connecting hiding the connecting state.
TEST(TaskbarProgress, Table) {
  struct Case {
    int64_t connecting, muted;
    int state;
  } cases[] = {
      {1, 0, ProgressError},  {1, 1, ProgressError},  // connecting wins over muted
      {0, 1, ProgressNormal}, {0, 0, ProgressNone},  {0, 2, ProgressNormal},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TaskbarProgressFor(c.connecting, c.muted), c.state) << c.connecting << "/" << c.muted;
  }
}

// Catches ApplyMute leaving the menu's check mark or the event loop's refresh behind.
TEST_F(TrayTest, ApplyMuteRefreshesMarkAndPostsState) {
  BuildTrayMenu(1);
  gSettings.muted = 1;
  ASSERT_EQ(ApplyMute(), 1);
  EXPECT_EQ(GetMenuItemState(kTrayMenu, 8), 1);
  int kind = WaitWindowEvent(0);
  EXPECT_EQ(kind, EventTaskbarState);
  EXPECT_EQ(EventWindow(), WinMain);
  gSettings.muted = 0;
  ApplyMute();
  EXPECT_EQ(GetMenuItemState(kTrayMenu, 8), 0);
  EXPECT_EQ(WaitWindowEvent(0), EventTaskbarState);
}

// Catches a mode cycle that skips a mode, keeps the stream muted, or sets the wrong volume:
// the taskbar's mode button, through the event loop's command 4.
TEST_F(TrayTest, NextModeCyclesAndUnmutes) {
  BuildTrayMenu(1);
  gSettings.preset1 = 0.8f;
  gSettings.preset2 = 0.3f;
  gSettings.preset = 7;  // a stray stored mode steps to Preset 1
  struct Step {
    int64_t preset;
    float volume;
    int autoMark, oneMark, twoMark;
  } steps[] = {{1, 0.8f, 0, 1, 0}, {2, 0.3f, 0, 0, 1}, {0, 1.0f, 1, 0, 0}, {1, 0.8f, 0, 1, 0}};
  for (const Step& s : steps) {
    gSettings.muted = 1;
    DispatchEvent(EventMenu, WinMain, 4, 0);
    EXPECT_EQ(gSettings.preset.load(), s.preset);
    EXPECT_EQ(gSettings.muted.load(), 0) << "a mode step must unmute";
    EXPECT_FLOAT_EQ(gPlayer.volume.load(), s.volume);
    EXPECT_EQ(GetMenuItemState(kTrayMenu, 5), s.autoMark);
    EXPECT_EQ(GetMenuItemState(kTrayMenu, 6), s.oneMark);
    EXPECT_EQ(GetMenuItemState(kTrayMenu, 7), s.twoMark);
    EXPECT_EQ(GetMenuItemState(kTrayMenu, 8), 0);
  }
}

// Catches an unknown mode kept as it is instead of becoming Auto at full volume.
TEST_F(TrayTest, UnknownModeBecomesAuto) {
  gSettings.preset = 7;
  gPlayer.volume = 0.2f;
  ApplyVolumeMode();
  EXPECT_EQ(gSettings.preset.load(), 0);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 1.0f);
}

// Catches the preferences' volume controls left enabled in Auto or disabled for a preset.
TEST_F(TrayTest, VolumeModeSetsThePreferencesControls) {
  ASSERT_EQ(OpenWindow(WinPrefs, 0, 0, 288, 328, "prefs", WindowInvisible), 1);
  for (int g : {10, 11, 12}) CanvasGadget(WinPrefs, g, 0, 0, 10, 10);
  gSettings.preset = 0;
  ApplyVolumeMode();
  for (int g : {10, 11, 12}) EXPECT_EQ(IsGadgetDisabled(WinPrefs, g), 1) << g;
  gSettings.preset = 2;
  ApplyVolumeMode();
  for (int g : {10, 11, 12}) EXPECT_EQ(IsGadgetDisabled(WinPrefs, g), 0) << g;
  CloseWindow(WinPrefs);
}

// Catches a tooltip overrunning the shell's 260-unit buffer or cut inside a character.
TEST(ThumbButtons, TooltipFitsTheBuffer) {
  ThumbButton slot;
  SetThumbTooltip(slot, "Muted");
  EXPECT_EQ(slot.tooltip, "Muted");
  SetThumbTooltip(slot, std::string(400, 'a'));
  EXPECT_EQ(slot.tooltip.size(), kThumbTooltipUnits - 1);
  // "é" is two bytes but one unit; "😀" four bytes and two units.
  std::string accents;
  for (int i = 0; i < 300; i++) accents += "\xC3\xA9";
  SetThumbTooltip(slot, accents);
  EXPECT_EQ(slot.tooltip.size(), (kThumbTooltipUnits - 1) * 2);
  std::string faces;
  for (int i = 0; i < 200; i++) faces += "\xF0\x9F\x98\x80";
  SetThumbTooltip(slot, faces);
  EXPECT_EQ(slot.tooltip.size(), (kThumbTooltipUnits - 1) / 2 * 4);
  EXPECT_TRUE(IsValidUtf8(slot.tooltip));
}

// Catches IconFromImage changing the source image, keeping its size, or inventing an icon.
TEST_F(TrayTest, IconFromImageMakesAResizedCopy) {
  EXPECT_EQ(IconFromImage(0), 0);
  int image = CreateImage(ImageAny, 64, 64, 32, 0x336699);
  ASSERT_NE(image, 0);
  int icon = IconFromImage(image);
  ASSERT_NE(icon, 0);
  EXPECT_NE(icon, image);
  int expected = std::max(16, UiRound(32 * SystemScale()));
  EXPECT_EQ(ImageWidth(icon), expected);
  EXPECT_EQ(ImageHeight(icon), expected);
  EXPECT_EQ(ImageWidth(image), 64);
  EXPECT_EQ(GetImagePixel(icon, expected / 2, expected / 2) & 0xFFFFFF, 0x336699u);
  FreeImage(icon);
  FreeImage(image);
  EXPECT_EQ(IconFromImage(image), 0) << "a freed image has no icon";
}

// Catches the taskbar click mapping: button 1 is mute (command 8), button 2 the next mode (4).
TEST_F(TrayTest, ButtonClicksPostTheMenuCommands) {
  TaskbarButtonClicked(1);
  TaskbarButtonClicked(2);
  TaskbarButtonClicked(3);
  ASSERT_EQ(WaitWindowEvent(0), EventMenu);
  EXPECT_EQ(EventWindow(), WinMain);
  EXPECT_EQ(EventObject(), 8);
  ASSERT_EQ(WaitWindowEvent(0), EventMenu);
  EXPECT_EQ(EventObject(), 4);
  EXPECT_EQ(WaitWindowEvent(0), 0) << "an unknown button posted something";
}
