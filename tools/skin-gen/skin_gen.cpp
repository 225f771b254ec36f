// Draws every skin image of the player into PNG files: the VU meter overlays, the
// tray and taskbar icons, the default artwork and the preferences controls.
// Usage: skin-gen <output folder>
//        skin-gen --icons <folder>   (the application icon in the hicolor sizes)
//        skin-gen --ico <file>       (the application icon as a Windows icon file)
//
// Shapes are described by inside-tests and rendered with 8 x 8 supersampling into a
// premultiplied float canvas, so every edge gets a proper alpha ramp. Edges that
// matter sit on even pixel positions where possible, which keeps them sharp when a
// window scales the 24-pixel images by 1.5.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rgba {
  double r, g, b, a;
};

Rgba Rgb(int r, int g, int b, double a = 1.0) { return {r / 255.0, g / 255.0, b / 255.0, a}; }

Rgba Mix(Rgba x, Rgba y, double t) {
  return {x.r + (y.r - x.r) * t, x.g + (y.g - x.g) * t, x.b + (y.b - x.b) * t, x.a + (y.a - x.a) * t};
}

Rgba WithAlpha(Rgba c, double a) { return {c.r, c.g, c.b, a}; }

// The palette shared by every image.
const Rgba kWindow = Rgb(44, 28, 60);        // window background
const Rgba kText = Rgb(207, 207, 207);       // text and line work
const Rgba kBright = Rgb(240, 238, 244);     // line work under the mouse
const Rgba kFace = Rgb(62, 42, 86);          // raised control face
const Rgba kFaceHover = Rgb(82, 58, 112);    // raised face under the mouse
const Rgba kEdge = Rgb(112, 88, 142);        // control outline
const Rgba kEdgeHover = Rgb(160, 136, 192);  // outline under the mouse
const Rgba kDim = Rgb(92, 78, 110);          // disabled line work
const Rgba kDimFace = Rgb(52, 38, 68);       // disabled face
const Rgba kWell = Rgb(26, 16, 36);          // sunken track
const Rgba kRed = Rgb(214, 52, 52);          // muted
const Rgba kAmber = Rgb(222, 184, 48);       // connecting
const Rgba kGreen = Rgb(0, 127, 63);         // "on" (the meter's green)
const Rgba kGreenHover = Rgb(20, 156, 84);
const Rgba kTeal = Rgb(0, 95, 95);
const Rgba kMeterRed = Rgb(191, 0, 0);
const Rgba kMeterYellow = Rgb(191, 191, 0);

using Shape = std::function<bool(double, double)>;
using Paint = std::function<Rgba(double, double)>;

struct Canvas {
  int w = 0, h = 0;
  std::vector<double> px;  // premultiplied r, g, b, a per pixel

  Canvas(int width, int height) : w(width), h(height), px(size_t(width) * height * 4, 0.0) {}

  // Composites colour `c` over pixel (x, y) with coverage `cov`.
  void Over(int x, int y, Rgba c, double cov) {
    double a = c.a * cov;
    if (a <= 0) return;
    double* p = &px[(size_t(y) * w + x) * 4];
    p[0] = c.r * a + p[0] * (1 - a);
    p[1] = c.g * a + p[1] * (1 - a);
    p[2] = c.b * a + p[2] * (1 - a);
    p[3] = a + p[3] * (1 - a);
  }

  // Scales the alpha of every pixel inside `shape` (coverage-weighted) by `keep`.
  void Erase(const Shape& shape, double keep = 0.0) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        double cov = Coverage(shape, x, y);
        if (cov <= 0) continue;
        double f = 1 - cov * (1 - keep);
        double* p = &px[(size_t(y) * w + x) * 4];
        for (int i = 0; i < 4; ++i) p[i] *= f;
      }
  }

  static double Coverage(const Shape& shape, int x, int y) {
    constexpr int kSub = 8;
    int inside = 0;
    for (int sy = 0; sy < kSub; ++sy)
      for (int sx = 0; sx < kSub; ++sx)
        if (shape(x + (sx + 0.5) / kSub, y + (sy + 0.5) / kSub)) ++inside;
    return double(inside) / (kSub * kSub);
  }

  void Fill(const Shape& shape, const Paint& paint) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        double cov = Coverage(shape, x, y);
        if (cov > 0) Over(x, y, paint(x + 0.5, y + 0.5), cov);
      }
  }
  void Fill(const Shape& shape, Rgba c) {
    Fill(shape, [c](double, double) { return c; });
  }

  bool Save(const std::string& path) const;
};

