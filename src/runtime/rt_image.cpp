// Images (libpng and libjpeg decoding), 2D drawing and fonts.
#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPainter>
#include <QRegion>
#include <QThread>
#include <QTextLayout>

#include <atomic>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include "runtime/rt_graphics.h"
#include "runtime/rt_internal.h"

namespace rt {

namespace {

std::mutex gImageLock;
std::map<int, ImageRecord> gImages;  // guarded by gImageLock
int gNextImageHandle = 0x10000;

std::mutex gFontLock;
std::map<int, QFont> gFonts;  // guarded by gFontLock
int gNextFont = 1;

QImage::Format FormatOf(int depth) { return depth == 32 ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32; }

// Stores img under `image` (or a new handle for ImageAny); returns the number or 0.
int StoreImage(int image, QImage img, int depth) {
  if (img.isNull()) return 0;
  if (image != ImageAny && image < 1) return 0;
  auto ptr = std::make_shared<QImage>(std::move(img));
  std::lock_guard<std::mutex> lock(gImageLock);
  if (image == ImageAny) {
    image = gNextImageHandle++;
  } else if (image > 0xFFFF && gImages.find(image) == gImages.end()) {
    // Numbers above 0xFFFF are handles the runtime gave out; only those may be replaced.
    return 0;
  }
  gImages[image] = ImageRecord{ptr, depth};
  return image;
}

QImage DecodePng(const unsigned char* data, size_t size, DecodeLimit limit) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, data, size)) return {};
  png.format = PNG_FORMAT_BGRA;  // the byte order of QImage::Format_ARGB32 on little-endian
  if (!SizeAllowed(png.width, png.height, limit)) {
    png_image_free(&png);
    return {};
  }
  QImage img(static_cast<int>(png.width), static_cast<int>(png.height), QImage::Format_ARGB32);
  if (img.isNull()) {
    png_image_free(&png);
    return {};
  }
  if (!png_image_finish_read(&png, nullptr, img.bits(), static_cast<png_int_32>(img.bytesPerLine()), nullptr)) {
    png_image_free(&png);
    return {};
  }
  return img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void JpegFail(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  longjmp(err->jump, 1);
}

void JpegSilence(j_common_ptr) {}

