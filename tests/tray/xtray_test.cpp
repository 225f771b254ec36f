// The tray icon on a real X server with a real tray host: Xvfb and trayer, started by
// the test. Skipped when either is missing or the runtime already runs elsewhere.
// Linux only: an X server and tray host started by the test with fork. Under Wine the
// tray is checked through the shell in tests/runtime/shell_win_test.cpp.
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>

#include "tray_support.h"

namespace {

using xtest::FindTrayIcon;
using xtest::Output;
using xtest::Spawn;
using xtest::Stop;

int gTrayHostAppeared = 0;
int MainCallback(const WindowMessage& m) {
  if (m.kind == MsgTaskbarCreated) {
    gTrayHostAppeared++;
    RecreateTrayIcon();
    return 1;
  }
  return 0;
}

int gMenuWindow = 0, gMenuCommand = 0;
int gLastTrayWindow = 0, gLastTrayType = -1;

// Runs the event loop's dispatch on what arrives, noting the tray events and menu
// commands for the test.
void Pump(int rounds) {
  for (int i = 0; i < rounds; i++) {
    int kind = WaitWindowEvent(10);
    if (kind == EventSysTray) {
      gLastTrayWindow = EventWindow();
      gLastTrayType = EventType();
    }
    if (kind == EventMenu) {
      gMenuWindow = EventWindow();
      gMenuCommand = EventObject();
    }
    DispatchTakenEvent(kind);
  }
}

class XTrayTest : public xtest::XDisplayTest {
 protected:
  pid_t trayer = 0;

  void SetUp() override {
    if (!StartDisplay({.tools = {"trayer", "xwininfo", "xdotool", "import"}, .screen = "800x600x24", .noreset = false}))
      return;
    ASSERT_EQ(OpenWindow(WinMain, 0, 0, 23, 128, "main", WindowInvisible), 1);
    SetWindowCallback(WinMain, MainCallback);
    StartTrayer();
  }

  void TearDown() override {
    if (xvfb > 0) {
      RemoveTrayIcon();
      if (IsWindow(WinMain)) CloseWindow(WinMain);
    }
    Stop(trayer);
    StopDisplay();
  }

  void StartTrayer() {
    trayer = Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                    "--SetDockType", "true"});
    for (int i = 0; i < 500 && !SysTrayAvailable(); i++) Pump(1);
    ASSERT_EQ(SysTrayAvailable(), 1) << "the tray host did not come up";
  }

  // The id and the centre of the icon's window, embedded in the tray host's panel.
  bool FindIcon(std::string* id, int* x, int* y) { return FindTrayIcon(display, [] { Pump(5); }, id, x, y); }

  // A click on the icon. The pointer first leaves for the corner: "mousemove --sync" to
  // where the pointer already is waits for a motion that never comes (about 15 s), and
  // the click of that chain then does not arrive, so a second click on the same icon
  // looked like a click the player ignored.
  void Click(int x, int y, int button) {
    Output("xdotool mousemove --sync 0 0 mousemove --sync " + std::to_string(x) + " " + std::to_string(y) +
           " click " + std::to_string(button));
  }

  // How many of the program's windows are mapped (the menu adds one while it is open).
  int VisibleWindows() {
    std::string ids = Output("xdotool search --onlyvisible --classname test_tray");
    int n = 0;
    for (char c : ids)
      if (c == '\n') n++;
    return n;
  }

  // The colour on screen at the icon's centre as 0xRRGGBB (read from the root window, so
  // the icon window's own visual does not matter).
  uint32_t IconColour(int x, int y) {
    Pump(20);
    std::string txt = Output("import -display " + display + " -window root -crop 1x1+" + std::to_string(x) +
                             "+" + std::to_string(y) + " -depth 8 txt:-");
    std::smatch m;
    if (!std::regex_search(txt, m, std::regex("#([0-9A-Fa-f]{6})"))) return 0xFFFFFFFF;
    return static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
  }
};

}  // namespace

// Catches an icon that does not reach a real tray, shows the wrong image, or whose clicks
// do not mute; and an icon lost for good when the tray host restarts.
TEST_F(XTrayTest, IconClicksAndTrayHostRestart) {
  gSettings.muted = 0;
  ASSERT_EQ(AddTrayIcon(), 1);
  BuildTrayMenu(1);
  std::string id;
  int x = 0, y = 0;
  ASSERT_TRUE(FindIcon(&id, &x, &y)) << Output("xwininfo -display " + display + " -root -tree");
  EXPECT_EQ(IconColour(x, y), 0x00FF00u) << "not the normal image";

  // A left click mutes and shows the muted image; the menu keeps the mark of before.
  Click(x, y, 1);
  for (int i = 0; i < 300 && gSettings.muted.load() == 0; i++) Pump(1);
  EXPECT_EQ(gSettings.muted.load(), 1);
  EXPECT_EQ(IconColour(x, y), 0xFF0000u) << "not the muted image";
  EXPECT_EQ(GetMenuItemState(kTrayMenu, 8), 0);

  // The tray host goes away and comes back: the icon returns with the muted image.
  Stop(trayer);
  Pump(50);
  StartTrayer();
  for (int i = 0; i < 1000 && gTrayHostAppeared == 0; i++) Pump(1);
  EXPECT_GE(gTrayHostAppeared, 1);
  EXPECT_EQ(IsSysTrayIcon(kTrayIcon), 1);
  ASSERT_TRUE(FindIcon(&id, &x, &y));
  EXPECT_EQ(IconColour(x, y), 0xFF0000u);
  Click(x, y, 1);
  for (int i = 0; i < 300 && gSettings.muted.load() == 1; i++) Pump(1);
  EXPECT_EQ(gSettings.muted.load(), 0);
}

// Catches a right click on the docked icon that never reaches the player (so the menu
// cannot be opened from a real tray), or one that arrives as another kind of event.
TEST_F(XTrayTest, RightClickShowsTheMenu) {
  gSettings.muted = 0;
  ASSERT_EQ(AddTrayIcon(), 1);
  BuildTrayMenu(1);
  std::string id;
  int x = 0, y = 0;
  ASSERT_TRUE(FindIcon(&id, &x, &y)) << Output("xwininfo -display " + display + " -root -tree");
  // First a left click, as a listener would: the right click lands where it did.
  Click(x, y, 1);
  for (int i = 0; i < 300 && gSettings.muted.load() == 0; i++) Pump(1);
  ASSERT_EQ(gSettings.muted.load(), 1);
  int before = VisibleWindows();
  gLastTrayType = -1;
  Click(x, y, 3);
  for (int i = 0; i < 300 && gLastTrayType < 0; i++) Pump(1);
  EXPECT_EQ(gLastTrayType, static_cast<int>(TrayRightUp));
  EXPECT_EQ(gLastTrayWindow, static_cast<int>(WinMain));
  // The menu is a new visible window of ours.
  int after = before;
  for (int i = 0; i < 100 && after <= before; i++) {
    Pump(5);
    after = VisibleWindows();
  }
  EXPECT_GT(after, before) << "no menu window appeared";
  EXPECT_EQ(gSettings.muted.load(), 1) << "a right click must not toggle mute";
  // The menu shows the mark of before the left click: it is rebuilt only on request.
  EXPECT_EQ(GetMenuItemState(kTrayMenu, 8), 0);
  // Escape closes it again, so the pointer grab does not outlive the test.
  Output("xdotool key Escape");
  for (int i = 0; i < 100 && VisibleWindows() > before; i++) Pump(5);
  EXPECT_EQ(VisibleWindows(), before);
}

#endif  // _WIN32