bool Canvas::Save(const std::string& path) const {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    std::fclose(f);
    return false;
  }
  std::vector<unsigned char> rows(size_t(w) * h * 4);
  for (int i = 0; i < w * h; ++i) {
    const double* p = &px[size_t(i) * 4];
    double a = std::clamp(p[3], 0.0, 1.0);
    for (int k = 0; k < 3; ++k) {
      double v = a > 0 ? p[k] / a : 0.0;
      rows[size_t(i) * 4 + k] = (unsigned char)std::lround(std::clamp(v, 0.0, 1.0) * 255);
    }
    rows[size_t(i) * 4 + 3] = (unsigned char)std::lround(a * 255);
  }
  std::vector<png_bytep> rowPtr(h);
  for (int y = 0; y < h; ++y) rowPtr[y] = &rows[size_t(y) * w * 4];
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 9);
  png_write_info(png, info);
  png_write_image(png, rowPtr.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

// --- Shapes ---------------------------------------------------------------------

Shape Circle(double cx, double cy, double r) {
  return [=](double x, double y) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r; };
}

Shape Ring(double cx, double cy, double r, double width) {
  double ro = r + width / 2, ri = r - width / 2;
  return [=](double x, double y) {
    double d = (x - cx) * (x - cx) + (y - cy) * (y - cy);
    return d <= ro * ro && d >= ri * ri;
  };
}

Shape Box(double x0, double y0, double x1, double y1) {
  return [=](double x, double y) { return x >= x0 && x < x1 && y >= y0 && y < y1; };
}

Shape RoundBox(double x0, double y0, double x1, double y1, double r) {
  return [=](double x, double y) {
    if (x < x0 || x >= x1 || y < y0 || y >= y1) return false;
    double cx = std::clamp(x, x0 + r, x1 - r), cy = std::clamp(y, y0 + r, y1 - r);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
  };
}

// Outline of a rounded box, `width` pixels wide, inside the box's edge.
Shape RoundFrame(double x0, double y0, double x1, double y1, double r, double width) {
  Shape outer = RoundBox(x0, y0, x1, y1, r);
  Shape inner = RoundBox(x0 + width, y0 + width, x1 - width, y1 - width, std::max(0.0, r - width));
  return [=](double x, double y) { return outer(x, y) && !inner(x, y); };
}

double SegmentDistance(double x, double y, double ax, double ay, double bx, double by) {
  double dx = bx - ax, dy = by - ay;
  double len2 = dx * dx + dy * dy;
  double t = len2 > 0 ? std::clamp(((x - ax) * dx + (y - ay) * dy) / len2, 0.0, 1.0) : 0.0;
  double px = ax + t * dx - x, py = ay + t * dy - y;
  return std::sqrt(px * px + py * py);
}

// A stroke with round caps.
Shape Line(double ax, double ay, double bx, double by, double width) {
  return [=](double x, double y) { return SegmentDistance(x, y, ax, ay, bx, by) <= width / 2; };
}

// A stroke with square ends, exactly covering the segment.
Shape ButtLine(double ax, double ay, double bx, double by, double width) {
  double dx = bx - ax, dy = by - ay, len = std::sqrt(dx * dx + dy * dy);
  double ux = dx / len, uy = dy / len;
  return [=](double x, double y) {
    double along = (x - ax) * ux + (y - ay) * uy;
    double across = -(x - ax) * uy + (y - ay) * ux;
    return along >= 0 && along <= len && std::fabs(across) <= width / 2;
  };
}

