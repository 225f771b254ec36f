// SHA-256 and SHA-512 through Windows' CNG (BCrypt).
#include <windows.h>
// These need the types of windows.h first.
#include <bcrypt.h>

#include <sddl.h>

#include <algorithm>
#include <filesystem>
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

namespace {

constexpr const wchar_t* kCopyPrefix = L"installer-";

// An access list that lets this user alone (and the system) in, inherited by nothing
// from the folder above: what lies in the folder is what this user put there.
bool OwnerOnly(std::vector<BYTE>* descriptor) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  bool ok = size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size);
  CloseHandle(token);
  LPWSTR sid = nullptr;
  if (!ok || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) return false;
  std::wstring sddl = L"D:P(A;OICI;FA;;;" + std::wstring(sid) + L")(A;OICI;FA;;;SY)";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR sd = nullptr;
  ULONG length = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, &length)) return false;
  const BYTE* p = static_cast<const BYTE*>(sd);
  descriptor->assign(p, p + length);
  LocalFree(sd);
  return true;
}

// A new folder for one copy, in the program's folder of the local application data.
std::wstring NewPrivateFolder() {
  std::string local = GetKnownFolder(KnownFolder::kUserData);
  std::vector<BYTE> descriptor;
  if (local.empty() || !OwnerOnly(&descriptor)) return std::wstring();
  SECURITY_ATTRIBUTES sa{sizeof sa, descriptor.data(), FALSE};
  std::wstring base = winplat::Widen(local) + winplat::Widen(kApplicationId);
  if (!CreateDirectoryW(base.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return std::wstring();
  // Copies of earlier installers are done with: a new download supersedes them.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(base), ec))
    if (entry.path().filename().wstring().rfind(kCopyPrefix, 0) == 0) std::filesystem::remove_all(entry.path(), ec);
  // The name need only be new: the access list, not the name, keeps others out.
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::wstring folder = base + L"\\" + kCopyPrefix + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(attempt);
    if (CreateDirectoryW(folder.c_str(), &sa)) return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return std::wstring();
}

}  // namespace

std::string HashAndCopyFile(const std::string& path, int bits, std::string* copyPath) {
  size_t slash = path.find_last_of("\\/");
  return HashAndCopyFile(path, bits, slash == std::string::npos ? path : path.substr(slash + 1), copyPath);
}

std::string HashAndCopyFile(const std::string& path, int bits, const std::string& copyName, std::string* copyPath) {
  copyPath->clear();
  if (!Algorithm(bits) || path.empty() || copyName.empty() || copyName.find_first_of("\\/:") != std::string::npos ||
      copyName == "." || copyName == "..")
    return std::string();
  // The link itself, never what it points to; others may read but not change the file
  // while it is copied.
  HANDLE in = CreateFileW(winplat::Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (in == INVALID_HANDLE_VALUE) return std::string();
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(in) != FILE_TYPE_DISK || !GetFileInformationByHandle(in, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(in);
    return std::string();
  }
  std::wstring folder = NewPrivateFolder();
  if (folder.empty()) {
    CloseHandle(in);
    return std::string();
  }
  std::wstring copy = folder + L"\\" + winplat::Widen(copyName);
  HANDLE out = CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  static thread_local unsigned char buf[65536];
  // What is hashed is exactly what reaches the copy: the bytes of one handle.
  std::string digest = out == INVALID_HANDLE_VALUE ? std::string() : Run(bits, [&](const unsigned char** p) -> long {
    DWORD n = 0;
    if (!ReadFile(in, buf, sizeof buf, &n, nullptr)) return -1;
    DWORD written = 0;
    if (n > 0 && (!WriteFile(out, buf, n, &written, nullptr) || written != n)) return -1;
    *p = buf;
    return static_cast<long>(n);
  });
  CloseHandle(in);
  if (out != INVALID_HANDLE_VALUE && !CloseHandle(out)) digest.clear();
  if (digest.empty()) {
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
    return std::string();
  }
  *copyPath = winplat::Narrow(copy);
  return digest;
}

int DeletePrivateCopy(const std::string& copyPath) {
  std::wstring copy = winplat::Widen(copyPath);
  size_t slash = copy.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return 0;
  std::wstring folder = copy.substr(0, slash);
  size_t parent = folder.find_last_of(L"\\/");
  if (parent == std::wstring::npos || folder.compare(parent + 1, wcslen(kCopyPrefix), kCopyPrefix) != 0) return 0;
  bool removed = DeleteFileW(copy.c_str()) != 0;
  RemoveDirectoryW(folder.c_str());
  return removed ? 1 : 0;
}