QImage DecodeJpeg(const unsigned char* data, size_t size, DecodeLimit limit) {
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegFail;
  err.mgr.output_message = JpegSilence;
  // What changes after setjmp lives on the heap behind a pointer that does not change,
  // so nothing the error jump returns to is left indeterminate.
  struct Buffers {
    QImage out;
    std::vector<unsigned char> row;
  };
  const auto buffers = std::make_unique<Buffers>();
  QImage& out = buffers->out;
  std::vector<unsigned char>& row = buffers->row;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return {};
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&cinfo);
    return {};
  }
  bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  if (!SizeAllowed(cinfo.image_width, cinfo.image_height, limit)) {
    jpeg_destroy_decompress(&cinfo);
    return {};
  }
  jpeg_start_decompress(&cinfo);
  out = QImage(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), QImage::Format_RGB32);
  if (out.isNull()) {
    jpeg_destroy_decompress(&cinfo);
    return {};
  }
  row.resize(static_cast<size_t>(cinfo.output_width) * cinfo.output_components);
  // Adobe writes CMYK inverted; that is what almost every CMYK JPEG out there carries.
  bool adobeInverted = cmyk && cinfo.saw_Adobe_marker;
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rp = row.data();
    int y = static_cast<int>(cinfo.output_scanline);
    jpeg_read_scanlines(&cinfo, &rp, 1);
    auto* dst = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (unsigned x = 0; x < cinfo.output_width; ++x) {
      if (cmyk) {
        int c = row[x * 4], m = row[x * 4 + 1], yy = row[x * 4 + 2], k = row[x * 4 + 3];
        if (!adobeInverted) {
          c = 255 - c;
          m = 255 - m;
          yy = 255 - yy;
          k = 255 - k;
        }
        dst[x] = qRgb(c * k / 255, m * k / 255, yy * k / 255);
      } else if (cinfo.output_components == 3) {
        dst[x] = qRgb(row[x * 3], row[x * 3 + 1], row[x * 3 + 2]);
      } else {
        dst[x] = qRgb(row[x], row[x], row[x]);
      }
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return out.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage Decode(const unsigned char* data, size_t size, DecodeLimit limit = {}) {
  if (!data || size < 4) return {};
  static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (size >= 8 && std::memcmp(data, kPng, 8) == 0) return DecodePng(data, size, limit);
  if (data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return DecodeJpeg(data, size, limit);
  return {};
}

// --- Drawing state, one per thread ----------------------------------------------------

enum class Target { None, Canvas, Window, Image };

struct DrawState {
  Target target = Target::None;
  QImage* surface = nullptr;
  std::shared_ptr<QImage> holder;  // keeps an image alive while drawn
  QPointer<QWidget> widget;        // canvas or window to refresh at the end
  QPainter painter;
  QFont font;
  bool clipped = false;    // a clip from ClipOutput is in force
  bool wholeDirty = false; // something was drawn without a clip: refresh the whole target
  QRegion dirty;           // what the clipped drawing touched
};

thread_local DrawState tDraw;

bool Begin(QImage* surface) {
  if (tDraw.target != Target::None) StopDrawing();
  tDraw.surface = surface;
  if (!surface || surface->isNull() || !tDraw.painter.begin(surface)) {
    tDraw.surface = nullptr;
    tDraw.target = Target::None;
    return false;
  }
  tDraw.painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  tDraw.painter.setRenderHint(QPainter::TextAntialiasing, true);
  tDraw.font = QApplication::font();
  tDraw.painter.setFont(tDraw.font);
  tDraw.clipped = false;
  tDraw.wholeDirty = false;
  tDraw.dirty = QRegion();
  return true;
}

// Every drawing call asks this first, so it also notes that an unclipped call may have
// touched the whole target.
bool Drawing() {
  if (tDraw.target == Target::None || !tDraw.painter.isActive()) return false;
  if (!tDraw.clipped) tDraw.wholeDirty = true;
  return true;
}

// Word-wrapped text in a rectangle; with an end ellipsis the last line that fits
// carries the rest of the text, cut with "...".
void DrawWrapped(QPainter& p, const QRect& r, const QString& text, int align, bool ellipsis) {
  QFontMetrics fm(p.font());
  QTextLayout layout(text, p.font());
  QTextOption opt;
  opt.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  opt.setAlignment(Qt::Alignment(align & Qt::AlignHorizontal_Mask));
  layout.setTextOption(opt);
  layout.beginLayout();
  std::vector<std::pair<int, int>> lines;  // start, length
  for (;;) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(r.width());
    lines.emplace_back(line.textStart(), line.textLength());
  }
  layout.endLayout();
  int lineHeight = fm.height();
  int fit = lineHeight > 0 ? std::max(1, r.height() / lineHeight) : 1;
  int count = static_cast<int>(lines.size());
  int shown = std::min(count, fit);
  int totalH = shown * lineHeight;
  int y = r.y();
  if (align & Qt::AlignVCenter) y = r.y() + (r.height() - totalH) / 2;
  for (int i = 0; i < shown; ++i) {
    QString part = text.mid(lines[i].first, lines[i].second);
    if (i == shown - 1 && count > shown) {
      part = text.mid(lines[i].first);
      if (ellipsis) part = fm.elidedText(part.simplified(), Qt::ElideRight, r.width());
    }
    while (part.endsWith(QLatin1Char('\n'))) part.chop(1);
    p.drawText(QRect(r.x(), y, r.width(), lineHeight), (align & Qt::AlignHorizontal_Mask) | Qt::AlignTop, part);
    y += lineHeight;
  }
}

}  // namespace

std::shared_ptr<QImage> GetImage(int image, int* depth) {
  std::lock_guard<std::mutex> lock(gImageLock);
  auto it = gImages.find(image);
  if (it == gImages.end()) return nullptr;
  if (depth) *depth = it->second.depth;
  return it->second.image;
}

