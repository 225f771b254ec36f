// Image decoding (PNG, JPEG), image handles and drawing into images.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <wincodec.h>
#else
#include <jpeglib.h>
#include <png.h>
#endif

#include "runtime_env.h"

namespace {

#ifdef _WIN32
// Windows has no libpng or libjpeg to make the test files with: WIC's encoders make them.
std::vector<unsigned char> WicEncode(const GUID& container, const GUID& format, int w, int h, const void* pixels,
                                     int stride) {
  std::vector<unsigned char> out;
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IWICImagingFactory* factory = nullptr;
  IStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  IPropertyBag2* options = nullptr;
  WICPixelFormatGUID chosen = format;
  const bool ok = SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))) &&
                  SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) &&
                  SUCCEEDED(factory->CreateEncoder(container, nullptr, &encoder)) &&
                  SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
                  SUCCEEDED(encoder->CreateNewFrame(&frame, &options)) && SUCCEEDED(frame->Initialize(options)) &&
                  SUCCEEDED(frame->SetSize(w, h)) && SUCCEEDED(frame->SetPixelFormat(&chosen)) &&
                  IsEqualGUID(chosen, format) &&
                  SUCCEEDED(frame->WritePixels(h, stride, stride * h, static_cast<BYTE*>(const_cast<void*>(pixels)))) &&
                  SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
  HGLOBAL memory = nullptr;
  ULARGE_INTEGER size{};
  if (ok && SUCCEEDED(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &size)) &&
      SUCCEEDED(GetHGlobalFromStream(stream, &memory))) {
    const auto* bytes = static_cast<const unsigned char*>(GlobalLock(memory));
    out.assign(bytes, bytes + size.QuadPart);
    GlobalUnlock(memory);
  }
  for (IUnknown* p : std::initializer_list<IUnknown*>{options, frame, encoder, stream, factory})
    if (p) p->Release();
  if (SUCCEEDED(com)) CoUninitialize();
  EXPECT_FALSE(out.empty()) << "WIC could not encode the test image";
  return out;
}

std::vector<unsigned char> MakePng(int w, int h, const std::vector<uint32_t>& argb) {
  return WicEncode(GUID_ContainerFormatPng, GUID_WICPixelFormat32bppBGRA, w, h, argb.data(), w * 4);
}

std::vector<unsigned char> MakeJpeg(int w, int h, int r, int g, int b, int components) {
  std::vector<unsigned char> px;
  for (int i = 0; i < w * h; ++i) {
    if (components == 3) {
      px.insert(px.end(),
                {static_cast<unsigned char>(b), static_cast<unsigned char>(g), static_cast<unsigned char>(r)});
    } else {
      px.push_back(static_cast<unsigned char>(r));
    }
  }
  const int stride = w * components;
  return WicEncode(GUID_ContainerFormatJpeg,
                   components == 3 ? GUID_WICPixelFormat24bppBGR : GUID_WICPixelFormat8bppGray, w, h, px.data(),
                   stride);
}
#else
// A small RGBA PNG made in memory with libpng.
std::vector<unsigned char> MakePng(int w, int h, const std::vector<uint32_t>& argb) {
  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  img.width = w;
  img.height = h;
  img.format = PNG_FORMAT_RGBA;
  std::vector<unsigned char> rgba;
  for (uint32_t p : argb) {
    rgba.push_back((p >> 16) & 0xFF);
    rgba.push_back((p >> 8) & 0xFF);
    rgba.push_back(p & 0xFF);
    rgba.push_back(p >> 24);
  }
  png_alloc_size_t size = 0;
  EXPECT_TRUE(png_image_write_to_memory(&img, nullptr, &size, 0, rgba.data(), 0, nullptr));
  std::vector<unsigned char> out(size);
  EXPECT_TRUE(png_image_write_to_memory(&img, out.data(), &size, 0, rgba.data(), 0, nullptr));
  out.resize(size);
  return out;
}

