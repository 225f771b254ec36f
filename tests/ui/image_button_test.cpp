// The image-button painter shared by the preferences window and the others.
#include <gtest/gtest.h>

#include <algorithm>

#include "ui/ui.h"
#include "ui_test_support.h"

namespace {

class ImageButton : public ::testing::Test {
 protected:
  static constexpr int kWindow = 43, kGadget = 7;
  void SetUp() override {
    UiTestRuntime();
    ASSERT_EQ(OpenWindow(kWindow, 0, 0, 100, 40, "buttons", WindowBorderless), 1);
    ASSERT_EQ(CanvasGadget(kWindow, kGadget, 0, 0, 80, 30), 1);
    // Opaque green on the left half, see-through on the right half.
    image = CreateImage(ImageAny, 80, 30, 32, 0);
    ASSERT_NE(image, 0);
    ASSERT_EQ(StartDrawingImage(image), 1);
    ClearBox(0, 0, 80, 30);
    DrawBox(0, 0, 40, 30, 0x00FF00);
    StopDrawing();
    // Start from white so "nothing drawn" is visible.
    ASSERT_EQ(StartDrawingCanvas(kWindow, kGadget), 1);
    DrawBox(0, 0, 80, 30, 0xFFFFFF);
    StopDrawing();
  }
  void TearDown() override {
    FreeImage(image);
    CloseWindow(kWindow);
  }
  uint32_t Shown(int x, int y) {
    int grab = GrabWindowImage(kWindow, ImageAny);
    uint32_t pixel = grab ? GetImagePixel(grab, x, y) & 0xFFFFFF : 0xDEADBEEF;
    if (grab) FreeImage(grab);
    return pixel;
  }
  int image = 0;
};

// Fault caught: the transparent part of a skin left over whatever was there before
// instead of the window colour, or the image not blended on top.
TEST_F(ImageButton, FillsWithTheWindowColourThenBlendsTheImage) {
  DrawImageButton(kWindow, kGadget, image, 0, kColorText, "Update");
  EXPECT_EQ(Shown(10, 15), 0x00FF00u);
  EXPECT_EQ(Shown(70, 3), kColorBackground);
}

// Fault caught: the caption not drawn, or drawn off-centre, with a font given.
TEST_F(ImageButton, CaptionIsCentredInTheTextColour) {
  int font = CreateUiFont("Source Sans Pro", 12);
  ASSERT_NE(font, 0);
  DrawImageButton(kWindow, kGadget, image, font, 0xFF00FF, "&&&&&&&&&&");
  int grab = GrabWindowImage(kWindow, ImageAny);
  ASSERT_NE(grab, 0);
  int left = 80, right = -1;
  for (int x = 0; x < 80; ++x)
    for (int y = 0; y < 30; ++y) {
      uint32_t p = GetImagePixel(grab, x, y) & 0xFFFFFF;
      // Text pixels lean towards magenta (red and blue well above green).
      if (((p >> 16) & 0xFF) > ((p >> 8) & 0xFF) + 60 && (p & 0xFF) > ((p >> 8) & 0xFF) + 60) {
        left = std::min(left, x);
        right = std::max(right, x);
      }
    }
  FreeImage(grab);
  FreeFont(font);
  ASSERT_LE(left, right) << "no caption drawn";
  EXPECT_NEAR((left + right) / 2.0, 40.0, 3.0);
}

// Fault caught: a missing skin (image 0) painting an empty button over the canvas.
TEST_F(ImageButton, NoImageDrawsNothing) {
  DrawImageButton(kWindow, kGadget, 0, 0, kColorText, "Debug");
  EXPECT_EQ(Shown(10, 15), 0xFFFFFFu);
  EXPECT_EQ(Shown(70, 3), 0xFFFFFFu);
}

}  // namespace
