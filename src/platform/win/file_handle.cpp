// Raw write handles of the Windows build: Win32 handles, never inherited by child
// programs, shared so that others can read, rename or delete the file meanwhile.
#include "platform/file_handle.h"

#include <windows.h>

#include "platform/win/win_internal.h"

namespace platform_detail {

namespace {

HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle FromHandle(HANDLE h) { return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h); }

}  // namespace

FileHandle OpenWriteFile(const std::string& path, bool append) {
  if (path.empty()) return kNoFile;
  // Append-only access puts every write at the end, whatever else wrote there meanwhile.
  DWORD access = append ? FILE_APPEND_DATA : GENERIC_WRITE;
  return FromHandle(CreateFileW(winplat::Widen(path).c_str(), access,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle CreateFreshFile(const std::string& path) {
  std::wstring w = winplat::Widen(path);
  if (w.empty()) return kNoFile;
  // DeleteFileW removes a link itself, never its target; CREATE_NEW then refuses
  // anything that appeared at the name in between.
  DeleteFileW(w.c_str());
  return FromHandle(CreateFileW(w.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteAllToFile(FileHandle file, const char* data, size_t size) {
  while (size > 0) {
    DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(AsHandle(file), data, piece, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool CloseFile(FileHandle file) { return CloseHandle(AsHandle(file)) != 0; }

}  // namespace platform_detail
