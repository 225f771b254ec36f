// Keeping windows on screen.
#include <gtest/gtest.h>

#include <atomic>

#include "ui/ui.h"
#include "ui_test_support.h"

namespace {

struct ClampCase {
  const char* what;
  int left, top, width, height;
  int wantLeft, wantTop, wantChanged;
};

// Fault caught: edges compared the wrong way, the far edges clamped after the near ones
// (a too-large window then loses its top-left corner), or a move reported when none.
TEST(KeepOnScreen, ClampRuleTable) {
  // Work area (100, 50) .. (900, 650).
  const ClampCase cases[] = {
      {"inside", 200, 100, 23, 128, 200, 100, 0},          {"touching the far corner", 877, 522, 23, 128, 877, 522, 0},
      {"off the right", 890, 100, 23, 128, 877, 100, 1},   {"off the bottom", 200, 600, 23, 128, 200, 522, 1},
      {"off the left", 40, 100, 23, 128, 100, 100, 1},     {"off the top", 200, -20, 23, 128, 200, 50, 1},
      {"off two edges", -500, 2000, 36, 192, 100, 458, 1}, {"larger than the area", 300, 300, 1000, 700, 100, 50, 1},
  };
  for (const ClampCase& c : cases) {
    int left = c.left, top = c.top;
    EXPECT_EQ(ClampRectToArea(&left, &top, c.width, c.height, 100, 50, 800, 600), c.wantChanged) << c.what;
    EXPECT_EQ(left, c.wantLeft) << c.what;
    EXPECT_EQ(top, c.wantTop) << c.what;
  }
}

// Fault caught: a window partly off the screen left there, or the size changed by the move.
TEST(KeepOnScreen, PullsARealWindowBackIntoTheWorkArea) {
  UiTestRuntime();
  const int win = 41;
  ASSERT_EQ(OpenWindow(win, 0, 0, 50, 60, "placement", WindowBorderless), 1);
  int ax = 0, ay = 0, aw = 0, ah = 0;
  ASSERT_EQ(WorkAreaForRect(0, 0, 50, 60, &ax, &ay, &aw, &ah), 1);
  ResizeWindow(win, ax + aw - 20, ay - 30, -1, -1);
  EXPECT_EQ(KeepWindowOnScreen(win), KeepOnScreenDone);
  int x = 0, y = 0, w = 0, h = 0;
  ASSERT_EQ(GetWindowRect(win, &x, &y, &w, &h), 1);
  EXPECT_EQ(x + w, ax + aw);
  EXPECT_EQ(y, ay);
  EXPECT_EQ(WindowClientWidth(win), 50);
  EXPECT_EQ(WindowClientHeight(win), 60);
  // Already inside: nothing moves.
  ResizeWindow(win, ax + 10, ay + 10, -1, -1);
  EXPECT_EQ(KeepWindowOnScreen(win), KeepOnScreenDone);
  ASSERT_EQ(GetWindowRect(win, &x, &y, &w, &h), 1);
  EXPECT_EQ(x, ax + 10);
  EXPECT_EQ(y, ay + 10);
  CloseWindow(win);
}

// Fault caught: a missing window treated as placed (or crashing the clamp).
TEST(KeepOnScreen, MissingWindowReportsNoRectangle) {
  UiTestRuntime();
  EXPECT_EQ(KeepWindowOnScreen(42), KeepOnScreenNoRect);
}

}  // namespace

// --- Opening a tool window ---------------------------------------------------------------
namespace {

constexpr int kToolWin = 42;
float gToolScale = 1.0f;
int gToolRelayouts = 0, gToolPaints = 0;
std::atomic<int32_t> gToolX{kNoPosition}, gToolY{kNoPosition};

// Twice the scale's width, so a size taken at the wrong scale shows.
void ToolSize(float s, int* w, int* h) {
  *w = UiRound(200 * s);
  *h = UiRound(100 * s);
}
int ToolCallback(const WindowMessage&) { return 0; }

ToolWindow TestTool(int options) {
  return ToolWindow{.window = kToolWin,
                    .caption = "tool",
                    .options = options,
                    .scale = &gToolScale,
                    .storedX = &gToolX,
                    .storedY = &gToolY,
                    .clientSize = ToolSize,
                    .callback = ToolCallback,
                    .shortcuts = {},
                    .relayout = [] { ++gToolRelayouts; },
                    .paint = [] { ++gToolPaints; }};
}

class ToolWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UiTestRuntime();
    ResetSettings();
    gToolScale = 1.0f;
    gToolRelayouts = gToolPaints = 0;
    ASSERT_EQ(OpenWindow(WinMain, 0, 0, 40, 40, "main", WindowCaption), 1);
  }
  void TearDown() override {
    if (IsWindow(kToolWin)) CloseWindow(kToolWin);
    CloseWindow(WinMain);
  }
};