Shape Polygon(std::vector<std::pair<double, double>> pts) {
  return [pts](double x, double y) {
    bool in = false;
    for (size_t i = 0, j = pts.size() - 1; i < pts.size(); j = i++) {
      auto [xi, yi] = pts[i];
      auto [xj, yj] = pts[j];
      if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) in = !in;
    }
    return in;
  };
}

// Angles in degrees, 0 = right, counter-clockwise on screen (y grows downwards).
double AngleOf(double x, double y, double cx, double cy) {
  double a = std::atan2(-(y - cy), x - cx) * 180 / kPi;
  return a < 0 ? a + 360 : a;
}

bool AngleWithin(double a, double from, double to) {
  // Sweep counter-clockwise from `from` to `to`.
  double span = std::fmod(to - from + 720, 360);
  double off = std::fmod(a - from + 720, 360);
  return off <= span;
}

// A stroked arc with round caps, sweeping counter-clockwise from `from` to `to`.
Shape Arc(double cx, double cy, double r, double width, double from, double to, bool roundCaps = true) {
  double ax = cx + r * std::cos(from * kPi / 180), ay = cy - r * std::sin(from * kPi / 180);
  double bx = cx + r * std::cos(to * kPi / 180), by = cy - r * std::sin(to * kPi / 180);
  return [=](double x, double y) {
    double d = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
    if (std::fabs(d - r) <= width / 2 && AngleWithin(AngleOf(x, y, cx, cy), from, to)) return true;
    if (!roundCaps) return false;
    double ca = (x - ax) * (x - ax) + (y - ay) * (y - ay);
    double cb = (x - bx) * (x - bx) + (y - by) * (y - by);
    return ca <= width * width / 4 || cb <= width * width / 4;
  };
}

Shape Union(std::vector<Shape> parts) {
  return [parts](double x, double y) {
    for (const Shape& s : parts)
      if (s(x, y)) return true;
    return false;
  };
}

Paint Vertical(Rgba top, Rgba bottom, double y0, double y1) {
  return [=](double, double y) { return Mix(top, bottom, std::clamp((y - y0) / (y1 - y0), 0.0, 1.0)); };
}

// --- Glyphs ---------------------------------------------------------------------
// Each glyph is drawn inside a box (x, y) .. (x + size, y + size).

// A loudspeaker facing right: a small box and a cone.
Shape Speaker(double x, double y, double size) {
  double u = size / 24;
  return Union(
      {RoundBox(x + 2 * u, y + 8.5 * u, x + 7.5 * u, y + 15.5 * u, 1.2 * u), Polygon({{x + 6.5 * u, y + 8.5 * u},
                                                                                      {x + 13 * u, y + 3 * u},
                                                                                      {x + 14 * u, y + 3 * u},
                                                                                      {x + 14 * u, y + 21 * u},
                                                                                      {x + 13 * u, y + 21 * u},
                                                                                      {x + 6.5 * u, y + 15.5 * u}})});
}

Shape SpeakerCross(double x, double y, double size, double stroke) {
  double u = size / 24;
  return Union({Line(x + 16.5 * u, y + 9 * u, x + 22.5 * u, y + 15 * u, stroke),
                Line(x + 22.5 * u, y + 9 * u, x + 16.5 * u, y + 15 * u, stroke)});
}

Shape SpeakerWaves(double x, double y, double size, double stroke) {
  double u = size / 24;
  return Union(
      {Arc(x + 13 * u, y + 12 * u, 4.5 * u, stroke, -42, 42), Arc(x + 13 * u, y + 12 * u, 8.5 * u, stroke, -46, 46)});
}

