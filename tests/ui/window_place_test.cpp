// Keeping windows on screen.
#include <gtest/gtest.h>

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
