// SHA-256 and SHA-512 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace {

const EVP_MD* Digest(int bits) {
  if (bits == 256) return EVP_sha256();
  if (bits == 512) return EVP_sha512();
  return nullptr;
}

std::string Hex(const unsigned char* d, unsigned int n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (unsigned int i = 0; i < n; ++i) {
    out += kHex[d[i] >> 4];
    out += kHex[d[i] & 15];
  }
  return out;
}

// Feeds chunks from `next` until it returns 0 bytes; "" on any failure.
template <typename Next>
std::string Run(int bits, Next next) {
  const EVP_MD* md = Digest(bits);
  if (!md) return std::string();
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (!ctx) return std::string();
  std::string result;
  if (EVP_DigestInit_ex(ctx, md, nullptr) == 1) {
    bool ok = true;
    for (;;) {
      const unsigned char* data = nullptr;
      long n = next(&data);
      if (n < 0) {
        ok = false;
        break;
      }
      if (n == 0) break;
      if (EVP_DigestUpdate(ctx, data, static_cast<size_t>(n)) != 1) {
        ok = false;
        break;
      }
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (ok && EVP_DigestFinal_ex(ctx, out, &len) == 1) result = Hex(out, len);
  }
  EVP_MD_CTX_free(ctx);
  return result;
}

}  // namespace

std::string DataHashHex(std::string_view data, int bits) {
  bool given = false;
  return Run(bits, [&](const unsigned char** p) -> long {
    if (given) return 0;
    given = true;
    *p = reinterpret_cast<const unsigned char*>(data.data());
    // An empty input still has a hash: one empty update is as good as none.
    return static_cast<long>(data.size());
  });
}

std::string FileHashHex(const std::string& path, int bits) {
  if (!Digest(bits)) return std::string();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  static thread_local unsigned char buf[65536];
  std::string r = Run(bits, [&](const unsigned char** p) -> long {
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      *p = buf;
      return n < 0 ? -1 : static_cast<long>(n);
    }
  });
  close(fd);
  return r;
}