// A circular arrow (refresh / connecting): a 300-degree arc with an arrow head at its
// clockwise end.
Shape ConnectArrow(double cx, double cy, double r, double stroke, double head) {
  double endA = 70;  // the arc sweeps counter-clockwise from 120 around to 70+360
  double ex = cx + r * std::cos(endA * kPi / 180), ey = cy - r * std::sin(endA * kPi / 180);
  // Tangent at the end for a clockwise run is (sin a, cos a) in screen coordinates.
  double tx = std::sin(endA * kPi / 180), ty = std::cos(endA * kPi / 180);
  double nx = std::cos(endA * kPi / 180), ny = -std::sin(endA * kPi / 180);  // outward normal
  Shape tip = Polygon({{ex + tx * head * 0.9, ey + ty * head * 0.9},
                       {ex - tx * head * 0.35 + nx * head * 0.85, ey - ty * head * 0.35 + ny * head * 0.85},
                       {ex - tx * head * 0.35 - nx * head * 0.85, ey - ty * head * 0.35 - ny * head * 0.85}});
  return Union({Arc(cx, cy, r, stroke, 110, endA - 8 + 360, false),
                Circle(cx + r * std::cos(110 * kPi / 180), cy - r * std::sin(110 * kPi / 180), stroke / 2), tip});
}

// Digits and the letter A as strokes, in a box of width 10u and height 16u.
Shape DigitOne(double x, double y, double u, double stroke) {
  return Union(
      {Line(x + 6 * u, y, x + 6 * u, y + 16 * u, stroke), Line(x + 6 * u, y, x + 2.2 * u, y + 3.4 * u, stroke)});
}

Shape DigitTwo(double x, double y, double u, double stroke) {
  // Upper bowl, then the diagonal to the lower left, then the base.
  double cx = x + 5 * u, cy = y + 4.6 * u, r = 4.2 * u;
  double a = -38 * kPi / 180;
  double sx = cx + r * std::cos(a), sy = cy - r * std::sin(a);
  return Union({Arc(cx, cy, r, stroke, -38, 165), Line(sx, sy, x + 1 * u, y + 16 * u, stroke),
                Line(x + 1 * u, y + 16 * u, x + 9.6 * u, y + 16 * u, stroke)});
}

Shape LetterA(double x, double y, double u, double stroke) {
  return Union({Line(x + 5 * u, y, x + 0.4 * u, y + 16 * u, stroke),
                Line(x + 5 * u, y, x + 9.6 * u, y + 16 * u, stroke),
                Line(x + 2.3 * u, y + 10.6 * u, x + 7.7 * u, y + 10.6 * u, stroke)});
}

// --- The images -------------------------------------------------------------------

// Status overlays of the VU meter: a dark badge over the top of the two bars.
// The window is 23 pixels wide at scale 1 and the overlay sits at its left edge, so the
// badge spans 23 columns and leaves the 24th empty; small corners keep the meter's
// colours from peeking out around it.
Canvas StatusMuted() {
  Canvas c(24, 24);
  c.Fill(RoundBox(0, 0, 23, 24, 3), WithAlpha(kWindow, 0.92));
  c.Fill(RoundFrame(0, 0, 23, 24, 3, 1), WithAlpha(kRed, 0.9));
  c.Fill(Speaker(1.3, 2, 20), kText);
  c.Fill(SpeakerCross(1.3, 2, 20, 2.2), kRed);
  return c;
}

Canvas StatusConnect() {
  Canvas c(24, 24);
  c.Fill(RoundBox(0, 0, 23, 24, 3), WithAlpha(kWindow, 0.92));
  c.Fill(RoundFrame(0, 0, 23, 24, 3, 1), WithAlpha(kAmber, 0.9));
  c.Fill(ConnectArrow(11.5, 12.5, 6.5, 2.4, 4.6), kAmber);
  return c;
}