// A solid-colour JPEG made in memory with libjpeg (components 3 = RGB, 1 = grey).
std::vector<unsigned char> MakeJpeg(int w, int h, int r, int g, int b, int components) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = w;
  c.image_height = h;
  c.input_components = components;
  c.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 95, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::vector<unsigned char> row(w * components);
  for (int x = 0; x < w; ++x) {
    if (components == 3) {
      row[x * 3] = r;
      row[x * 3 + 1] = g;
      row[x * 3 + 2] = b;
    } else {
      row[x] = r;
    }
  }
  while (c.next_scanline < c.image_height) {
    JSAMPROW rp = row.data();
    jpeg_write_scanlines(&c, &rp, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<unsigned char> out(buf, buf + size);
  jpeg_destroy_compress(&c);
  free(buf);
  return out;
}
#endif

int Channel(uint32_t p, int shift) { return (p >> shift) & 0xFF; }

std::string TempPath(const char* name) {
#ifdef _WIN32
  const char* dir = getenv("TEMP");
#else
  const char* dir = getenv("TMPDIR");
#endif
  std::string base = dir && *dir ? dir : "/tmp";
  return base + "/corvale-rt-" + std::to_string(getpid()) + "-" + name;
}

// Catches channel swaps (RGBA vs BGRA), lost alpha or a premultiplied value leaking out.
TEST(ImageDecode, PngPixelsAndAlpha) {
  std::vector<uint32_t> px = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0x80FFFFFF, 0x00000000, 0xFF102030};
  auto png = MakePng(3, 2, px);
  int img = CatchImage(ImageAny, png.data(), png.size());
  ASSERT_GE(img, 0x10000);
  EXPECT_EQ(ImageWidth(img), 3);
  EXPECT_EQ(ImageHeight(img), 2);
  EXPECT_EQ(ImageDepth(img), 32);
  EXPECT_EQ(GetImagePixel(img, 0, 0), 0xFFFF0000u);
  EXPECT_EQ(GetImagePixel(img, 1, 0), 0xFF00FF00u);
  EXPECT_EQ(GetImagePixel(img, 2, 0), 0xFF0000FFu);
  uint32_t half = GetImagePixel(img, 0, 1);
  EXPECT_EQ(Channel(half, 24), 0x80);
  EXPECT_NEAR(Channel(half, 16), 255, 2);
  EXPECT_EQ(Channel(GetImagePixel(img, 1, 1), 24), 0);
  EXPECT_EQ(GetImagePixel(img, 2, 1), 0xFF102030u);
  EXPECT_EQ(GetImagePixel(img, 3, 0), 0u);  // outside
  FreeImage(img);
  EXPECT_EQ(IsImage(img), 0);
}

// Catches a file path that is not read, and a PNG writer that loses pixels.
TEST(ImageDecode, PngFileRoundTrip) {
  auto png = MakePng(2, 1, {0xFFAABBCC, 0x40112233});
  std::string path = TempPath("a.png");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  fwrite(png.data(), 1, png.size(), f);
  fclose(f);
  ASSERT_EQ(LoadImageFile(5, path), 5);
  EXPECT_EQ(GetImagePixel(5, 0, 0), 0xFFAABBCCu);
  std::string out = TempPath("b.png");
  ASSERT_EQ(SaveImagePng(5, out), 1);
  ASSERT_EQ(LoadImageFile(6, out), 6);
  EXPECT_EQ(GetImagePixel(6, 0, 0), 0xFFAABBCCu);
  EXPECT_EQ(Channel(GetImagePixel(6, 1, 0), 24), 0x40);
  FreeImage(5);
  FreeImage(6);
  remove(path.c_str());
  remove(out.c_str());
  EXPECT_EQ(LoadImageFile(5, path), 0);  // gone
}

// Catches JPEG colours decoded with swapped channels, and grey images not expanded.
TEST(ImageDecode, JpegColourAndGrey) {
  auto jpg = MakeJpeg(16, 8, 200, 40, 10, 3);
  int img = CatchImage(ImageAny, jpg.data(), jpg.size());
  ASSERT_GT(img, 0);
  EXPECT_EQ(ImageWidth(img), 16);
  EXPECT_EQ(ImageHeight(img), 8);
  uint32_t p = GetImagePixel(img, 5, 5);
  EXPECT_EQ(Channel(p, 24), 255);
  EXPECT_NEAR(Channel(p, 16), 200, 6);
  EXPECT_NEAR(Channel(p, 8), 40, 6);
  EXPECT_NEAR(Channel(p, 0), 10, 6);
  FreeImage(img);
  auto grey = MakeJpeg(8, 8, 128, 0, 0, 1);
  img = CatchImage(ImageAny, grey.data(), grey.size());
  ASSERT_GT(img, 0);
  p = GetImagePixel(img, 3, 3);
  EXPECT_NEAR(Channel(p, 16), 128, 4);
  EXPECT_NEAR(Channel(p, 8), 128, 4);
  EXPECT_NEAR(Channel(p, 0), 128, 4);
  FreeImage(img);
}

