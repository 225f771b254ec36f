// The skin-image cache shared by every window, and the image-button painter.
#include "ui/ui.h"

SkinImageCache gSkinImages;

namespace {

// The second way to a scaled copy, for when the image store cannot resize a copy in
// place: draw the original scaled, alpha included, into a fresh 32-bit image.
int DrawScaledCopy(int original, int width, int height) {
  int image = CreateImage(ImageAny, width, height, 32, 0);
  if (!image) return 0;
  if (!StartDrawingImage(image)) {
    FreeImage(image);
    return 0;
  }
  DrawImageCopy(original, 0, 0, width, height);
  StopDrawing();
  return image;
}

}  // namespace

int LoadSkinImage(const std::string& fileName) {
  if (fileName.empty()) return 0;
  return LoadImageFile(ImageAny, gApp.dataFolder + fileName + ".png");
}

int SkinCacheLookup(const std::string& key) {
  auto it = gSkinImages.images.find(key);
  return it == gSkinImages.images.end() ? 0 : it->second;
}

void ClearSkinImageCache() {
  for (auto& [key, image] : gSkinImages.images)
    if (image && IsImage(image)) FreeImage(image);
  gSkinImages.images.clear();
}

int GetSkinImage(const std::string& fileName, const std::string& cacheKey, int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  // The unscaled image lives under its file name; a key equal to it would free it on the
  // first size change and read the file again, so it is refused.
  if (cacheKey.empty() || cacheKey == fileName) return 0;

  int& scaled = gSkinImages.images[cacheKey];
  if (scaled && IsImage(scaled)) {
    if (ImageWidth(scaled) == width && ImageHeight(scaled) == height) return scaled;
    FreeImage(scaled);
  }
  scaled = 0;

  int& original = gSkinImages.images[fileName];
  if (!original || !IsImage(original)) {
    auto load = gSkinImages.load ? gSkinImages.load : LoadSkinImage;
    original = load(fileName);
    if (!original) {
      // Nothing cached: a later call (after the file appears) tries again.
      gSkinImages.images.erase(fileName);
      return 0;
    }
  }

  int copy = CopyImage(original, ImageAny);
  if (!copy) return 0;
  if (!ResizeImage(copy, width, height)) {
    FreeImage(copy);
    copy = DrawScaledCopy(original, width, height);
    if (!copy) return 0;
  }
  scaled = copy;  // map nodes stay put when others are added
  return copy;
}

void DrawImageButton(int window, int gadget, int image, int font, uint32_t textColour, const std::string& caption) {
  if (!image || !IsImage(image)) return;
  if (!StartDrawingCanvas(window, gadget)) return;
  int w = OutputWidth(), h = OutputHeight();
  DrawBox(0, 0, w, h, kColorBackground);
  DrawImageBlend(image, 0, 0);
  if (font) {
    DrawingFont(font);
    DrawTextRect(0, 0, w, h, caption, TextSingleLine | TextCenter | TextVCenter | TextNoPrefix, textColour);
  }
  StopDrawing();
}