// The program's emblem: two meter bars on a rounded tile, as the main window looks.
void Emblem(Canvas& c, double dim, double unlitLeft, double unlitRight) {
  double s = c.w / 64.0;
  c.Fill(RoundBox(2 * s, 2 * s, 62 * s, 62 * s, 12 * s), kWindow);
  c.Fill(RoundFrame(2 * s, 2 * s, 62 * s, 62 * s, 12 * s, 2 * s), Rgb(92, 68, 122));
  double top = 10 * s, bottom = 54 * s, hgt = bottom - top;
  auto band = [&](double, double y) {
    double f = (y - top) / hgt;
    Rgba col = f < 0.10 ? kMeterRed : f < 0.23 ? kMeterYellow : f < 0.60 ? kGreen : kTeal;
    return Mix(col, Rgb(60, 52, 70), dim);
  };
  struct Bar {
    double x0, x1, unlit;
  } bars[2] = {{14 * s, 31 * s, unlitLeft}, {33 * s, 50 * s, unlitRight}};
  for (const Bar& b : bars) {
    c.Fill(Box(b.x0, top, b.x1, bottom), band);
    c.Fill(Box(b.x0, top, b.x1, top + b.unlit * hgt), Rgb(14, 8, 20, 0.82));
    for (double y = top + 2 * s; y < bottom; y += 4 * s) c.Fill(Box(b.x0, y, b.x1, y + 2 * s), Rgb(0, 0, 0, 0.28));
  }
}

Canvas TrayNormal() {
  Canvas c(64, 64);
  Emblem(c, 0.0, 0.30, 0.44);
  return c;
}

// A round badge in the lower right corner carrying the state symbol.
void Badge(Canvas& c, Rgba ring) {
  c.Fill(Circle(46, 46, 17), kWindow);
  c.Fill(Ring(46, 46, 15.5, 3), ring);
}

Canvas TrayMuted() {
  Canvas c(64, 64);
  Emblem(c, 0.55, 0.30, 0.44);
  Badge(c, kRed);
  c.Fill(Union({Line(40, 40, 52, 52, 4), Line(52, 40, 40, 52, 4)}), kText);
  return c;
}

Canvas TrayConnect() {
  Canvas c(64, 64);
  Emblem(c, 0.55, 1.0, 1.0);
  Badge(c, kAmber);
  c.Fill(ConnectArrow(46, 46, 7.5, 3, 5.6), kText);
  return c;
}

// Taskbar buttons: light symbols on a dark disc, readable on light and dark panels.
void ThumbDisc(Canvas& c) {
  c.Fill(Circle(32, 32, 30), WithAlpha(kWindow, 0.94));
  c.Fill(Ring(32, 32, 29, 2), Rgb(112, 88, 142));
}

Canvas ThumbMuted() {
  Canvas c(64, 64);
  ThumbDisc(c);
  c.Fill(Speaker(6, 8, 48), kText);
  c.Fill(SpeakerCross(6, 8, 48, 4.4), kRed);
  return c;
}

Canvas ThumbUnmuted() {
  Canvas c(64, 64);
  ThumbDisc(c);
  c.Fill(Speaker(6, 8, 48), kText);
  c.Fill(SpeakerWaves(6, 8, 48, 4), kText);
  return c;
}

// Volume presets: a fader with its knob on the left, the preset's mark on the right.
Canvas ThumbPreset(int which) {
  Canvas c(64, 64);
  ThumbDisc(c);
  double knobY = which == 1 ? 36 : which == 2 ? 26 : 31;
  c.Fill(RoundBox(21, 14, 25, 50, 2), kWell);
  c.Fill(RoundBox(21, knobY, 25, 50, 2), which == 0 ? kTeal : kGreenHover);
  c.Fill(RoundBox(15, knobY - 3, 31, knobY + 3, 3), kText);
  Shape mark = which == 1 ? DigitOne(33, 21, 1.4, 4) : which == 2 ? DigitTwo(34, 21, 1.4, 4) : LetterA(33, 21, 1.4, 4);
  c.Fill(mark, kText);
  return c;
}