QFont GetFont(int font, bool* found) {
  std::lock_guard<std::mutex> lock(gFontLock);
  auto it = gFonts.find(font);
  if (found) *found = it != gFonts.end();
  return it == gFonts.end() ? QFont() : it->second;
}

void TeardownImagesAndFonts() {
  {
    std::lock_guard<std::mutex> lock(gImageLock);
    gImages.clear();
  }
  std::lock_guard<std::mutex> lock(gFontLock);
  gFonts.clear();
}

}  // namespace rt

using namespace rt;

// --- Images ---------------------------------------------------------------------------

int CreateImage(int image, int width, int height, int depth, uint32_t rgb) {
  if (!SizeAllowed(width, height)) return 0;
  if (depth != 32) depth = 24;
  QImage img(width, height, FormatOf(depth));
  if (img.isNull()) return 0;
  img.fill(RgbColor(rgb));
  return StoreImage(image, std::move(img), depth);
}

int CopyImage(int source, int image) {
  int depth = 24;
  auto src = GetImage(source, &depth);
  if (!src) return 0;
  QImage copy = src->copy();
  return StoreImage(image, std::move(copy), depth);
}

int ResizeImage(int image, int width, int height) {
  int depth = 24;
  auto src = GetImage(image, &depth);
  if (!src || !SizeAllowed(width, height)) return 0;
  QImage scaled = src->scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  if (scaled.isNull()) return 0;
  scaled = scaled.convertToFormat(FormatOf(depth));
  return StoreImage(image, std::move(scaled), depth);
}

int CatchImage(int image, const void* data, size_t size) {
  QImage img = Decode(static_cast<const unsigned char*>(data), size);
  if (img.isNull()) return 0;
  return StoreImage(image, std::move(img), 32);
}

int CatchUntrustedImage(int image, const void* data, size_t size) {
  QImage img = Decode(static_cast<const unsigned char*>(data), size, UntrustedDecodeLimit());
  if (img.isNull()) return 0;
  return StoreImage(image, std::move(img), 32);
}

int LoadImageFile(int image, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return 0;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size <= 0 || size > kMaxImageFileBytes) return 0;
  in.seekg(0);
  std::vector<unsigned char> bytes(static_cast<size_t>(size));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return 0;
  return CatchImage(image, bytes.data(), bytes.size());
}

int SaveImagePng(int image, const std::string& path) {
  auto src = GetImage(image);
  if (!src) return 0;
  QImage img = src->convertToFormat(QImage::Format_ARGB32);
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(img.width());
  png.height = static_cast<png_uint_32>(img.height());
  png.format = PNG_FORMAT_BGRA;
  int ok = png_image_write_to_file(&png, path.c_str(), 0, img.constBits(), static_cast<png_int_32>(img.bytesPerLine()),
                                   nullptr);
  png_image_free(&png);
  return ok ? 1 : 0;
}

void FreeImage(int image) {
  std::lock_guard<std::mutex> lock(gImageLock);
  gImages.erase(image);
}

int IsImage(int image) { return GetImage(image) ? 1 : 0; }

int ImageWidth(int image) {
  auto img = GetImage(image);
  return img ? img->width() : 0;
}

int ImageHeight(int image) {
  auto img = GetImage(image);
  return img ? img->height() : 0;
}

int ImageDepth(int image) {
  int depth = 0;
  return GetImage(image, &depth) ? depth : 0;
}

uint32_t GetImagePixel(int image, int x, int y) {
  auto img = GetImage(image);
  if (!img || x < 0 || y < 0 || x >= img->width() || y >= img->height()) return 0;
  QRgb raw = reinterpret_cast<const QRgb*>(img->constScanLine(y))[x];
  if (img->format() == QImage::Format_RGB32) return raw | 0xFF000000u;
  return qUnpremultiply(raw);
}

int GrabWindowImage(int window, int image) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  QImage img = w->widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  return StoreImage(image, std::move(img), 24);
}

// --- Drawing ----------------------------------------------------------------------------