// Catches crashes or half-made images on broken and hostile input.
TEST(ImageDecode, RejectsBrokenInput) {
  auto png = MakePng(4, 4, std::vector<uint32_t>(16, 0xFF808080));
  EXPECT_EQ(CatchImage(ImageAny, png.data(), png.size() / 2), 0);  // cut short
  auto jpg = MakeJpeg(16, 16, 1, 2, 3, 3);
  EXPECT_EQ(CatchImage(ImageAny, jpg.data(), 40), 0);  // header only
  const unsigned char junk[] = "GIF89a not an image we read";
  EXPECT_EQ(CatchImage(ImageAny, junk, sizeof junk), 0);
  EXPECT_EQ(CatchImage(ImageAny, nullptr, 0), 0);
  // A PNG header claiming 100000 x 100000 pixels must not be allocated.
  auto big = MakePng(1, 1, {0xFF000000});
  big[16] = 0x00;
  big[17] = 0x01;
  big[18] = 0x86;
  big[19] = 0xA0;
  big[20] = 0x00;
  big[21] = 0x01;
  big[22] = 0x86;
  big[23] = 0xA0;
  EXPECT_EQ(CatchImage(ImageAny, big.data(), big.size()), 0);
}

// Catches numbers outside the fixed range being accepted, and copies sharing pixels.
TEST(Images, NumbersHandlesAndCopies) {
  EXPECT_EQ(CreateImage(0, 4, 4), 0);
  EXPECT_EQ(CreateImage(70000, 4, 4), 0);
  EXPECT_EQ(CreateImage(3, 0, 4), 0);
  ASSERT_EQ(CreateImage(3, 4, 4, 24, 0x112233), 3);
  EXPECT_EQ(GetImagePixel(3, 1, 1), 0xFF112233u);
  ASSERT_EQ(CopyImage(3, 4), 4);
  ASSERT_EQ(StartDrawingImage(4), 1);
  DrawBox(0, 0, 4, 4, 0xFFFFFF);
  StopDrawing();
  EXPECT_EQ(GetImagePixel(3, 0, 0), 0xFF112233u);  // the source is untouched
  EXPECT_EQ(GetImagePixel(4, 0, 0), 0xFFFFFFFFu);
  ASSERT_EQ(ResizeImage(3, 8, 2), 3);
  EXPECT_EQ(ImageWidth(3), 8);
  EXPECT_EQ(ImageHeight(3), 2);
  EXPECT_EQ(GetImagePixel(3, 7, 1), 0xFF112233u);  // smooth resize of a flat colour
  FreeImage(3);
  FreeImage(4);
}

// Catches a handle the runtime gave out being refused when the image is resized in place.
TEST(Images, HandlesFromTheRuntimeResizeInPlace) {
  int h = CreateImage(ImageAny, 4, 4, 32, 0x445566);
  ASSERT_GT(h, 0xFFFF);
  EXPECT_EQ(ResizeImage(h, 10, 6), h);
  EXPECT_EQ(ImageWidth(h), 10);
  EXPECT_EQ(ImageHeight(h), 6);
  EXPECT_EQ(CreateImage(h + 1000, 4, 4), 0);  // a handle never given out stays refused
  FreeImage(h);
}

// Catches blending done as copying (or the reverse) and alpha lost on 32-bit images.
TEST(Drawing, BoxesBlendAndClear) {
  ASSERT_EQ(CreateImage(10, 10, 10, 24, 0xFF0000), 10);
  ASSERT_EQ(StartDrawingImage(10), 1);
  EXPECT_EQ(OutputWidth(), 10);
  DrawBoxBlend(0, 0, 5, 10, 0x80000000);  // half black over red
  DrawBox(5, 0, 5, 5, 0x00FF00);
  StopDrawing();
  uint32_t p = GetImagePixel(10, 1, 1);
  EXPECT_NEAR(Channel(p, 16), 127, 2);
  EXPECT_EQ(Channel(p, 8), 0);
  EXPECT_EQ(GetImagePixel(10, 7, 2), 0xFF00FF00u);
  EXPECT_EQ(GetImagePixel(10, 7, 7), 0xFFFF0000u);  // outside both boxes

  ASSERT_EQ(CreateImage(11, 4, 4, 32, 0x0000FF), 11);
  ASSERT_EQ(StartDrawingImage(11), 1);
  ClearBox(0, 0, 4, 2);
  StopDrawing();
  EXPECT_EQ(Channel(GetImagePixel(11, 0, 0), 24), 0);
  EXPECT_EQ(GetImagePixel(11, 0, 3), 0xFF0000FFu);
  FreeImage(10);
  FreeImage(11);
}