// Shown in the information window when a title has no artwork of its own: a radio
// mast sending waves, on a softly lit tile.
Canvas ArtworkDefault() {
  const int n = 256;
  Canvas c(n, n);
  c.Fill(Box(0, 0, n, n), [&](double x, double y) {
    double d = std::sqrt((x - n * 0.5) * (x - n * 0.5) + (y - n * 0.42) * (y - n * 0.42)) / (n * 0.75);
    return Mix(Rgb(70, 48, 96), kWindow, std::clamp(d, 0.0, 1.0));
  });
  double cx = n * 0.5, top = n * 0.36, foot = n * 0.84;
  double w = n * 0.16;
  double st = n * 0.024;
  // Mast: two legs, cross braces and a base.
  std::vector<Shape> mast = {Line(cx, top, cx - w, foot, st), Line(cx, top, cx + w, foot, st),
                             Line(cx - w * 1.35, foot, cx + w * 1.35, foot, st)};
  double levels[] = {0.30, 0.56, 0.80};
  for (int i = 0; i < 3; ++i) {
    double y0 = top + (foot - top) * (i ? levels[i - 1] : 0.08), y1 = top + (foot - top) * levels[i];
    double h0 = w * (y0 - top) / (foot - top), h1 = w * (y1 - top) / (foot - top);
    mast.push_back(Line(cx - h0, y0, cx + h1, y1, st * 0.6));
    mast.push_back(Line(cx + h0, y0, cx - h1, y1, st * 0.6));
  }
  c.Fill(Union(mast), kText);
  // Waves either side of the beacon.
  double by = top - n * 0.035;
  for (int i = 0; i < 3; ++i) {
    double r = n * (0.09 + 0.075 * i);
    double alpha = 0.95 - 0.25 * i;
    c.Fill(Union({Arc(cx, by, r, n * 0.026, 135, 225), Arc(cx, by, r, n * 0.026, -45, 45)}), WithAlpha(kText, alpha));
  }
  c.Fill(Circle(cx, by, n * 0.04), kMeterRed);
  c.Fill(Circle(cx - n * 0.012, by - n * 0.012, n * 0.014), Rgb(255, 140, 140, 0.7));
  return c;
}

// Check marks, 24 x 24: a rounded box, filled with the meter's green and ticked when set.
enum class Look { Normal, Hover, Disabled };

Canvas CheckMark(bool set, Look look) {
  Canvas c(24, 24);
  Rgba edge = look == Look::Hover ? kEdgeHover : look == Look::Disabled ? kDim : Rgb(150, 132, 176);
  Rgba face = look == Look::Disabled ? kDimFace : look == Look::Hover ? kFaceHover : kFace;
  if (set) face = look == Look::Disabled ? Rgb(60, 66, 70) : look == Look::Hover ? kGreenHover : kGreen;
  c.Fill(RoundBox(2, 2, 22, 22, 4), face);
  c.Fill(RoundFrame(2, 2, 22, 22, 4, 2),
         set && look != Look::Disabled ? (look == Look::Hover ? Rgb(120, 220, 160) : Rgb(70, 180, 120)) : edge);
  if (set) {
    Rgba tick = look == Look::Disabled ? Rgb(130, 126, 138) : look == Look::Hover ? kBright : Rgb(236, 236, 236);
    c.Fill(Union({Line(6.5, 12.5, 10, 16, 2.6), Line(10, 16, 17.5, 8, 2.6)}), tick);
  }
  return c;
}

// Plus and minus buttons, 24 x 24: a ring with the sign.
Canvas SignButton(bool plus, Look look) {
  Canvas c(24, 24);
  Rgba ring = look == Look::Hover ? kEdgeHover : look == Look::Disabled ? kDim : Rgb(150, 132, 176);
  Rgba face = look == Look::Hover ? kFaceHover : look == Look::Disabled ? kDimFace : kFace;
  Rgba sign = look == Look::Hover ? kBright : look == Look::Disabled ? kDim : kText;
  c.Fill(Circle(12, 12, 10.5), face);
  c.Fill(Ring(12, 12, 9.75, 1.5), ring);
  c.Fill(ButtLine(6.5, 12, 17.5, 12, 2.4), sign);
  if (plus) c.Fill(ButtLine(12, 6.5, 12, 17.5, 2.4), sign);
  return c;
}

// Volume slider, 34 x 170: the track with its dB scale, and the level bar in three looks.
constexpr double kTrackX0 = 12, kTrackX1 = 22, kTrackY0 = 1, kTrackY1 = 169;