int StartDrawingCanvas(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  auto* c = g ? dynamic_cast<RtCanvas*>(g->widget.data()) : nullptr;
  if (!c) return 0;
  c->EnsureSurface();
  if (!Begin(&c->surface)) return 0;
  tDraw.target = Target::Canvas;
  tDraw.widget = c;
  return 1;
}

int StartDrawingWindow(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  w->widget->EnsureSurface();
  if (!Begin(&w->widget->surface)) return 0;
  tDraw.target = Target::Window;
  tDraw.widget = w->widget.data();
  return 1;
}

int StartDrawingImage(int image) {
  auto img = GetImage(image);
  if (!img) return 0;
  if (!Begin(img.get())) return 0;
  tDraw.target = Target::Image;
  tDraw.holder = img;
  return 1;
}

void StopDrawing() {
  if (tDraw.painter.isActive()) tDraw.painter.end();
  QPointer<QWidget> widget = tDraw.widget;
  // Only what clipped drawing touched goes to the screen; anything else shows all.
  const bool whole = tDraw.wholeDirty || tDraw.dirty.isEmpty();
  QRegion dirty = std::move(tDraw.dirty);
  tDraw.target = Target::None;
  tDraw.surface = nullptr;
  tDraw.holder.reset();
  tDraw.widget = nullptr;
  tDraw.clipped = false;
  tDraw.wholeDirty = false;
  tDraw.dirty = QRegion();
  if (widget) {
    if (whole)
      widget->update();
    else if (widget->thread() == QThread::currentThread())
      widget->repaint(dirty);  // at once: no round trip through the event queue
    else
      widget->update(dirty);
  }
}

void ClipOutput(int x, int y, int width, int height) {
  if (tDraw.target == Target::None || !tDraw.painter.isActive()) return;
  QRect r = QRect(x, y, std::max(width, 0), std::max(height, 0)) & tDraw.surface->rect();
  tDraw.painter.setClipRect(r);
  tDraw.clipped = true;
  tDraw.dirty += r;
}

void UnclipOutput() {
  if (tDraw.target == Target::None || !tDraw.painter.isActive()) return;
  tDraw.painter.setClipping(false);
  tDraw.clipped = false;
}

int OutputWidth() { return Drawing() && tDraw.surface ? tDraw.surface->width() : 0; }
int OutputHeight() { return Drawing() && tDraw.surface ? tDraw.surface->height() : 0; }

