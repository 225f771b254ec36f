// Images: the numbered table, PNG/JPEG decoding and PNG writing through WIC.
#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/rt_graphics.h"
#include "runtime/win/rt_win.h"

namespace rt {

namespace {

struct ImageRecord {
  std::shared_ptr<Surface> surface;
  int depth = 24;
};

std::mutex gImageLock;
std::map<int, ImageRecord> gImages;  // guarded by gImageLock
int gNextImageHandle = 0x10000;      // guarded by gImageLock

// Image functions run on any thread: each call has COM for as long as it needs
// it. A thread that already has COM (any apartment) keeps it as it is.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComScope(const ComScope &) = delete;
  ComScope &operator=(const ComScope &) = delete;

 private:
  HRESULT hr_;
};

// Releases a COM pointer at the end of its scope.
template <typename T>
class Com {
 public:
  Com() = default;
  ~Com() {
    if (p_) p_->Release();
  }
  Com(const Com &) = delete;
  Com &operator=(const Com &) = delete;
  T **operator&() { return &p_; }
  T *operator->() const { return p_; }
  T *get() const { return p_; }

 private:
  T *p_ = nullptr;
};

bool MakeFactory(Com<IWICImagingFactory> &factory) {
  return SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                    reinterpret_cast<void **>(&factory)));
}

enum class Format { None, Png, Jpeg };

Format FormatOf(const unsigned char *data, size_t size) {
  static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (!data || size < 4) return Format::None;
  if (size >= 8 && std::memcmp(data, kPng, 8) == 0) return Format::Png;
  if (data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return Format::Jpeg;
  return Format::None;
}

uint32_t Big16(const unsigned char *p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t Big32(const unsigned char *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The size a file announces, read from its header alone: WIC's decoders may
// take the pixel memory as soon as they are initialised, so the bound is
// checked before that.
bool AnnouncedSize(Format format, const unsigned char *data, size_t size, long long *width, long long *height) {
  if (format == Format::Png) {
    // The signature, then IHDR first: length 13, type, width, height.
    if (size < 24 || Big32(data + 8) != 13 || std::memcmp(data + 12, "IHDR", 4) != 0) return false;
    *width = Big32(data + 16);
    *height = Big32(data + 20);
    return true;
  }
  // JPEG: the markers before the first scan, up to the frame header (SOFn).
  size_t i = 2;
  while (i < size) {
    if (data[i] != 0xFF) return false;
    while (i < size && data[i] == 0xFF) ++i;  // fill bytes
    if (i >= size) return false;
    const unsigned marker = data[i++];
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
    if (marker == 0xD9 || marker == 0xDA) return false;                  // no frame before the scan
    if (i + 2 > size) return false;
    const uint32_t length = Big16(data + i);
    if (length < 2) return false;
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (i + 7 > size) return false;
      *height = Big16(data + i + 3);
      *width = Big16(data + i + 5);
      return true;
    }
    i += length;
  }
  return false;
}

std::shared_ptr<Surface> Decode(const void *bytes, size_t size, DecodeLimit limit) {
  const auto *data = static_cast<const unsigned char *>(bytes);
  const Format format = FormatOf(data, size);
  long long width = 0, height = 0;
  if (format == Format::None || size > static_cast<size_t>(kMaxImageFileBytes)) return nullptr;
  if (!AnnouncedSize(format, data, size, &width, &height) || !SizeAllowed(width, height, limit)) return nullptr;
  ComScope com;
  Com<IWICImagingFactory> factory;
  Com<IWICStream> stream;
  Com<IWICBitmapDecoder> decoder;
  Com<IWICBitmapFrameDecode> frame;
  Com<IWICFormatConverter> converter;
  if (!MakeFactory(factory) || FAILED(factory->CreateStream(&stream)) ||
      FAILED(stream->InitializeFromMemory(const_cast<BYTE *>(data), static_cast<DWORD>(size))))
    return nullptr;
  const GUID &container = format == Format::Png ? GUID_ContainerFormatPng : GUID_ContainerFormatJpeg;
  if (FAILED(factory->CreateDecoder(container, nullptr, &decoder)) ||
      FAILED(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand)) || FAILED(decoder->GetFrame(0, &frame)))
    return nullptr;
  UINT w = 0, h = 0;
  if (FAILED(frame->GetSize(&w, &h)) || !SizeAllowed(w, h, limit)) return nullptr;
  if (FAILED(factory->CreateFormatConverter(&converter)) ||
      FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom)))
    return nullptr;
  auto surface = CreateSurface(static_cast<int>(w), static_cast<int>(h));
  if (!surface) return nullptr;
  const UINT stride = w * 4;
  if (FAILED(converter->CopyPixels(nullptr, stride, stride * h, reinterpret_cast<BYTE *>(surface->pixels))))
    return nullptr;
  return surface;
}

}  // namespace