Canvas SliderBackground() {
  Canvas c(34, 170);
  c.Fill(RoundBox(kTrackX0 - 1, kTrackY0 - 1, kTrackX1 + 1, kTrackY1 + 1, 5), Rgb(96, 74, 124));
  c.Fill(RoundBox(kTrackX0, kTrackY0, kTrackX1, kTrackY1, 4), kWell);
  // A tick every 10 dB (170 / 40 * 10 = 42.5 px), short ticks at the 5 dB steps.
  for (int i = 0; i <= 8; ++i) {
    double y = std::clamp(std::floor(i * 170.0 / 8), 2.0, 167.0);
    double len = i % 2 == 0 ? 7 : 4;
    Rgba col = i % 2 == 0 ? Rgb(150, 132, 176) : Rgb(106, 88, 130);
    c.Fill(Box(kTrackX0 - 3 - len, y, kTrackX0 - 3, y + 1), col);
    c.Fill(Box(kTrackX1 + 3, y, kTrackX1 + 3 + len, y + 1), col);
  }
  return c;
}

Canvas SliderLevel(Look look) {
  Canvas c(34, 170);
  Rgba top = look == Look::Hover ? Rgb(120, 230, 150) : look == Look::Disabled ? Rgb(128, 120, 138) : Rgb(70, 200, 120);
  Rgba bottom = look == Look::Hover ? Rgb(20, 140, 140) : look == Look::Disabled ? Rgb(76, 68, 88) : Rgb(0, 100, 100);
  c.Fill(RoundBox(kTrackX0 + 1, kTrackY0 + 1, kTrackX1 - 1, kTrackY1 - 1, 3),
         Vertical(top, bottom, kTrackY0, kTrackY1));
  // A light rim on the left edge gives the bar some depth.
  c.Fill(Box(kTrackX0 + 2, kTrackY0 + 3, kTrackX0 + 3, kTrackY1 - 3),
         Rgb(255, 255, 255, look == Look::Disabled ? 0.10 : 0.22));
  return c;
}

// Generic push button, 80 x 30; the caption is drawn over it by the window.
Canvas GenericButton(Look look) {
  Canvas c(80, 30);
  Rgba faceTop = look == Look::Hover ? Rgb(94, 68, 126) : Rgb(70, 48, 96);
  Rgba faceBottom = look == Look::Hover ? Rgb(76, 54, 104) : Rgb(56, 38, 78);
  c.Fill(RoundBox(1, 1, 79, 29, 6), Vertical(faceTop, faceBottom, 1, 29));
  c.Fill(RoundFrame(1, 1, 79, 29, 6, 1.5), look == Look::Hover ? kEdgeHover : kEdge);
  return c;
}

// The application icon of the desktop's menus: the tray's emblem, drawn at each size
// rather than scaled, so that small sizes keep sharp edges.
Canvas AppIcon(int size) {
  Canvas c(size, size);
  Emblem(c, 0.0, 0.30, 0.44);
  return c;
}

// <folder>/<n>x<n>/apps/corvale-player.png for the hicolor theme's usual sizes.
int DrawAppIcons(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  int failed = 0;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const std::string folder = dir + std::to_string(size) + "x" + std::to_string(size) + "/apps/";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!AppIcon(size).Save(folder + "corvale-player.png")) {
      std::fprintf(stderr, "skin-gen: cannot write %scorvale-player.png\n", folder.c_str());
      ++failed;
    }
  }
  return failed ? 1 : 0;
}