void DrawBox(int x, int y, int width, int height, uint32_t rgb) {
  if (!Drawing() || width <= 0 || height <= 0) return;
  tDraw.painter.setCompositionMode(QPainter::CompositionMode_Source);
  tDraw.painter.fillRect(QRect(x, y, width, height), RgbColor(rgb));
  tDraw.painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void DrawBoxBlend(int x, int y, int width, int height, uint32_t rgba) {
  if (!Drawing() || width <= 0 || height <= 0) return;
  QColor c = RgbColor(rgba & 0xFFFFFF);
  c.setAlpha(static_cast<int>(rgba >> 24));
  tDraw.painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  tDraw.painter.fillRect(QRect(x, y, width, height), c);
}

void ClearBox(int x, int y, int width, int height) {
  if (!Drawing() || width <= 0 || height <= 0) return;
  tDraw.painter.setCompositionMode(QPainter::CompositionMode_Source);
  tDraw.painter.fillRect(QRect(x, y, width, height), Qt::transparent);
  tDraw.painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

static void DrawImageMode(int image, int x, int y, int width, int height, QPainter::CompositionMode mode) {
  if (!Drawing()) return;
  auto img = GetImage(image);
  if (!img) return;
  // Drawing an image onto itself needs a copy to read from.
  QImage copy;
  const QImage* src = img.get();
  if (img.get() == tDraw.surface) {
    copy = img->copy();
    src = &copy;
  }
  int w = width > 0 ? width : src->width();
  int h = height > 0 ? height : src->height();
  tDraw.painter.setCompositionMode(mode);
  tDraw.painter.drawImage(QRect(x, y, w, h), *src);
  tDraw.painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void DrawImageBlend(int image, int x, int y, int width, int height) {
  DrawImageMode(image, x, y, width, height, QPainter::CompositionMode_SourceOver);
}

void DrawImageCopy(int image, int x, int y, int width, int height) {
  DrawImageMode(image, x, y, width, height, QPainter::CompositionMode_Source);
}

void DrawingFont(int font) {
  bool found = false;
  QFont f = GetFont(font, &found);
  tDraw.font = found ? f : QApplication::font();
  if (Drawing()) tDraw.painter.setFont(tDraw.font);
}

void DrawTextAt(int x, int y, const std::string& text, uint32_t rgb) {
  if (!Drawing()) return;
  tDraw.painter.setPen(RgbColor(rgb));
  QFontMetrics fm(tDraw.font);
  tDraw.painter.drawText(QPoint(x, y + fm.ascent()), ToQ(text));
}

void DrawTextRect(int x, int y, int width, int height, const std::string& text, int flags, uint32_t rgb) {
  if (!Drawing() || width <= 0 || height <= 0) return;
  QString s = ToQ(flags & TextNoPrefix ? text : StripPrefixes(text));
  tDraw.painter.setPen(RgbColor(rgb));
  int align = (flags & TextCenter) ? Qt::AlignHCenter : (flags & TextRight) ? Qt::AlignRight : Qt::AlignLeft;
  QRect r(x, y, width, height);
  tDraw.painter.save();
  tDraw.painter.setClipRect(r);
  if (flags & TextWordWrap && !(flags & TextSingleLine)) {
    DrawWrapped(tDraw.painter, r, s, align | ((flags & TextVCenter) ? Qt::AlignVCenter : 0),
                (flags & TextEndEllipsis) != 0);
  } else {
    s.replace(QLatin1Char('\r'), QString()).replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (flags & TextEndEllipsis) s = QFontMetrics(tDraw.font).elidedText(s, Qt::ElideRight, width);
    align |= (flags & TextVCenter) ? Qt::AlignVCenter : Qt::AlignTop;
    tDraw.painter.drawText(r, align | Qt::TextSingleLine, s);
  }
  tDraw.painter.restore();
}

int TextWidth(const std::string& text) { return QFontMetrics(tDraw.font).horizontalAdvance(ToQ(text)); }
int TextHeight(const std::string&) { return QFontMetrics(tDraw.font).height(); }

// --- Fonts ------------------------------------------------------------------------------

int CreateUiFont(const std::string& face, float size) {
  if (!RuntimeReady()) return 0;
  int px = UiFontPixelHeight(size);
  if (px <= 0) return 0;
  QFont f(ToQ(face));
  f.setPixelSize(px);
  f.setWeight(QFont::Normal);
  f.setItalic(false);
  f.setUnderline(false);
  f.setStrikeOut(false);
  f.setFixedPitch(false);
  f.setStyleHint(QFont::SansSerif, QFont::PreferAntialias);
  std::lock_guard<std::mutex> lock(gFontLock);
  int id = gNextFont++;
  gFonts[id] = f;
  return id;
}

int FreeFont(int font) {
  if (font) {
    std::lock_guard<std::mutex> lock(gFontLock);
    gFonts.erase(font);
  }
  return 1;
}

int RegisterPrivateFont(const std::string& path) {
  if (!RuntimeReady()) return 0;
  return QFontDatabase::addApplicationFont(ToQ(path)) >= 0 ? 1 : 0;
}

std::string FontFamily(int font) {
  bool found = false;
  QFont f = GetFont(font, &found);
  return found ? FromQ(QFontInfo(f).family()) : std::string();
}

int FontPixelSize(int font) {
  bool found = false;
  QFont f = GetFont(font, &found);
  return found ? f.pixelSize() : 0;
}

int MeasureTextWidth(int font, const std::string& text) {
  bool found = false;
  QFont f = GetFont(font, &found);
  if (!found) f = QApplication::font();
  return QFontMetrics(f).horizontalAdvance(ToQ(text));
}
