// The VU meter's background (image 1) and the level-to-height rule.
#include <cmath>

#include "ui/ui.h"

namespace {

constexpr uint32_t kBandRed = 0xBF0000;     // RGB(191, 0, 0)
constexpr uint32_t kBandYellow = 0xBFBF00;  // RGB(191, 191, 0)
constexpr uint32_t kBandGreen = 0x007F3F;   // RGB(0, 127, 63)
constexpr uint32_t kBandTeal = 0x005F5F;    // RGB(0, 95, 95)
constexpr uint32_t kShade = 0x7F000000;     // black at alpha 127

int DrawArtwork(int width, int height, float scale) {
  if (!StartDrawingImage(kVuArtworkImage)) return 0;
  double u = height / 100.0;
  // Each band starts where the next-higher one ends; later boxes overdraw the tail of
  // earlier ones, so the bands show 0-10 %, 10-23 %, 23-60 % and 60-100 % of the height.
  DrawBox(0, 0, width, UiRound(10 * u), kBandRed);
  DrawBox(0, UiRound(10 * u), width, UiRound(23 * u), kBandYellow);
  DrawBox(0, UiRound(23 * u), width, UiRound(60 * u), kBandGreen);
  DrawBox(0, UiRound(60 * u), width, UiRound(height - 60 * u), kBandTeal);

  int t = UiRound(1 * scale);
  if (t < 1) t = 1;  // a scale below 0.5 would otherwise never advance
  int y = t;
  for (int left = height; left > 0; left -= 2 * t) {
    DrawBoxBlend(0, y, width, t, kShade);
    y += 2 * t;
  }

  int g = int(std::floor(0.48 * width));
  DrawBoxBlend(g, 0, width - 2 * g, height, kShade);
  StopDrawing();
  return 1;
}

}  // namespace

int CreateVuMeterArtwork(int width, int height, float scale) {
  int ok = width > 0 && height > 0 && CreateImage(kVuArtworkImage, width, height, 24, 0) != 0;
  if (ok) ok = DrawArtwork(width, height, scale);
  if (!ok) {
    ShowErrorBox("Failed to create VUMeter artwork!");
    if (IsImage(kVuArtworkImage)) FreeImage(kVuArtworkImage);
    return 0;
  }
  return 1;
}

float UnlitHeight(float level, int height) {
  // Silence, a broken value or anything quieter than -100 dB leaves the bar dark.
  if (!(level > 0.0f)) return float(height);
  if (level > 1.0f) level = 1.0f;
  float unlit = -(height * 0.01f) * 20.0f * std::log10(level);
  if (unlit > height) unlit = float(height);
  if (unlit < 0) unlit = 0;
  return unlit;
}
