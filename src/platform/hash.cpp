// SHA-256 and SHA-512 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

#include <new>

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

namespace {

// Folders of the private copies: $XDG_RUNTIME_DIR (the user's own, 0700 by its rules),
// else the user's cache folder; the program's folder in it is created 0700. Whatever is
// used must belong to this user and be writable by nobody else, or nothing is copied.
bool Private(const std::string& folder) {
  struct stat st {};
  return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 022) == 0;
}

std::string PrivateBase() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  std::string parent;
  if (runtime && *runtime == '/' && Private(runtime)) {
    parent = runtime;
  } else {
    const char* cache = getenv("XDG_CACHE_HOME");
    const char* home = getenv("HOME");
    if (cache && *cache == '/')
      parent = cache;
    else if (home && *home == '/')
      parent = std::string(home) + "/.cache";
    else
      return std::string();
    mkdir(parent.c_str(), 0700);
  }
  std::string base = parent + "/" + kApplicationId;
  mkdir(base.c_str(), 0700);
  return Private(base) ? base : std::string();
}

constexpr const char* kCopyPrefix = "installer-";

}  // namespace

std::string HashAndCopyFile(const std::string& path, int bits, std::string* copyPath) {
  size_t slash = path.rfind('/');
  return HashAndCopyFile(path, bits, slash == std::string::npos ? path : path.substr(slash + 1), copyPath);
}

std::string HashAndCopyFile(const std::string& path, int bits, const std::string& copyName, std::string* copyPath) {
  copyPath->clear();
  if (!Digest(bits) || copyName.empty() || copyName.find('/') != std::string::npos || copyName == "." ||
      copyName == "..")
    return std::string();
  // Never through a link, and a FIFO or device is refused before anything is read.
  int in = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (in < 0) return std::string();
  struct stat st {};
  std::string base = PrivateBase();
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode) || base.empty()) {
    close(in);
    return std::string();
  }
  // Copies of earlier installers are done with: a new download supersedes them.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(base, ec))
    if (entry.path().filename().string().rfind(kCopyPrefix, 0) == 0) std::filesystem::remove_all(entry.path(), ec);
  std::string folderTemplate = base + "/" + kCopyPrefix + "XXXXXX";
  if (!mkdtemp(folderTemplate.data())) {
    close(in);
    return std::string();
  }
  const std::string folder = folderTemplate;
  const std::string copy = folder + "/" + copyName;
  int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
  std::unique_ptr<unsigned char[]> block(out >= 0 ? new (std::nothrow) unsigned char[1 << 20] : nullptr);
  bool written = block != nullptr;
  // What is hashed is exactly what reaches the copy: the bytes of one descriptor.
  std::string digest = written ? Run(bits, [&](const unsigned char** p) -> long {
    for (;;) {
      ssize_t n = read(in, block.get(), 1 << 20);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        for (ssize_t done = 0; done < n;) {
          ssize_t w = write(out, block.get() + done, size_t(n - done));
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) return -1;
          done += w;
        }
      }
      *p = block.get();
      return n < 0 ? -1 : static_cast<long>(n);
    }
  })
                               : std::string();
  close(in);
  if (out >= 0 && close(out) != 0) digest.clear();
  if (digest.empty()) {
    unlink(copy.c_str());
    rmdir(folder.c_str());
    return std::string();
  }
  *copyPath = copy;
  return digest;
}

int DeletePrivateCopy(const std::string& copyPath) {
  size_t slash = copyPath.rfind('/');
  if (slash == std::string::npos) return 0;
  const std::string folder = copyPath.substr(0, slash);
  if (folder.substr(folder.rfind('/') + 1).rfind(kCopyPrefix, 0) != 0) return 0;
  bool removed = unlink(copyPath.c_str()) == 0;
  rmdir(folder.c_str());
  return removed ? 1 : 0;
}
