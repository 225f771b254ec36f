// SHA-256 and SHA-512 through Windows' CNG (BCrypt).
#include <windows.h>
// These need the types of windows.h first.
#include <bcrypt.h>

#include <algorithm>
#include <vector>

#include "platform/platform.h"
#include "platform/win/win_internal.h"

namespace {

const wchar_t* Algorithm(int bits) {
  if (bits == 256) return BCRYPT_SHA256_ALGORITHM;
  if (bits == 512) return BCRYPT_SHA512_ALGORITHM;
  return nullptr;
}

std::string Hex(const unsigned char* d, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += kHex[d[i] >> 4];
    out += kHex[d[i] & 15];
  }
  return out;
}

// Feeds chunks from `next` until it returns 0 bytes; "" on any failure.
template <typename Next>
std::string Run(int bits, Next next) {
  const wchar_t* name = Algorithm(bits);
  if (!name) return std::string();
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, name, nullptr, 0))) return std::string();
  std::string result;
  BCRYPT_HASH_HANDLE hash = nullptr;
  // The hash object's memory is the provider's when none is given (Windows 7 and later);
  // Vista needs it from the caller.
  DWORD objectSize = 0, got = 0;
  std::vector<UCHAR> object;
  if (BCRYPT_SUCCESS(BCryptGetProperty(alg, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize),
                                       sizeof objectSize, &got, 0)))
    object.resize(objectSize);
  if (BCRYPT_SUCCESS(BCryptCreateHash(alg, &hash, object.empty() ? nullptr : object.data(),
                                      static_cast<ULONG>(object.size()), nullptr, 0, 0))) {
    bool ok = true;
    for (;;) {
      const unsigned char* data = nullptr;
      long n = next(&data);
      if (n < 0) {
        ok = false;
        break;
      }
      if (n == 0) break;
      if (!BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(data), static_cast<ULONG>(n), 0))) {
        ok = false;
        break;
      }
    }
    unsigned char out[64];
    ULONG len = static_cast<ULONG>(bits / 8);
    if (ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, out, len, 0))) result = Hex(out, len);
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(alg, 0);
  return result;
}

}  // namespace

std::string DataHashHex(std::string_view data, int bits) {
  size_t offset = 0;
  // In pieces that fit a ULONG; an empty input gives no piece and still has a hash.
  return Run(bits, [&](const unsigned char** p) -> long {
    size_t n = std::min(data.size() - offset, size_t(1) << 30);
    *p = reinterpret_cast<const unsigned char*>(data.data()) + offset;
    offset += n;
    return static_cast<long>(n);
  });
}

std::string FileHashHex(const std::string& path, int bits) {
  if (!Algorithm(bits) || path.empty()) return std::string();
  // A folder does not open without backup semantics, so it has no hash.
  HANDLE h = CreateFileW(winplat::Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::string();
  static thread_local unsigned char buf[65536];
  std::string r = Run(bits, [&](const unsigned char** p) -> long {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) return -1;
    *p = buf;
    return static_cast<long>(n);
  });
  CloseHandle(h);
  return r;
}
