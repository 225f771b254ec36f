// 2D drawing on surfaces: boxes and images in software on premultiplied BGRA,
// text through GDI. GDI leaves alpha alone (or zeroes it), so text is drawn
// white on black into a scratch bitmap and that coverage is composed with the
// colour here.
#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/rt_graphics.h"
#include "runtime/win/rt_win.h"

namespace rt {

namespace {

enum class Target { None, Canvas, Window, Image };

struct DrawState {
  Target target = Target::None;
  std::shared_ptr<Surface> surface;  // kept alive while drawn into
  bool opaque = false;               // canvases, windows and 24-bit images keep alpha 255
  int window = 0, gadget = 0;        // what StopDrawing refreshes
  std::shared_ptr<FontObject> font;  // nullptr: the default font
  bool clipped = false;              // a clip from ClipOutput is in force
  RECT clip{};
  bool wholeDirty = false;  // something was drawn without a clip: refresh the whole target
  std::vector<RECT> dirty;  // what the clipped drawing touched
};

thread_local DrawState tDraw;

// The scratch bitmap text is drawn into, one per thread, grown as needed.
class TextScratch {
 public:
  ~TextScratch() {
    if (dc_) {
      if (old_) SelectObject(dc_, old_);
      DeleteDC(dc_);
    }
  }
  HDC dc() {
    if (!dc_) {
      dc_ = CreateCompatibleDC(nullptr);
      if (dc_) {
        SetBkMode(dc_, TRANSPARENT);
        SetTextColor(dc_, RGB(255, 255, 255));
      }
    }
    return dc_;
  }
  // A black area of at least width x height at the scratch's top-left, its
  // origin moved to (left, top) of the target so that text lands where it would
  // on the target.
  Surface *Prepare(const RECT &area) {
    const int w = area.right - area.left, h = area.bottom - area.top;
    if (!dc()) return nullptr;
    if (!surface_ || surface_->width < w || surface_->height < h) {
      auto next =
          CreateSurface(std::max(w, surface_ ? surface_->width : 0), std::max(h, surface_ ? surface_->height : 0));
      if (!next) return nullptr;
      HGDIOBJ previous = SelectObject(dc_, next->bitmap);
      if (!old_) old_ = previous;
      surface_ = std::move(next);
    }
    GdiFlush();
    for (int y = 0; y < h; ++y) std::memset(surface_->pixels + static_cast<size_t>(y) * surface_->width, 0, w * 4u);
    SetViewportOrgEx(dc_, -area.left, -area.top, nullptr);
    return surface_.get();
  }