// A Windows icon file: one PNG-compressed image for each size Explorer and the taskbar
// ask for (Vista and later read PNG entries).
int DrawWindowsIcon(const std::string& path) {
  const int sizes[] = {16, 20, 24, 32, 40, 48, 64, 256};
  std::vector<std::string> images;
  for (int size : sizes) {
    const std::string temp = path + ".part.png";
    std::ifstream in;
    if (!AppIcon(size).Save(temp)) return 1;
    in.open(temp, std::ios::binary);
    images.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    in.close();
    std::remove(temp.c_str());
  }
  std::string out;
  auto put = [&out](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(char(v >> (8 * i)));
  };
  put(0, 2);
  put(1, 2);  // icon
  put(uint32_t(images.size()), 2);
  uint32_t offset = uint32_t(6 + 16 * images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    put(sizes[i] >= 256 ? 0 : uint32_t(sizes[i]), 1);  // 0 stands for 256
    put(sizes[i] >= 256 ? 0 : uint32_t(sizes[i]), 1);
    put(0, 2);   // no palette, reserved
    put(1, 2);   // planes
    put(32, 2);  // bits per pixel
    put(uint32_t(images[i].size()), 4);
    put(offset, 4);
    offset += uint32_t(images[i].size());
  }
  for (const auto& image : images) out += image;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(out.data(), std::streamsize(out.size()));
  if (!file.good()) {
    std::fprintf(stderr, "skin-gen: cannot write %s\n", path.c_str());
    return 1;
  }
  return 0;
}

struct Output {
  const char* name;
  std::function<Canvas()> draw;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--icons") == 0) return DrawAppIcons(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--ico") == 0) return DrawWindowsIcon(argv[2]);
  if (argc != 2) {
    std::fprintf(stderr, "usage: skin-gen <output folder>\n       skin-gen --icons <folder>\n       skin-gen --ico <file>\n");
    return 2;
  }
  std::string dir = argv[1];
  if (!dir.empty() && dir.back() != '/') dir += '/';
  const Output outputs[] = {
      {"status_muted", StatusMuted},
      {"status_connect", StatusConnect},
      {"trayicon_normal", TrayNormal},
      {"trayicon_muted", TrayMuted},
      {"trayicon_connect", TrayConnect},
      {"thumbbar_muted", ThumbMuted},
      {"thumbbar_unmuted", ThumbUnmuted},
      {"thumbbar_preset_1", [] { return ThumbPreset(1); }},
      {"thumbbar_preset_2", [] { return ThumbPreset(2); }},
      {"thumbbar_preset_auto", [] { return ThumbPreset(0); }},
      {"artwork_default", ArtworkDefault},
      {"ui_checkmark_set", [] { return CheckMark(true, Look::Normal); }},
      {"ui_checkmark_unset", [] { return CheckMark(false, Look::Normal); }},
      {"ui_checkmark_hover_set", [] { return CheckMark(true, Look::Hover); }},
      {"ui_checkmark_hover_unset", [] { return CheckMark(false, Look::Hover); }},
      {"ui_checkmark_disabled_set", [] { return CheckMark(true, Look::Disabled); }},
      {"ui_checkmark_disabled_unset", [] { return CheckMark(false, Look::Disabled); }},
      {"ui_plusbutton_normal", [] { return SignButton(true, Look::Normal); }},
      {"ui_plusbutton_hover", [] { return SignButton(true, Look::Hover); }},
      {"ui_plusbutton_disabled", [] { return SignButton(true, Look::Disabled); }},
      {"ui_minusbutton_normal", [] { return SignButton(false, Look::Normal); }},
      {"ui_minusbutton_hover", [] { return SignButton(false, Look::Hover); }},
      {"ui_minusbutton_disabled", [] { return SignButton(false, Look::Disabled); }},
      {"ui_volumeslider_background", SliderBackground},
      {"ui_volumeslider_normal", [] { return SliderLevel(Look::Normal); }},
      {"ui_volumeslider_hover", [] { return SliderLevel(Look::Hover); }},
      {"ui_volumeslider_disabled", [] { return SliderLevel(Look::Disabled); }},
      {"ui_genericbutton_normal", [] { return GenericButton(Look::Normal); }},
      {"ui_genericbutton_hover", [] { return GenericButton(Look::Hover); }},
  };
  int failed = 0;
  for (const Output& o : outputs) {
    std::string path = dir + o.name + ".png";
    if (!o.draw().Save(path)) {
      std::fprintf(stderr, "skin-gen: cannot write %s\n", path.c_str());
      ++failed;
    }
  }
  return failed ? 1 : 0;
}
