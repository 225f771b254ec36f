// The DPI probes every window uses: the system's scale and a window's own.
#include "core/core.h"
#include "runtime/runtime.h"

float GetSystemDpiScale() { return SystemScale(); }

int GetDpiScale(int window, int x, int y, int width, int height, float* scale) {
  float s = 0;
  if (window && IsWindow(window)) s = WindowScale(window);
  if (!(s > 0)) s = ScaleForRect(x, y, width, height);
  if (!(s > 0)) s = SystemScale();
  if (!(s > 0)) s = 1.0f;
  *scale = s;
  return 1;
}