// Fault caught: a stored place ignored, the cursor not the centre when nothing is stored,
// the size taken at the last scale instead of the screen's, the background left black, or
// the main window restored by a window that opens beside it without asking.
TEST_F(ToolWindowTest, OpensAtItsPlaceSizeAndColour) {
  int cx = 0, cy = 0;
  CursorPosition(&cx, &cy);
  // Centred on the cursor, then pulled into the work area (the offscreen cursor sits near
  // the corner, so the pull shows).
  int px = cx - 100, py = cy - 50, ax = 0, ay = 0, aw = 0, ah = 0;
  ASSERT_EQ(WorkAreaForRect(px, py, 200, 100, &ax, &ay, &aw, &ah), 1);
  ClampRectToArea(&px, &py, 200, 100, ax, ay, aw, ah);
  struct Case {
    const char* what;
    int options, storedX, storedY;
    float lastScale;
    int wantX, wantY, wantMainRestored;
  } cases[] = {
      {"stored place", 0, 120, 130, 1.0f, 120, 130, 1},
      {"stored place, last opened at 1.5", 0, 120, 130, 1.5f, 120, 130, 1},
      {"nothing stored: on the cursor", 0, kNoPosition, kNoPosition, 1.0f, px, py, 1},
      {"beside the main window, on the cursor, left where it is", ToolAtCursor, kNoPosition, kNoPosition, 1.0f,
       cx - 100, cy - 50, 0},
  };
  for (const Case& c : cases) {
    SetWindowState(WinMain, WindowMaximized);
    gToolX = c.storedX;
    gToolY = c.storedY;
    gToolScale = c.lastScale;
    const ToolWindow tool = TestTool(c.options);
    int w = 0, h = 0;
    ASSERT_EQ(OpenToolWindow(tool, &w, &h), 1) << c.what;
    const float screen = WindowScale(kToolWin);
    EXPECT_EQ(gToolScale, screen) << c.what;
    EXPECT_EQ(w, UiRound(200 * screen)) << c.what;
    EXPECT_EQ(h, UiRound(100 * screen)) << c.what;
    EXPECT_EQ(WindowClientWidth(kToolWin), w) << c.what;
    EXPECT_EQ(WindowClientHeight(kToolWin), h) << c.what;
    int x = 0, y = 0, ow = 0, oh = 0;
    ASSERT_EQ(GetWindowRect(kToolWin, &x, &y, &ow, &oh), 1);
    EXPECT_EQ(x, c.wantX) << c.what;
    EXPECT_EQ(y, c.wantY) << c.what;
    EXPECT_EQ(GetWindowState(WinMain) == WindowNormal, c.wantMainRestored != 0) << c.what;
    EXPECT_EQ(IsWindowHidden(kToolWin), 1) << c.what;
    ShowWindowNoActivate(kToolWin);
    const int image = GrabWindowImage(kToolWin, ImageAny);
    EXPECT_EQ(GetImagePixel(image, w / 2, h / 2) & 0xFFFFFF, kColorBackground) << c.what;
    FreeImage(image);
    CloseWindow(kToolWin);
  }
}

// Fault caught: a DPI change that keeps the old scale, takes the suggested size for a
// window whose size follows its scale (or the reverse), acts on DPI 0 or on a missing
// rectangle, or forgets to lay the window out again.
TEST_F(ToolWindowTest, DpiChangeTable) {
  struct Case {
    const char* what;
    int options, dpi, width, height;
    float wantScale;
    int wantWidth, wantHeight, wantRelayouts;
  } cases[] = {
      {"suggested size", 0, 144, 333, 222, 1.5f, 333, 222, 1},
      {"own size at the new scale", ToolOwnSize, 144, 333, 222, 1.5f, 300, 150, 1},
      {"own size back at 96", ToolOwnSize, 96, 333, 222, 1.0f, 200, 100, 1},
      {"no DPI: nothing changes", 0, 0, 333, 222, 1.0f, 200, 100, 0},
      {"no rectangle: only the scale", 0, 144, 0, 222, 1.5f, 200, 100, 0},
  };
  for (const Case& c : cases) {
    gToolScale = 1.0f;
    gToolRelayouts = 0;
    const ToolWindow tool = TestTool(c.options);
    ASSERT_EQ(OpenToolWindow(tool), 1) << c.what;
    WindowMessage m;
    m.kind = MsgDpiChanged;
    m.window = kToolWin;
    m.dpi = c.dpi;
    m.x = 40;
    m.y = 30;
    m.width = c.width;
    m.height = c.height;
    EXPECT_EQ(ToolWindowMessage(tool, m), 1) << c.what;
    EXPECT_EQ(gToolScale, c.wantScale) << c.what;
    EXPECT_EQ(WindowClientWidth(kToolWin), c.wantWidth) << c.what;
    EXPECT_EQ(WindowClientHeight(kToolWin), c.wantHeight) << c.what;
    EXPECT_EQ(gToolRelayouts, c.wantRelayouts) << c.what;
    CloseWindow(kToolWin);
  }
}

// Fault caught: the paint hook not called on an exposure, or the context menu answered 0
// (the tray menu would show twice).
TEST_F(ToolWindowTest, SharedMessages) {
  const ToolWindow tool = TestTool(0);
  ASSERT_EQ(OpenToolWindow(tool), 1);
  WindowMessage m;
  m.window = kToolWin;
  m.kind = MsgPaint;
  EXPECT_EQ(ToolWindowMessage(tool, m), 0);
  EXPECT_EQ(gToolPaints, 1);
  m.kind = MsgContextMenu;
  EXPECT_EQ(ToolWindowMessage(tool, m), 1);
}

}  // namespace