// Catches images drawn without their alpha, not scaled, or blended when copied.
TEST(Drawing, ImagesBlendScaleAndCopy) {
  auto png = MakePng(1, 1, {0x80FFFFFF});  // half-transparent white
  ASSERT_EQ(CatchImage(20, png.data(), png.size()), 20);
  ASSERT_EQ(CreateImage(21, 6, 6, 24, 0x000000), 21);
  ASSERT_EQ(StartDrawingImage(21), 1);
  DrawImageBlend(20, 1, 1, 4, 4);
  StopDrawing();
  EXPECT_NEAR(Channel(GetImagePixel(21, 2, 2), 16), 128, 3);
  EXPECT_NEAR(Channel(GetImagePixel(21, 4, 4), 16), 128, 3);
  EXPECT_EQ(GetImagePixel(21, 0, 0), 0xFF000000u);
  EXPECT_EQ(GetImagePixel(21, 5, 5), 0xFF000000u);

  ASSERT_EQ(CreateImage(22, 2, 2, 32, 0x00FF00), 22);
  ASSERT_EQ(StartDrawingImage(22), 1);
  DrawImageCopy(20, 0, 0, 2, 2);
  StopDrawing();
  uint32_t p = GetImagePixel(22, 1, 1);
  EXPECT_NEAR(Channel(p, 24), 0x80, 2);  // the copy carries the source's alpha
  EXPECT_NEAR(Channel(p, 8), 255, 3);    // white, not white blended over green
  EXPECT_NEAR(Channel(p, 16), 255, 3);
  FreeImage(20);
  FreeImage(21);
  FreeImage(22);
}

int LitPixels(int img, int x0, int y0, int x1, int y1) {
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      if ((GetImagePixel(img, x, y) & 0xFFFFFF) != 0) ++n;
  return n;
}

// Catches text drawn outside its rectangle (no clipping) or not drawn at all.
TEST(Drawing, TextStaysInItsRectangle) {
  int font = CreateUiFont("Source Sans Pro", 14.0f);
  ASSERT_EQ(CreateImage(30, 200, 60, 24, 0), 30);
  ASSERT_EQ(StartDrawingImage(30), 1);
  DrawingFont(font);
  DrawTextRect(10, 10, 60, 20, "A long line of text that cannot fit here", TextSingleLine | TextVCenter, 0xFFFFFF);
  int narrow = TextWidth("ab");
  int wide = TextWidth("abababab");
  StopDrawing();
  EXPECT_GT(LitPixels(30, 10, 10, 70, 30), 20);
  EXPECT_EQ(LitPixels(30, 70, 0, 200, 60), 0);
  EXPECT_EQ(LitPixels(30, 0, 30, 200, 60), 0);
  EXPECT_GT(wide, narrow);
  FreeImage(30);
  FreeFont(font);
}

// Catches an ellipsis that drops the whole text, and centring that is ignored.
TEST(Drawing, EllipsisAndCentre) {
  int font = CreateUiFont("Source Sans Pro", 14.0f);
  ASSERT_EQ(CreateImage(31, 300, 30, 24, 0), 31);
  ASSERT_EQ(StartDrawingImage(31), 1);
  DrawingFont(font);
  DrawTextRect(0, 0, 300, 30, "x", TextSingleLine | TextCenter | TextVCenter, 0xFFFFFF);
  StopDrawing();
  EXPECT_EQ(LitPixels(31, 0, 0, 120, 30), 0);
  EXPECT_GT(LitPixels(31, 130, 0, 170, 30), 0);
  ASSERT_EQ(StartDrawingImage(31), 1);
  DrawBox(0, 0, 300, 30, 0);
  DrawingFont(font);
  DrawTextRect(0, 0, 80, 30, "Wordy words beyond the edge of the box", TextEndEllipsis | TextNoPrefix, 0xFFFFFF);
  StopDrawing();
  EXPECT_GT(LitPixels(31, 0, 0, 80, 30), 10);
  EXPECT_EQ(LitPixels(31, 80, 0, 300, 30), 0);
  FreeImage(31);
  FreeFont(font);
}

