// Raw write handles of the Linux build: descriptors, never inherited by child programs.
#include "platform/file_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform_detail {

FileHandle OpenWriteFile(const std::string& path, bool append) {
  int fd = open(path.c_str(), (append ? O_APPEND : O_TRUNC) | O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  return fd < 0 ? kNoFile : fd;
}

FileHandle CreateFreshFile(const std::string& path) {
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  return fd < 0 ? kNoFile : fd;
}

bool WriteAllToFile(FileHandle file, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(static_cast<int>(file), data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool CloseFile(FileHandle file) { return close(static_cast<int>(file)) == 0; }

}  // namespace platform_detail
