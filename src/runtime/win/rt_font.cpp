// Fonts: GDI fonts by handle, the process's private font files, text measuring.
#include <vector>

#include "runtime/win/rt_win.h"

namespace rt {

namespace {

std::mutex gFontLock;
std::map<int, std::shared_ptr<FontObject>> gFonts;  // guarded by gFontLock
int gNextFont = 1;                                  // guarded by gFontLock
std::shared_ptr<FontObject> gDefaultFont;           // guarded by gFontLock; made on first use
std::vector<std::wstring> gPrivateFiles;            // guarded by gFontLock

// Greyscale antialiasing, never ClearType: text is drawn as coverage and
// composed with its colour, which needs one coverage value per pixel, not
// three.
constexpr BYTE kQuality = ANTIALIASED_QUALITY;

std::shared_ptr<FontObject> MakeFont(const LOGFONTW &logfont, int pixelSize) {
  HFONT handle = CreateFontIndirectW(&logfont);
  if (!handle) return nullptr;
  auto font = std::make_shared<FontObject>();
  font->handle = handle;
  font->pixelSize = pixelSize;
  return font;
}

// The desktop's message font stands for the toolkit's default font.
std::shared_ptr<FontObject> MakeDefaultFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  LOGFONTW logfont{};
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    logfont = metrics.lfMessageFont;
  } else {
    logfont.lfHeight = -12;
    logfont.lfWeight = FW_NORMAL;
    lstrcpynW(logfont.lfFaceName, L"MS Shell Dlg 2", LF_FACESIZE);
  }
  logfont.lfQuality = kQuality;
  return MakeFont(logfont, logfont.lfHeight < 0 ? -logfont.lfHeight : logfont.lfHeight);
}

// Looks the font up; `found` tells whether the number was a font (not the
// default).
std::shared_ptr<FontObject> FindFont(int font, bool *found) {
  std::lock_guard<std::mutex> lock(gFontLock);
  auto it = gFonts.find(font);
  if (found) *found = it != gFonts.end();
  if (it != gFonts.end()) return it->second;
  if (!gDefaultFont) gDefaultFont = MakeDefaultFont();
  return gDefaultFont;
}

// A memory DC for measuring, one per call: fonts are used from any thread.
class MeasureDc {
 public:
  explicit MeasureDc(HFONT font) : dc_(CreateCompatibleDC(nullptr)) {
    if (dc_ && font) old_ = SelectObject(dc_, font);
  }
  ~MeasureDc() {
    if (!dc_) return;
    if (old_) SelectObject(dc_, old_);
    DeleteDC(dc_);
  }
  MeasureDc(const MeasureDc &) = delete;
  MeasureDc &operator=(const MeasureDc &) = delete;
  HDC get() const { return dc_; }

 private:
  HDC dc_;
  HGDIOBJ old_ = nullptr;
};

}  // namespace

FontObject::~FontObject() {
  if (handle) DeleteObject(handle);
}

std::shared_ptr<FontObject> GetFont(int font) { return FindFont(font, nullptr); }

HFONT GetFontHandle(int font) {
  auto f = GetFont(font);
  return f ? f->handle : nullptr;
}

void TeardownFonts() {
  std::lock_guard<std::mutex> lock(gFontLock);
  gFonts.clear();
  gDefaultFont.reset();
  for (const std::wstring &path : gPrivateFiles) RemoveFontResourceExW(path.c_str(), FR_PRIVATE, nullptr);
  gPrivateFiles.clear();
}

}  // namespace rt

using namespace rt;

int CreateUiFont(const std::string &face, float size) {
  if (!RuntimeReady()) return 0;
  const int px = UiFontPixelHeight(size);
  if (px <= 0) return 0;
  LOGFONTW logfont{};
  logfont.lfHeight = -px;  // negative: the em height, as the Qt build's pixel size
  logfont.lfWeight = FW_NORMAL;
  logfont.lfCharSet = DEFAULT_CHARSET;
  logfont.lfOutPrecision = OUT_TT_PRECIS;
  logfont.lfQuality = kQuality;
  logfont.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  lstrcpynW(logfont.lfFaceName, Wide(face).c_str(), LF_FACESIZE);
  auto font = MakeFont(logfont, px);
  if (!font) return 0;
  std::lock_guard<std::mutex> lock(gFontLock);
  const int id = gNextFont++;
  gFonts[id] = std::move(font);
  return id;
}

int FreeFont(int font) {
  if (font) {
    std::lock_guard<std::mutex> lock(gFontLock);
    gFonts.erase(font);
  }
  return 1;
}

int RegisterPrivateFont(const std::string &path) {
  if (!RuntimeReady()) return 0;
  const std::wstring wpath = Wide(path);
  if (AddFontResourceExW(wpath.c_str(), FR_PRIVATE, nullptr) <= 0) return 0;
  std::lock_guard<std::mutex> lock(gFontLock);
  gPrivateFiles.push_back(wpath);
  return 1;
}

std::string FontFamily(int font) {
  bool found = false;
  auto f = FindFont(font, &found);
  if (!found || !f) return {};
  MeasureDc dc(f->handle);
  wchar_t face[LF_FACESIZE] = {};
  const int n = dc.get() ? GetTextFaceW(dc.get(), LF_FACESIZE, face) : 0;
  return n > 0 ? Narrow(face) : std::string();
}

int FontPixelSize(int font) {
  bool found = false;
  auto f = FindFont(font, &found);
  return found && f ? f->pixelSize : 0;
}

int FontLineSpacing(int font) {
  auto f = GetFont(font);
  MeasureDc dc(f ? f->handle : nullptr);
  TEXTMETRICW tm{};
  // The edit control steps its lines by the cell height, without the external leading.
  if (!dc.get() || !GetTextMetricsW(dc.get(), &tm)) return 0;
  return tm.tmHeight;
}

int MeasureTextWidth(int font, const std::string &text) {
  auto f = GetFont(font);
  const std::wstring w = Wide(text);
  MeasureDc dc(f ? f->handle : nullptr);
  SIZE size{};
  if (!dc.get() || w.empty() || !GetTextExtentPoint32W(dc.get(), w.c_str(), static_cast<int>(w.size()), &size))
    return 0;
  return size.cx;
}
