// The skin-image cache: one read per file, one scaled copy per key and size, and the
// generated skin files themselves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/ui.h"
#include "ui_test_support.h"

namespace {

int gLoads = 0;
std::vector<std::string> gLoadedNames;

// Stands in for the PNG reader: a 10 x 10 image, counted.
int CountingLoader(const std::string& fileName) {
  ++gLoads;
  gLoadedNames.push_back(fileName);
  return CreateImage(ImageAny, 10, 10, 32, 0x336699);
}

int FailingLoader(const std::string& fileName) {
  ++gLoads;
  return 0;
}

class SkinCache : public ::testing::Test {
 protected:
  void SetUp() override {
    UiTestRuntime();
    ClearSkinImageCache();
    gLoads = 0;
    gLoadedNames.clear();
    gSkinImages.load = CountingLoader;
  }
  void TearDown() override {
    ClearSkinImageCache();
    gSkinImages.load = nullptr;
  }
};

// Fault caught: every paint reading the PNG again, or a new copy per call.
TEST_F(SkinCache, SameKeyAndSizeReturnsTheCachedCopyWithoutReloading) {
  int a = GetSkinImage("status_muted", "vumeter_status_muted", 24, 24);
  int b = GetSkinImage("status_muted", "vumeter_status_muted", 24, 24);
  ASSERT_NE(a, 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(gLoads, 1);
  EXPECT_EQ(ImageWidth(a), 24);
  EXPECT_EQ(ImageHeight(a), 24);
}

// Fault caught: a size change reloading the file, keeping the stale copy, or leaking it.
TEST_F(SkinCache, NewSizeReplacesOnlyTheScaledCopy) {
  int small = GetSkinImage("status_muted", "vumeter_status_muted", 24, 24);
  int unscaled = SkinCacheLookup("status_muted");
  int large = GetSkinImage("status_muted", "vumeter_status_muted", 36, 36);
  ASSERT_NE(large, 0);
  EXPECT_EQ(gLoads, 1);
  EXPECT_EQ(ImageWidth(large), 36);
  EXPECT_EQ(ImageHeight(large), 36);
  EXPECT_EQ(SkinCacheLookup("vumeter_status_muted"), large);
  // The unscaled image stays as it was read; the old copy is gone.
  EXPECT_EQ(SkinCacheLookup("status_muted"), unscaled);
  EXPECT_EQ(ImageWidth(unscaled), 10);
  ASSERT_NE(small, large);
  EXPECT_FALSE(IsImage(small));
}

// Fault caught: two users of one file (tray and taskbar) reading it twice or sharing a copy.
TEST_F(SkinCache, TwoKeysShareOneLoadButKeepTheirOwnCopies) {
  int tray = GetSkinImage("trayicon_muted", "tray_status_muted", 64, 64);
  int other = GetSkinImage("trayicon_muted", "info_trayicon_muted", 32, 32);
  ASSERT_NE(tray, 0);
  ASSERT_NE(other, 0);
  EXPECT_NE(tray, other);
  EXPECT_EQ(gLoads, 1);
  EXPECT_EQ(ImageWidth(tray), 64);
  EXPECT_EQ(ImageWidth(other), 32);
  ASSERT_EQ(gLoadedNames.size(), 1u);
  EXPECT_EQ(gLoadedNames[0], "trayicon_muted");
}

// Fault caught: a missing file cached as "loaded", or a failure handed out as an image.
TEST_F(SkinCache, MissingFileGivesZeroAndIsTriedAgainLater) {
  gSkinImages.load = FailingLoader;
  EXPECT_EQ(GetSkinImage("status_connect", "vumeter_status_connect", 24, 24), 0);
  EXPECT_EQ(GetSkinImage("status_connect", "vumeter_status_connect", 24, 24), 0);
  EXPECT_EQ(gLoads, 2);
  EXPECT_EQ(SkinCacheLookup("status_connect"), 0);
  gSkinImages.load = CountingLoader;
  EXPECT_NE(GetSkinImage("status_connect", "vumeter_status_connect", 24, 24), 0);
}

// Fault caught: a zero size or a key equal to the file name destroying the unscaled image.
TEST_F(SkinCache, RejectsEmptySizesAndSelfKeys) {
  EXPECT_EQ(GetSkinImage("status_muted", "vumeter_status_muted", 0, 24), 0);
  EXPECT_EQ(GetSkinImage("status_muted", "status_muted", 24, 24), 0);
  EXPECT_EQ(gLoads, 0);
}

// Fault caught: the real loader not finding the data folder's PNG, or reporting a
// missing one (a missing overlay is silent).
TEST_F(SkinCache, RealFilesLoadAndMissingOnesStaySilent) {
  gSkinImages.load = nullptr;
  int image = GetSkinImage("status_muted", "vumeter_status_muted", 36, 36);
  ASSERT_NE(image, 0) << "data folder: " << gApp.dataFolder;
  EXPECT_EQ(ImageWidth(image), 36);
  testing::internal::CaptureStderr();
  EXPECT_EQ(GetSkinImage("no_such_skin", "vumeter_no_such_skin", 24, 24), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

struct SkinFile {
  const char* name;
  int width, height;
};

// Fault caught: the generator leaving out a skin file, or drawing it at the wrong size
// or without transparency.
TEST(SkinFiles, EveryFileExistsAtItsSizeWithAlphaEdges) {
  UiTestRuntime();
  const SkinFile files[] = {
      {"status_muted", 24, 24},
      {"status_connect", 24, 24},
      {"trayicon_normal", 64, 64},
      {"trayicon_muted", 64, 64},
      {"trayicon_connect", 64, 64},
      {"thumbbar_muted", 64, 64},
      {"thumbbar_unmuted", 64, 64},
      {"thumbbar_preset_1", 64, 64},
      {"thumbbar_preset_2", 64, 64},
      {"thumbbar_preset_auto", 64, 64},
      {"ui_checkmark_set", 24, 24},
      {"ui_checkmark_unset", 24, 24},
      {"ui_checkmark_disabled_set", 24, 24},
      {"ui_checkmark_disabled_unset", 24, 24},
      {"ui_checkmark_hover_set", 24, 24},
      {"ui_checkmark_hover_unset", 24, 24},
      {"ui_minusbutton_normal", 24, 24},
      {"ui_minusbutton_disabled", 24, 24},
      {"ui_minusbutton_hover", 24, 24},
      {"ui_plusbutton_normal", 24, 24},
      {"ui_plusbutton_disabled", 24, 24},
      {"ui_plusbutton_hover", 24, 24},
      {"ui_volumeslider_normal", 34, 170},
      {"ui_volumeslider_disabled", 34, 170},
      {"ui_volumeslider_hover", 34, 170},
      {"ui_volumeslider_background", 34, 170},
      {"ui_genericbutton_normal", 80, 30},
      {"ui_genericbutton_hover", 80, 30},
  };
  for (const SkinFile& f : files) {
    int image = LoadSkinImage(f.name);
    ASSERT_NE(image, 0) << f.name;
    EXPECT_EQ(ImageWidth(image), f.width) << f.name;
    EXPECT_EQ(ImageHeight(image), f.height) << f.name;
    // The corners are (nearly) see-through and some pixel is partly transparent (smooth edges).
    EXPECT_LT(GetImagePixel(image, 0, 0) >> 24, 32u) << f.name;
    EXPECT_LT(GetImagePixel(image, f.width - 1, f.height - 1) >> 24, 32u) << f.name;
    bool partial = false;
    for (int y = 0; y < f.height && !partial; ++y)
      for (int x = 0; x < f.width && !partial; ++x) {
        uint32_t a = GetImagePixel(image, x, y) >> 24;
        partial = a > 0 && a < 255;
      }
    EXPECT_TRUE(partial) << f.name;
    FreeImage(image);
  }
  // The default artwork is drawn large and scaled down by the information window.
  int art = LoadSkinImage("artwork_default");
  ASSERT_NE(art, 0);
  EXPECT_EQ(ImageWidth(art), ImageHeight(art));
  EXPECT_GE(ImageWidth(art), 192);
  FreeImage(art);
}

}  // namespace