 private:
  HDC dc_ = nullptr;
  HGDIOBJ old_ = nullptr;
  std::shared_ptr<Surface> surface_;
};

thread_local TextScratch tScratch;

inline uint32_t Mul255(uint32_t x, uint32_t y) {
  const uint32_t t = x * y + 128;
  return (t + (t >> 8)) >> 8;
}

// Source over destination, both premultiplied.
inline uint32_t Over(uint32_t src, uint32_t dst) {
  const uint32_t sa = src >> 24;
  if (sa == 255) return src;
  if (sa == 0) return dst;
  const uint32_t k = 255 - sa;
  return (((src >> 24) + Mul255(dst >> 24, k)) << 24) | ((((src >> 16) & 0xFF) + Mul255((dst >> 16) & 0xFF, k)) << 16) |
         ((((src >> 8) & 0xFF) + Mul255((dst >> 8) & 0xFF, k)) << 8) | ((src & 0xFF) + Mul255(dst & 0xFF, k));
}

bool Begin(std::shared_ptr<Surface> surface, bool opaque) {
  if (tDraw.target != Target::None) StopDrawing();
  if (!surface) return false;
  tDraw.surface = std::move(surface);
  tDraw.opaque = opaque;
  tDraw.font.reset();
  tDraw.clipped = false;
  tDraw.wholeDirty = false;
  tDraw.dirty.clear();
  return true;
}

// Every drawing call asks this first, so it also notes that an unclipped call
// may have touched the whole target.
bool Drawing() {
  if (tDraw.target == Target::None || !tDraw.surface) return false;
  if (!tDraw.clipped) tDraw.wholeDirty = true;
  return true;
}

RECT Intersect(const RECT &a, const RECT &b) {
  RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
  if (r.right <= r.left || r.bottom <= r.top) r = RECT{0, 0, 0, 0};
  return r;
}

bool Empty(const RECT &r) { return r.right <= r.left || r.bottom <= r.top; }

// Where drawing may reach now: the clip, or the whole target.
RECT Bounds() {
  const RECT all{0, 0, tDraw.surface->width, tDraw.surface->height};
  return tDraw.clipped ? Intersect(tDraw.clip, all) : all;
}

// The part of a box (width, height may be huge) that drawing may change.
RECT Visible(int x, int y, int width, int height) {
  const RECT box{x, y, static_cast<LONG>(std::min<long long>(static_cast<long long>(x) + width, 0x7FFFFFFF)),
                 static_cast<LONG>(std::min<long long>(static_cast<long long>(y) + height, 0x7FFFFFFF))};
  return Intersect(box, Bounds());
}

template <typename PixelFn>
void ForEachPixel(const RECT &r, PixelFn fn) {
  Surface &s = *tDraw.surface;
  for (int y = r.top; y < r.bottom; ++y) {
    uint32_t *row = s.pixels + static_cast<size_t>(y) * s.width;
    for (int x = r.left; x < r.right; ++x) row[x] = fn(row[x], x, y);
  }
}

void Fill(int x, int y, int width, int height, uint32_t value) {
  const RECT r = Visible(x, y, width, height);
  ForEachPixel(r, [value](uint32_t, int, int) { return value; });
}

void DrawImageMode(int image, int x, int y, int width, int height, bool blend) {
  if (!Drawing()) return;
  auto src = GetImage(image);
  if (!src) return;
  const int w = width > 0 ? width : src->width;
  const int h = height > 0 ? height : src->height;
  if (w != src->width || h != src->height) {
    src = ScaleSurface(*src, w, h);
    if (!src) return;
  } else if (src == tDraw.surface) {
    // An image drawn onto itself is read from a copy.
    auto copy = CreateSurface(src->width, src->height);
    if (!copy) return;
    std::memcpy(copy->pixels, src->pixels, static_cast<size_t>(src->width) * src->height * 4);
    src = std::move(copy);
  }
  const RECT r = Visible(x, y, w, h);
  const Surface &s = *src;
  const uint32_t forced = tDraw.opaque ? 0xFF000000u : 0;
  if (blend)
    ForEachPixel(r, [&](uint32_t d, int px, int py) {
      return Over(s.pixels[static_cast<size_t>(py - y) * s.width + (px - x)], d) | forced;
    });
  else
    // On an opaque target a copied translucent pixel shows as it would over
    // black.
    ForEachPixel(r, [&](uint32_t, int px, int py) {
      return s.pixels[static_cast<size_t>(py - y) * s.width + (px - x)] | forced;
    });
}

HFONT CurrentFont() {
  if (!tDraw.font) tDraw.font = GetFont(0);
  return tDraw.font ? tDraw.font->handle : nullptr;
}

// Selects the drawing font into the scratch DC, which also measures.
HDC TextDc() {
  HDC dc = tScratch.dc();
  if (dc) SelectObject(dc, CurrentFont());
  return dc;
}

int LineHeight(HDC dc) {
  TEXTMETRICW tm{};
  return dc && GetTextMetricsW(dc, &tm) ? tm.tmHeight : 0;
}

// Runs `draw` (GDI text calls in target coordinates) and lays its coverage, in
// colour rgb, over the target inside `area`.
template <typename DrawFn>
void ComposeText(RECT area, uint32_t rgb, DrawFn draw) {
  area = Intersect(area, Bounds());
  if (Empty(area)) return;
  HDC dc = TextDc();
  Surface *scratch = dc ? tScratch.Prepare(area) : nullptr;
  if (!scratch) return;
  draw(dc);
  GdiFlush();
  rgb &= 0xFFFFFF;
  ForEachPixel(area, [&](uint32_t d, int px, int py) {
    const uint32_t c = scratch->pixels[static_cast<size_t>(py - area.top) * scratch->width + (px - area.left)];
    const uint32_t coverage = std::max({(c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF});
    return coverage ? Over(Premultiply((coverage << 24) | rgb), d) : d;
  });
}

// Word-wrapped lines (start, length) of a text without CRs: breaks at spaces,
// inside a word only when the word alone is wider than the line, and at every
// LF.
std::vector<std::pair<size_t, size_t>> WrapLines(HDC dc, const std::wstring &s, int width) {
  std::vector<std::pair<size_t, size_t>> lines;
  std::vector<int> ends;  // ends[k]: the width of the paragraph's first k + 1 characters
  size_t i = 0;
  for (;;) {
    size_t end = s.find(L'\n', i);
    if (end == std::wstring::npos) end = s.size();
    const int n = static_cast<int>(end - i);
    ends.assign(static_cast<size_t>(n), 0);
    SIZE total{};
    if (n > 0) GetTextExtentExPointW(dc, s.c_str() + i, n, 0, nullptr, ends.data(), &total);
    auto widthOf = [&](size_t from,
                       size_t to) {  // paragraph-relative [from, to)
      if (to <= from) return 0;
      return ends[to - 1] - (from ? ends[from - 1] : 0);
    };
    size_t p = 0;
    if (n == 0) lines.emplace_back(i, 0);
    while (p < static_cast<size_t>(n)) {
      size_t fit = p;
      for (size_t q = p; q < static_cast<size_t>(n);) {
        size_t w = q;
        while (w < static_cast<size_t>(n) && s[i + w] == L' ') ++w;
        while (w < static_cast<size_t>(n) && s[i + w] != L' ') ++w;
        if (widthOf(p, w) > width) break;
        fit = q = w;
      }
      if (fit == p) {  // one word wider than the line: break it where it stops fitting
        fit = p + 1;
        while (fit < static_cast<size_t>(n) && s[i + fit] != L' ' && widthOf(p, fit + 1) <= width) ++fit;
      }
      lines.emplace_back(i + p, fit - p);
      p = fit;
      while (p < static_cast<size_t>(n) && s[i + p] == L' ') ++p;  // spaces at a break vanish
    }
    if (end == s.size()) break;
    i = end + 1;
    if (i == s.size()) break;  // a final LF opens no empty line
  }
  return lines;
}

// Runs of white space (LFs included) as one space, none at the ends.
std::wstring Simplified(const std::wstring &s) {
  std::wstring out;
  for (wchar_t c : s) {
    const bool space = c == L' ' || c == L'\n' || c == L'\t';
    if (space) {
      if (!out.empty() && out.back() != L' ') out += L' ';
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == L' ') out.pop_back();
  return out;
}

void DrawLine(HDC dc, const std::wstring &s, RECT r, UINT format) {
  DrawTextW(dc, s.c_str(), static_cast<int>(s.size()), &r, format | DT_SINGLELINE | DT_NOPREFIX);
}

}  // namespace

}  // namespace rt

using namespace rt;

int StartDrawingCanvas(int window, int gadget) {
  Gadget *g = FindGadget(window, gadget);
  if (!g || g->kind != GadgetKind::Canvas) return 0;
  RECT client{};
  if (g->hwnd && GetClientRect(g->hwnd, &client))
    EnsureSurface(g->surface, client.right - client.left, client.bottom - client.top, 0xFFFFFFFFu);
  if (!Begin(g->surface, true)) return 0;
  tDraw.target = Target::Canvas;
  tDraw.window = window;
  tDraw.gadget = gadget;
  return 1;
}

int StartDrawingWindow(int window) {
  WindowRecord *w = FindWindow(window);
  if (!w) return 0;
  RECT client{};
  if (w->hwnd && GetClientRect(w->hwnd, &client))
    EnsureSurface(w->surface, client.right - client.left, client.bottom - client.top, 0xFF000000u | w->background);
  if (!Begin(w->surface, true)) return 0;
  tDraw.target = Target::Window;
  tDraw.window = window;
  tDraw.gadget = 0;
  return 1;
}

int StartDrawingImage(int image) {
  int depth = 24;
  auto img = GetImage(image, &depth);
  if (!Begin(std::move(img), depth != 32)) return 0;
  tDraw.target = Target::Image;
  return 1;
}

void StopDrawing() {
  const Target target = tDraw.target;
  const int window = tDraw.window, gadget = tDraw.gadget;
  // Only what clipped drawing touched goes to the screen; anything else shows
  // all.
  const bool whole = tDraw.wholeDirty || tDraw.dirty.empty();
  std::vector<RECT> dirty = std::move(tDraw.dirty);
  tDraw.target = Target::None;
  tDraw.surface.reset();
  tDraw.window = tDraw.gadget = 0;
  tDraw.clipped = false;
  tDraw.wholeDirty = false;
  tDraw.dirty.clear();
  if (target == Target::Canvas || target == Target::Window)
    RefreshDrawing(window, gadget, whole ? nullptr : dirty.data(), whole ? 0 : static_cast<int>(dirty.size()));
}

void ClipOutput(int x, int y, int width, int height) {
  if (tDraw.target == Target::None || !tDraw.surface) return;
  const RECT all{0, 0, tDraw.surface->width, tDraw.surface->height};
  tDraw.clip = Intersect(RECT{x, y, x + std::max(width, 0), y + std::max(height, 0)}, all);
  tDraw.clipped = true;
  if (!Empty(tDraw.clip)) tDraw.dirty.push_back(tDraw.clip);
}

void UnclipOutput() {
  if (tDraw.target == Target::None) return;
  tDraw.clipped = false;
}

int OutputWidth() { return Drawing() ? tDraw.surface->width : 0; }
int OutputHeight() { return Drawing() ? tDraw.surface->height : 0; }

void DrawBox(int x, int y, int width, int height, uint32_t rgb) {
  if (!Drawing() || width <= 0 || height <= 0) return;
  Fill(x, y, width, height, 0xFF000000u | (rgb & 0xFFFFFF));
}

void DrawBoxBlend(int x, int y, int width, int height, uint32_t rgba) {
  if (!Drawing() || width <= 0 || height <= 0) return;
  const uint32_t src = Premultiply(rgba);
  ForEachPixel(Visible(x, y, width, height), [src](uint32_t d, int, int) { return Over(src, d); });
}

void ClearBox(int x, int y, int width, int height) {
  if (!Drawing() || width <= 0 || height <= 0) return;
  Fill(x, y, width, height, tDraw.opaque ? 0xFF000000u : 0u);
}

void DrawImageBlend(int image, int x, int y, int width, int height) { DrawImageMode(image, x, y, width, height, true); }

void DrawImageCopy(int image, int x, int y, int width, int height) { DrawImageMode(image, x, y, width, height, false); }

void DrawingFont(int font) { tDraw.font = GetFont(font); }

void DrawTextAt(int x, int y, const std::string &text, uint32_t rgb) {
  if (!Drawing() || text.empty()) return;
  const std::wstring s = Wide(text);
  HDC dc = TextDc();
  SIZE size{};
  if (!dc || !GetTextExtentPoint32W(dc, s.c_str(), static_cast<int>(s.size()), &size)) return;
  // Glyphs may reach a little beyond their advance (overhangs, antialiasing).
  const int pad = std::max(2, static_cast<int>(size.cy / 2));
  const RECT area{x - pad, y, x + size.cx + pad, y + size.cy};
  ComposeText(area, rgb, [&](HDC target) {
    SetTextAlign(target, TA_LEFT | TA_TOP | TA_NOUPDATECP);
    ExtTextOutW(target, x, y, 0, nullptr, s.c_str(), static_cast<UINT>(s.size()), nullptr);
  });
}

void DrawTextRect(int x, int y, int width, int height, const std::string &text, int flags, uint32_t rgb) {
  if (!Drawing() || width <= 0 || height <= 0) return;
  std::wstring s = Wide(flags & TextNoPrefix ? text : StripPrefixes(text));
  s.erase(std::remove(s.begin(), s.end(), L'\r'), s.end());
  const UINT align = (flags & TextCenter) ? DT_CENTER : (flags & TextRight) ? DT_RIGHT : DT_LEFT;
  const UINT ellipsis = (flags & TextEndEllipsis) ? DT_END_ELLIPSIS : 0;
  const RECT box{x, y, x + width, y + height};
  if (!(flags & TextWordWrap) || (flags & TextSingleLine)) {
    std::replace(s.begin(), s.end(), L'\n', L' ');
    const UINT vertical = (flags & TextVCenter) ? DT_VCENTER : DT_TOP;
    ComposeText(box, rgb, [&](HDC dc) { DrawLine(dc, s, box, align | vertical | ellipsis); });
    return;
  }
  // Wrapped: as many lines as fit (at least one); when text is left over, the
  // last line shown carries all of it, cut with "..." when asked.
  HDC measure = TextDc();
  const int lineHeight = LineHeight(measure);
  if (!measure || lineHeight <= 0) return;
  const auto lines = WrapLines(measure, s, width);
  const int count = static_cast<int>(lines.size());
  const int shown = std::min(count, std::max(1, height / lineHeight));
  int top = y;
  if (flags & TextVCenter) top = y + (height - shown * lineHeight) / 2;
  ComposeText(box, rgb, [&](HDC dc) {
    for (int i = 0; i < shown; ++i) {
      const RECT line{x, top + i * lineHeight, x + width, top + (i + 1) * lineHeight};
      if (i == shown - 1 && count > shown) {
        std::wstring rest = s.substr(lines[i].first);
        if (ellipsis) {
          rest = Simplified(rest);
        } else {
          std::replace(rest.begin(), rest.end(), L'\n', L' ');
        }
        DrawLine(dc, rest, line, align | DT_TOP | ellipsis);
      } else {
        DrawLine(dc, s.substr(lines[i].first, lines[i].second), line, align | DT_TOP);
      }
    }
  });
}

int TextWidth(const std::string &text) {
  const std::wstring s = Wide(text);
  HDC dc = TextDc();
  SIZE size{};
  if (!dc || s.empty() || !GetTextExtentPoint32W(dc, s.c_str(), static_cast<int>(s.size()), &size)) return 0;
  return size.cx;
}

int TextHeight(const std::string &) { return LineHeight(TextDc()); }