// Catches word wrap that leaves the text on one clipped line.
TEST(Drawing, WordWrapUsesSeveralLines) {
  int font = CreateUiFont("Source Sans Pro", 12.0f);
  ASSERT_EQ(CreateImage(32, 100, 100, 24, 0), 32);
  ASSERT_EQ(StartDrawingImage(32), 1);
  DrawingFont(font);
  int lineH = TextHeight("x");
  DrawTextRect(0, 0, 100, 100, "one two three four five six seven eight", TextWordWrap | TextNoPrefix, 0xFFFFFF);
  StopDrawing();
  ASSERT_GT(lineH, 0);
  EXPECT_GT(LitPixels(32, 0, lineH, 100, 2 * lineH), 0);  // a second line exists
  FreeImage(32);
  FreeFont(font);
}

// Catches text that keeps the alpha GDI leaves (0: invisible once composed) or its coverage
// taken for colour: on a transparent image text has alpha exactly where the same text
// lights a black image, and its colour comes back as the colour asked for.
TEST(Drawing, TextOnTransparentImageCarriesAlpha) {
  int font = CreateUiFont("Source Sans Pro", 14.0f);
  const uint32_t colour = 0x20C0FF;
  struct Target {
    int image, depth;
    uint32_t rgb;
  } targets[] = {{35, 24, 0xFFFFFF}, {36, 32, colour}};
  for (const Target& t : targets) {
    ASSERT_EQ(CreateImage(t.image, 120, 30, t.depth, 0), t.image);
    ASSERT_EQ(StartDrawingImage(t.image), 1);
    ClearBox(0, 0, 120, 30);
    DrawingFont(font);
    DrawTextRect(2, 2, 116, 26, "Alpha & Text", TextSingleLine | TextNoPrefix, t.rgb);
    StopDrawing();
  }
  int glyph = 0, alphaMismatch = 0, colourMismatch = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 120; ++x) {
      const bool lit = (GetImagePixel(35, x, y) & 0xFFFFFF) != 0;
      const uint32_t p = GetImagePixel(36, x, y);
      glyph += lit;
      alphaMismatch += lit != (Channel(p, 24) > 0);
      if (Channel(p, 24) >= 128)
        colourMismatch += std::abs(Channel(p, 16) - 0x20) > 3 || std::abs(Channel(p, 8) - 0xC0) > 3 ||
                          std::abs(Channel(p, 0) - 0xFF) > 3;
    }
  EXPECT_GT(glyph, 40);
  EXPECT_EQ(alphaMismatch, 0);
  EXPECT_EQ(colourMismatch, 0);
  FreeImage(35);
  FreeImage(36);
  FreeFont(font);
}

// Catches UTF-8 file names handed to the system as bytes (Windows reads those in the ANSI
// code page, so a save and a load would agree on the same wrong name).
TEST(ImageDecode, NonAsciiFileName) {
  ASSERT_EQ(CreateImage(37, 3, 2, 24, 0x123456), 37);
  const std::string path = TempPath("Zo\xC3\xAB \xE2\x80\x93 \xE6\x97\xA5.png");
  const std::filesystem::path native(std::u8string(path.begin(), path.end()));
  ASSERT_EQ(SaveImagePng(37, path), 1);
  EXPECT_TRUE(std::filesystem::exists(native));
  ASSERT_EQ(LoadImageFile(38, path), 38);
  EXPECT_EQ(GetImagePixel(38, 2, 1), 0xFF123456u);
  std::filesystem::remove(native);
  FreeImage(37);
  FreeImage(38);
}

// Catches drawing that needs a started target, or a draw after StopDrawing reaching the image.
TEST(Drawing, NothingWithoutTarget) {
  ASSERT_EQ(CreateImage(33, 4, 4, 24, 0), 33);
  DrawBox(0, 0, 4, 4, 0xFFFFFF);  // no drawing started: ignored
  EXPECT_EQ(GetImagePixel(33, 0, 0), 0xFF000000u);
  EXPECT_EQ(StartDrawingImage(34), 0);  // no such image
  FreeImage(33);
}

}  // namespace

