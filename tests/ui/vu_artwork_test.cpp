// The VU meter background and the level-to-height rule.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ui/ui.h"
#include "ui_test_support.h"

namespace {

uint32_t Rgb(int x, int y) { return GetImagePixel(kVuArtworkImage, x, y) & 0xFFFFFF; }

// Half of a colour channel, as the 127/255 black shade leaves it (within rounding).
bool Shaded(uint32_t shaded, uint32_t full) {
  for (int shift = 0; shift <= 16; shift += 8) {
    int s = (shaded >> shift) & 0xFF, f = (full >> shift) & 0xFF;
    if (std::abs(s - f * 128 / 255) > 2) return false;
  }
  return true;
}

struct Row {
  int y;
  uint32_t colour;
};

// Fault caught: bands at the wrong rows (no overdraw, truncation instead of rounding),
// scan lines on the wrong rows, or the stripe missing, at scale 1.
TEST(VuArtwork, BandsScanLinesAndStripeAtScaleOne) {
  UiTestRuntime();
  ASSERT_EQ(CreateVuMeterArtwork(23, 128, 1.0f), 1);
  EXPECT_EQ(ImageWidth(kVuArtworkImage), 23);
  EXPECT_EQ(ImageHeight(kVuArtworkImage), 128);
  // Lit rows are the even ones; band edges at 13, 29 and 77 (10 %, 23 %, 60 % of 128).
  const Row lit[] = {{0, 0xBF0000},  {12, 0xBF0000}, {14, 0xBFBF00}, {28, 0xBFBF00},
                     {30, 0x007F3F}, {76, 0x007F3F}, {78, 0x005F5F}, {126, 0x005F5F}};
  for (const Row& r : lit) {
    EXPECT_EQ(Rgb(0, r.y), r.colour) << "row " << r.y;
    EXPECT_EQ(Rgb(22, r.y), r.colour) << "row " << r.y;
    // Column 11 is the centre stripe: g = floor(0.48 * 23) = 11, one pixel wide.
    EXPECT_TRUE(Shaded(Rgb(11, r.y), r.colour)) << "row " << r.y;
    EXPECT_EQ(Rgb(10, r.y), r.colour);
    EXPECT_EQ(Rgb(12, r.y), r.colour);
  }
  // Odd rows carry the scan lines.
  const Row shaded[] = {{1, 0xBF0000}, {13, 0xBFBF00}, {29, 0x007F3F}, {77, 0x005F5F}, {127, 0x005F5F}};
  for (const Row& r : shaded) EXPECT_TRUE(Shaded(Rgb(0, r.y), r.colour)) << "row " << r.y;
}

// Fault caught: 1.5 scaling drawing 1-pixel scan lines, a one-pixel stripe or bands at
// scale-1 rows.
TEST(VuArtwork, BandsScanLinesAndStripeAtScaleOneAndAHalf) {
  UiTestRuntime();
  ASSERT_EQ(CreateVuMeterArtwork(36, 192, 1.5f), 1);
  // Scan lines are 2 pixels: rows 2-3, 6-7, ...; bands end at 19, 44 and 115.
  const Row lit[] = {{0, 0xBF0000},  {17, 0xBF0000},  {20, 0xBFBF00},  {41, 0xBFBF00},
                     {44, 0x007F3F}, {113, 0x007F3F}, {116, 0x005F5F}, {189, 0x005F5F}};
  for (const Row& r : lit) {
    EXPECT_EQ(Rgb(0, r.y), r.colour) << "row " << r.y;
    EXPECT_EQ(Rgb(35, r.y), r.colour) << "row " << r.y;
    EXPECT_EQ(Rgb(16, r.y), r.colour) << "row " << r.y;
    // g = floor(0.48 * 36) = 17: columns 17 and 18.
    EXPECT_TRUE(Shaded(Rgb(17, r.y), r.colour)) << "row " << r.y;
    EXPECT_TRUE(Shaded(Rgb(18, r.y), r.colour)) << "row " << r.y;
    EXPECT_EQ(Rgb(19, r.y), r.colour) << "row " << r.y;
  }
  const Row shaded[] = {{2, 0xBF0000}, {3, 0xBF0000}, {18, 0xBF0000}, {22, 0xBFBF00}, {190, 0x005F5F}, {191, 0x005F5F}};
  for (const Row& r : shaded) EXPECT_TRUE(Shaded(Rgb(0, r.y), r.colour)) << "row " << r.y;
}

// Fault caught: a failing artwork left as a half-made image; the error must be told.
TEST(VuArtwork, EmptySizeReportsAndLeavesNoImage) {
  UiTestRuntime();
  testing::internal::CaptureStderr();
  EXPECT_EQ(CreateVuMeterArtwork(0, 128, 1.0f), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Failed to create VUMeter artwork!"), std::string::npos) << err;
  EXPECT_FALSE(IsImage(kVuArtworkImage));
}

struct LevelCase {
  float level;
  int height;
  float unlit;
};

// Fault caught: the dB rule off (not 1 % of the height per dB), silence or junk levels
// giving infinities or a bar taller than the window, overdriven levels going negative.
TEST(VuLevels, UnlitHeightFollowsDecibelsBelowFullScale) {
  const LevelCase cases[] = {
      {1.0f, 128, 0.0f},
      {0.1f, 128, 25.6f},
      {0.01f, 128, 51.2f},
      {0.5f, 128, 7.7062f},
      {0.1f, 192, 38.4f},
      {0.0f, 128, 128.0f},
      {-0.5f, 128, 128.0f},
      {1e-6f, 128, 128.0f},
      {1e-5f, 128, 128.0f},
      {2.0f, 128, 0.0f},
      {std::numeric_limits<float>::quiet_NaN(), 128, 128.0f},
      {std::numeric_limits<float>::infinity(), 128, 0.0f},
  };
  for (const LevelCase& c : cases)
    EXPECT_NEAR(UnlitHeight(c.level, c.height), c.unlit, 0.01f) << "level " << c.level << " height " << c.height;
}

}  // namespace
