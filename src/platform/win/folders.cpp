// Known folders (the shell's known-folder ids), the executable's folder and the
// whole-file helpers on Win32. Paths are UTF-8 outside, UTF-16 at every call.
#include <windows.h>
// These need the types of windows.h first.
#include <knownfolders.h>
#include <shlobj.h>

#include <cctype>

#include "platform/file_handle.h"
#include "platform/platform.h"
#include "platform/win/win_internal.h"

namespace winplat {

std::wstring Widen(std::string_view text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace winplat

using winplat::Narrow;
using winplat::Widen;

namespace {

const KNOWNFOLDERID* FolderId(KnownFolder kind) {
  switch (kind) {
    case KnownFolder::kUserConfig:
      return &FOLDERID_RoamingAppData;
    case KnownFolder::kUserData:
      return &FOLDERID_LocalAppData;
    case KnownFolder::kDocuments:
      return &FOLDERID_Documents;
    case KnownFolder::kDownloads:
      return &FOLDERID_Downloads;
    case KnownFolder::kMusic:
      return &FOLDERID_Music;
  }
  return nullptr;
}

std::wstring KnownFolderPath(const KNOWNFOLDERID& id) {
  PWSTR p = nullptr;
  std::wstring out;
  // As with the "create if missing" flag of the player: a folder not there is made.
  if (SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &p) == S_OK && p) out = p;
  CoTaskMemFree(p);
  return out;
}

DWORD Attributes(const std::string& path) {
  if (path.empty()) return INVALID_FILE_ATTRIBUTES;
  return GetFileAttributesW(Widen(path).c_str());
}

}  // namespace

std::string GetKnownFolder(KnownFolder kind) {
  const KNOWNFOLDERID* id = FolderId(kind);
  std::wstring path = id ? KnownFolderPath(*id) : std::wstring();
  if (path.empty()) return std::string();
  if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
  return Narrow(path);
}

std::string UserDataFolder() {
  std::string base = GetKnownFolder(KnownFolder::kUserData);
  if (base.empty()) return std::string();
  std::string folder = base + "Corvale Player\\";
  if (!FolderExists(folder) && !CreateFolder(folder) && !FolderExists(folder)) return std::string();
  return folder;
}

bool FolderExists(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

std::string ExecutableFolder() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return std::string();
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(buf.size() * 2);  // truncated: a long path
  }
  size_t slash = buf.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return std::string();
  return Narrow(buf.substr(0, slash + 1));
}

int IsPathSeparator(char c) { return c == '/' || c == '\\' ? 1 : 0; }

int IsAbsolutePath(std::string_view path) {
  const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
                     IsPathSeparator(path[2]);
  // "\\server\share", "\\?\C:\..." and "\\.\pipe\...": two separators, then a name.
  const bool unc =
      path.size() >= 3 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]) && !IsPathSeparator(path[2]);
  return drive || unc ? 1 : 0;
}

int ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  if (path.empty()) return 0;
  // Others may go on writing or even delete the file while it is read, as on Linux. A
  // folder does not open without backup semantics.
  HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
      CloseHandle(h);
      out.clear();
      return 0;
    }
    if (n == 0) break;
    out.append(buf, n);
  }
  CloseHandle(h);
  return 1;
}

int WriteWholeFile(const std::string& path, std::string_view data) {
  if (path.empty()) return 0;
  HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  bool ok = platform_detail::WriteAllToFile(reinterpret_cast<intptr_t>(h), data.data(), data.size());
  if (!CloseHandle(h)) ok = false;
  return ok ? 1 : 0;
}

int ReplaceFileDurably(const std::string& temp, const std::string& path) {
  std::wstring wtemp = Widen(temp), wpath = Widen(path);
  if (wtemp.empty() || wpath.empty()) return 0;
  // Flushing needs a handle with write access.
  HANDLE h = CreateFileW(wtemp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  bool flushed = FlushFileBuffers(h) != 0;
  CloseHandle(h);
  if (!flushed) return 0;
  // Write-through: the call returns once the rename itself is on the disk, which is what
  // the folder's sync gives on Linux.
  return MoveFileExW(wtemp.c_str(), wpath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

int CreateFolder(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
  if (p.empty()) return 0;
  // The folder inherits its parent's access list: per-user data lives in the user's
  // profile, which only the user (and administrators) can read.
  return CreateDirectoryW(Widen(p).c_str(), nullptr) ? 1 : 0;
}

int DeleteFileAt(const std::string& path) { return !path.empty() && DeleteFileW(Widen(path).c_str()) ? 1 : 0; }

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  if (path.empty() || !GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &d) ||
      (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return -1;
  return (static_cast<int64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

int64_t FreeDiskSpace(const std::string& folder) {
  // What this user may still fill: quotas count, as the blocks kept for root do on Linux.
  ULARGE_INTEGER available{};
  if (folder.empty() || !GetDiskFreeSpaceExW(Widen(folder).c_str(), &available, nullptr, nullptr)) return -1;
  return static_cast<int64_t>(available.QuadPart);
}