int StoreImage(int image, std::shared_ptr<Surface> surface, int depth) {
  if (!surface) return 0;
  if (image != ImageAny && image < 1) return 0;
  std::lock_guard<std::mutex> lock(gImageLock);
  if (image == ImageAny) {
    image = gNextImageHandle++;
  } else if (image > 0xFFFF && gImages.find(image) == gImages.end()) {
    // Numbers above 0xFFFF are handles the runtime gave out; only those may be
    // replaced.
    return 0;
  }
  gImages[image] = ImageRecord{std::move(surface), depth == 32 ? 32 : 24};
  return image;
}

std::shared_ptr<Surface> GetImage(int image, int *depth) {
  std::lock_guard<std::mutex> lock(gImageLock);
  auto it = gImages.find(image);
  if (it == gImages.end()) return nullptr;
  if (depth) *depth = it->second.depth;
  return it->second.surface;
}

void TeardownImagesAndFonts() {
  {
    std::lock_guard<std::mutex> lock(gImageLock);
    gImages.clear();
  }
  TeardownFonts();
}

}  // namespace rt

using namespace rt;

int CreateImage(int image, int width, int height, int depth, uint32_t rgb) {
  if (!SizeAllowed(width, height)) return 0;
  auto surface = CreateSurface(width, height);
  if (!surface) return 0;
  std::fill(surface->pixels, surface->pixels + static_cast<size_t>(width) * height, 0xFF000000u | (rgb & 0xFFFFFF));
  return StoreImage(image, std::move(surface), depth);
}

int CopyImage(int source, int image) {
  int depth = 24;
  auto src = GetImage(source, &depth);
  if (!src) return 0;
  auto copy = CreateSurface(src->width, src->height);
  if (!copy) return 0;
  std::memcpy(copy->pixels, src->pixels, static_cast<size_t>(src->width) * src->height * 4);
  return StoreImage(image, std::move(copy), depth);
}

int ResizeImage(int image, int width, int height) {
  int depth = 24;
  auto src = GetImage(image, &depth);
  if (!src || !SizeAllowed(width, height)) return 0;
  return StoreImage(image, ScaleSurface(*src, width, height), depth);
}

int CatchImage(int image, const void *data, size_t size) {
  return StoreImage(image, Decode(data, size, DecodeLimit{}), 32);
}

int CatchUntrustedImage(int image, const void *data, size_t size) {
  return StoreImage(image, Decode(data, size, UntrustedDecodeLimit()), 32);
}

int LoadImageFile(int image, const std::string &path) {
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER size{};
  std::vector<unsigned char> bytes;
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart <= kMaxImageFileBytes;
  if (ok) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size();
  }
  CloseHandle(file);
  return ok ? CatchImage(image, bytes.data(), bytes.size()) : 0;
}

int SaveImagePng(int image, const std::string &path) {
  auto src = GetImage(image);
  if (!src) return 0;
  std::vector<uint32_t> straight(src->pixels, src->pixels + static_cast<size_t>(src->width) * src->height);
  for (uint32_t &p : straight) p = Unpremultiply(p);
  const std::wstring wpath = Wide(path);
  bool ok = false;
  {
    ComScope com;
    Com<IWICImagingFactory> factory;
    Com<IWICStream> stream;
    Com<IWICBitmapEncoder> encoder;
    Com<IWICBitmapFrameEncode> frame;
    Com<IPropertyBag2> options;
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    const UINT stride = static_cast<UINT>(src->width) * 4;
    ok = MakeFactory(factory) && SUCCEEDED(factory->CreateStream(&stream)) &&
         SUCCEEDED(stream->InitializeFromFilename(wpath.c_str(), GENERIC_WRITE));
    if (!ok) return 0;  // nothing was created
    ok = SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
         SUCCEEDED(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache)) &&
         SUCCEEDED(encoder->CreateNewFrame(&frame, &options)) && SUCCEEDED(frame->Initialize(options.get())) &&
         SUCCEEDED(frame->SetSize(static_cast<UINT>(src->width), static_cast<UINT>(src->height))) &&
         SUCCEEDED(frame->SetPixelFormat(&format)) && IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA) &&
         SUCCEEDED(frame->WritePixels(static_cast<UINT>(src->height), stride, stride * src->height,
                                      reinterpret_cast<BYTE *>(straight.data()))) &&
         SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
  }
  if (!ok) DeleteFileW(wpath.c_str());  // no half-written file left behind
  return ok ? 1 : 0;
}

void FreeImage(int image) {
  std::lock_guard<std::mutex> lock(gImageLock);
  gImages.erase(image);
}

int IsImage(int image) { return GetImage(image) ? 1 : 0; }

int ImageWidth(int image) {
  auto img = GetImage(image);
  return img ? img->width : 0;
}

int ImageHeight(int image) {
  auto img = GetImage(image);
  return img ? img->height : 0;
}

int ImageDepth(int image) {
  int depth = 0;
  return GetImage(image, &depth) ? depth : 0;
}

uint32_t GetImagePixel(int image, int x, int y) {
  int depth = 24;
  auto img = GetImage(image, &depth);
  if (!img || x < 0 || y < 0 || x >= img->width || y >= img->height) return 0;
  const uint32_t raw = img->pixels[static_cast<size_t>(y) * img->width + x];
  return depth == 24 ? raw | 0xFF000000u : Unpremultiply(raw);
}
