// Keeping windows on screen: every window of the player is pulled back into the work
// area of the nearest screen when it opens and after the user has moved it.
#include "ui/ui.h"

int ClampRectToArea(int* left, int* top, int width, int height, int areaX, int areaY, int areaWidth, int areaHeight) {
  int x = *left, y = *top;
  int right = areaX + areaWidth, bottom = areaY + areaHeight;
  if (x + width > right) x = right - width;
  if (y + height > bottom) y = bottom - height;
  // Left and top last: a window larger than the area keeps its caption reachable.
  if (x < areaX) x = areaX;
  if (y < areaY) y = areaY;
  int changed = x != *left || y != *top;
  *left = x;
  *top = y;
  return changed;
}

int KeepWindowOnScreen(int window) {
  int x = 0, y = 0, w = 0, h = 0;
  if (!GetWindowRect(window, &x, &y, &w, &h)) return KeepOnScreenNoRect;
  int ax = 0, ay = 0, aw = 0, ah = 0;
  if (!WorkAreaForRect(x, y, w, h, &ax, &ay, &aw, &ah)) return KeepOnScreenNoMonitor;
  if (aw <= 0 || ah <= 0) return KeepOnScreenNoMonitorInfo;
  int left = x, top = y;
  if (ClampRectToArea(&left, &top, w, h, ax, ay, aw, ah)) ResizeWindow(window, left, top, -1, -1);
  return KeepOnScreenDone;
}

void NewWindowPosition(int storedX, int storedY, int width, int height, int* x, int* y) {
  *x = storedX;
  *y = storedY;
  if (storedX != kNoPosition && storedY != kNoPosition) return;
  int cx = 0, cy = 0;
  CursorPosition(&cx, &cy);
  *x = UiRound(cx - width * 0.5);
  *y = UiRound(cy - height * 0.5);
}

void StoreWindowPosition(int window, std::atomic<int32_t>& x, std::atomic<int32_t>& y) {
  if (!IsWindow(window) || GetWindowState(window) != WindowNormal) return;
  int left = 0, top = 0, width = 0, height = 0;
  if (!GetWindowRect(window, &left, &top, &width, &height)) return;
  x.store(left);
  y.store(top);
}
