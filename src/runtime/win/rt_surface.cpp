// Surfaces: 32-bit premultiplied top-down DIB sections, and the pixel rules
// every drawing on them shares (premultiplication, smooth scaling).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "runtime/win/rt_win.h"

namespace rt {

namespace {

// x * y / 255 rounded, exact for every 8-bit pair.
inline uint32_t Mul255(uint32_t x, uint32_t y) {
  const uint32_t t = x * y + 128;
  return (t + (t >> 8)) >> 8;
}

// Weights of the source pixels that make one output pixel along one axis; the
// weights of an output sum to exactly kOne, so a flat colour comes out
// unchanged.
constexpr int kOneShift = 14;
constexpr int kOne = 1 << kOneShift;

struct Tap {
  int index;
  int weight;
};

struct AxisTaps {
  std::vector<int> first;  // per output: the index of its first tap in `taps`;
                           // one more at the end
  std::vector<Tap> taps;
};

AxisTaps MakeTaps(int source, int target) {
  AxisTaps out;
  out.first.reserve(static_cast<size_t>(target) + 1);
  const double scale = static_cast<double>(source) / target;
  std::vector<std::pair<int, double>> w;
  for (int i = 0; i < target; ++i) {
    w.clear();
    if (scale >= 1.0) {
      // Shrinking: the average of the source pixels the output pixel covers.
      const double a = i * scale, b = (i + 1) * scale;
      for (int j = static_cast<int>(std::floor(a)); j < source && j < b; ++j) {
        const double overlap = std::min(b, j + 1.0) - std::max(a, static_cast<double>(j));
        if (overlap > 0) w.emplace_back(j, overlap);
      }
    } else {
      // Growing: bilinear between the two nearest source pixel centres.
      const double c = (i + 0.5) * scale - 0.5;
      const int j = static_cast<int>(std::floor(c));
      const double f = c - j;
      w.emplace_back(std::clamp(j, 0, source - 1), 1.0 - f);
      w.emplace_back(std::clamp(j + 1, 0, source - 1), f);
    }
    double total = 0;
    for (const auto &p : w) total += p.second;
    out.first.push_back(static_cast<int>(out.taps.size()));
    int sum = 0;
    size_t largest = out.taps.size();
    for (const auto &p : w) {
      const int weight = static_cast<int>(std::lround(p.second / total * kOne));
      if (weight <= 0) continue;
      if (largest == out.taps.size() || weight > out.taps[largest].weight) largest = out.taps.size();
      out.taps.push_back({p.first, weight});
      sum += weight;
    }
    if (largest < out.taps.size()) out.taps[largest].weight += kOne - sum;
  }
  out.first.push_back(static_cast<int>(out.taps.size()));
  return out;
}

}  // namespace

Surface::~Surface() {
  if (bitmap) DeleteObject(bitmap);
}

std::shared_ptr<Surface> CreateSurface(int width, int height) {
  if (width <= 0 || height <= 0 || static_cast<long long>(width) * height > 0x1FFFFFFFLL) return nullptr;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down: row 0 first, as the pixel arithmetic expects
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void *bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap || !bits) {
    if (bitmap) DeleteObject(bitmap);
    return nullptr;
  }
  auto surface = std::make_shared<Surface>();
  surface->bitmap = bitmap;
  surface->pixels = static_cast<uint32_t *>(bits);
  surface->width = width;
  surface->height = height;
  return surface;  // the system hands out DIB memory zeroed: fully transparent
}

bool EnsureSurface(std::shared_ptr<Surface> &surface, int width, int height, uint32_t fill) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  if (surface && surface->width == width && surface->height == height) return true;
  auto next = CreateSurface(width, height);
  if (!next) return false;
  std::fill(next->pixels, next->pixels + static_cast<size_t>(width) * height, fill);
  if (surface) {
    const int w = std::min(width, surface->width), h = std::min(height, surface->height);
    for (int y = 0; y < h; ++y)
      std::memcpy(next->pixels + static_cast<size_t>(y) * width,
                  surface->pixels + static_cast<size_t>(y) * surface->width, static_cast<size_t>(w) * 4);
  }
  surface = std::move(next);
  return true;
}

uint32_t Premultiply(uint32_t argb) {
  const uint32_t a = argb >> 24;
  if (a == 255) return argb;
  if (a == 0) return 0;
  return (a << 24) | (Mul255((argb >> 16) & 0xFF, a) << 16) | (Mul255((argb >> 8) & 0xFF, a) << 8) |
         Mul255(argb & 0xFF, a);
}

uint32_t Unpremultiply(uint32_t premultiplied) {
  const uint32_t a = premultiplied >> 24;
  if (a == 255) return premultiplied;
  if (a == 0) return 0;
  auto channel = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
  return (a << 24) | (channel((premultiplied >> 16) & 0xFF) << 16) | (channel((premultiplied >> 8) & 0xFF) << 8) |
         channel(premultiplied & 0xFF);
}

std::shared_ptr<Surface> ScaleSurface(const Surface &source, int width, int height) {
  auto out = CreateSurface(width, height);
  if (!out) return nullptr;
  const AxisTaps across = MakeTaps(source.width, width);
  const AxisTaps down = MakeTaps(source.height, height);
  // Across first, into rows of 16-bit channels that keep 8 bits below the
  // point.
  std::vector<uint16_t> rows(static_cast<size_t>(source.height) * width * 4);
  for (int y = 0; y < source.height; ++y) {
    const uint32_t *src = source.pixels + static_cast<size_t>(y) * source.width;
    uint16_t *dst = rows.data() + static_cast<size_t>(y) * width * 4;
    for (int x = 0; x < width; ++x) {
      int32_t sum[4] = {0, 0, 0, 0};
      for (int t = across.first[x]; t < across.first[x + 1]; ++t) {
        const uint32_t p = src[across.taps[t].index];
        const int32_t w = across.taps[t].weight;
        for (int c = 0; c < 4; ++c) sum[c] += w * static_cast<int32_t>((p >> (c * 8)) & 0xFF);
      }
      for (int c = 0; c < 4; ++c) dst[x * 4 + c] = static_cast<uint16_t>((sum[c] + (1 << 5)) >> (kOneShift - 8));
    }
  }
  for (int y = 0; y < height; ++y) {
    uint32_t *dst = out->pixels + static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      int32_t sum[4] = {0, 0, 0, 0};
      for (int t = down.first[y]; t < down.first[y + 1]; ++t) {
        const uint16_t *p = rows.data() + (static_cast<size_t>(down.taps[t].index) * width + x) * 4;
        const int32_t w = down.taps[t].weight;
        for (int c = 0; c < 4; ++c) sum[c] += w * static_cast<int32_t>(p[c]);
      }
      uint32_t v = 0;
      for (int c = 0; c < 4; ++c) {
        const uint32_t ch =
            std::min<uint32_t>(255, static_cast<uint32_t>(sum[c] + (1 << (kOneShift + 7))) >> (kOneShift + 8));
        v |= ch << (c * 8);
      }
      dst[x] = v;
    }
  }
  return out;
}

}  // namespace rt