namespace {

// CRC-32 of a PNG chunk's type and data, as the format stores it.
uint32_t ChunkCrc(const std::string& typeAndData) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : typeAndData) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xFFFFFFFFu;
}

void PutBig32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

// A PNG that is only a header: signature, an IHDR announcing width x height RGBA, an
// IDAT of a few bytes and IEND. Decoding it for real would need width x height x 4 bytes.
std::vector<unsigned char> HostilePngHeader(uint32_t width, uint32_t height) {
  std::string png = "\x89PNG\r\n\x1a\n";
  auto chunk = [&png](const std::string& type, const std::string& data) {
    PutBig32(png, static_cast<uint32_t>(data.size()));
    png += type + data;
    PutBig32(png, ChunkCrc(type + data));
  };
  std::string ihdr;
  PutBig32(ihdr, width);
  PutBig32(ihdr, height);
  ihdr += std::string("\x08\x06\x00\x00\x00", 5);
  chunk("IHDR", ihdr);
  chunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8));
  chunk("IEND", "");
  return std::vector<unsigned char>(png.begin(), png.end());
}

// A real JPEG whose frame header (SOF0) is rewritten to announce width x height.
std::vector<unsigned char> HostileJpegHeader(uint16_t width, uint16_t height) {
  auto jpg = MakeJpeg(16, 16, 10, 20, 30, 3);
  for (size_t i = 0; i + 8 < jpg.size(); ++i) {
    if (jpg[i] == 0xFF && jpg[i + 1] == 0xC0) {
      jpg[i + 5] = static_cast<unsigned char>(height >> 8);
      jpg[i + 6] = static_cast<unsigned char>(height & 0xFF);
      jpg[i + 7] = static_cast<unsigned char>(width >> 8);
      jpg[i + 8] = static_cast<unsigned char>(width & 0xFF);
      break;
    }
  }
  return jpg;
}

}  // namespace

// Catches network bytes decoded without the artwork bound (or with it off by one, or on
// one side only), and a bound that refuses ordinary artwork.
TEST(UntrustedDecode, SidesAbove4096AreRefused) {
  struct Case {
    bool jpeg;
    int w, h;
    bool accepted;
  } cases[] = {
      {false, 240, 240, true}, {false, 4096, 1, true}, {false, 4097, 1, false}, {false, 1, 4097, false},
      {true, 240, 240, true},  {true, 4096, 8, true},  {true, 4097, 8, false},  {true, 8, 4097, false},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> bytes =
        c.jpeg ? MakeJpeg(c.w, c.h, 90, 90, 90, 3)
               : MakePng(c.w, c.h, std::vector<uint32_t>(static_cast<size_t>(c.w) * c.h, 0xFF5A5A5Au));
    int img = CatchUntrustedImage(ImageAny, bytes.data(), bytes.size());
    EXPECT_EQ(img != 0, c.accepted) << (c.jpeg ? "jpeg " : "png ") << c.w << "x" << c.h;
    if (img) {
      EXPECT_EQ(ImageWidth(img), c.w);
      FreeImage(img);
    }
  }
}

// Catches a hostile header (8000 x 8000: 256 MB of pixels, under the trusted decoder's
// own ceiling) taken at its word: the untrusted decode refuses it from the header alone.
TEST(UntrustedDecode, HostileHeadersAreRefused) {
  auto png = HostilePngHeader(8000, 8000);
  EXPECT_EQ(CatchUntrustedImage(ImageAny, png.data(), png.size()), 0);
  auto jpg = HostileJpegHeader(8000, 8000);
  EXPECT_EQ(CatchUntrustedImage(ImageAny, jpg.data(), jpg.size()), 0);
  // The same forged headers within the bound still pass the size check; their pixels
  // are then decoded as far as the data goes.
  auto smallJpg = HostileJpegHeader(64, 64);
  int img = CatchUntrustedImage(ImageAny, smallJpg.data(), smallJpg.size());
  EXPECT_NE(img, 0);
  if (img) FreeImage(img);
}

// The window fonts: pixel height round(size / 0.72).
TEST(Fonts, UiFontSizeRule) {
  EXPECT_EQ(UiFontPixelHeight(10.0f), 14);
  EXPECT_EQ(UiFontPixelHeight(15.0f), 21);
  EXPECT_EQ(UiFontPixelHeight(7.2f), 10);
  EXPECT_EQ(UiFontPixelHeight(13.5f), 19);
}
