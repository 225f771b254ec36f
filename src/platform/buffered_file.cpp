// Files written through a buffer: records reach the disk when the buffer fills, on
// flush and on close, not once per line.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "platform/file_handle.h"
#include "platform/platform.h"

namespace {

using platform_detail::FileHandle;
using platform_detail::kNoFile;

struct BufferedFile {
  FileHandle fd = kNoFile;
  size_t capacity = 131072;
  std::string buffer;
  bool failed = false;
  std::mutex lock;  // one writer at a time per file
};

std::mutex gTableLock;
std::map<int, std::shared_ptr<BufferedFile>> gFiles;  // guarded by gTableLock
int gNextFile = 1;
std::atomic<size_t> gBufferSize{131072};

bool WriteAll(FileHandle fd, const char* data, size_t size) { return platform_detail::WriteAllToFile(fd, data, size); }

// Called with f->lock held.
bool FlushLocked(BufferedFile* f) {
  if (f->buffer.empty()) return !f->failed;
  bool ok = WriteAll(f->fd, f->buffer.data(), f->buffer.size());
  f->buffer.clear();
  if (!ok) f->failed = true;
  return ok;
}

std::shared_ptr<BufferedFile> Find(int file) {
  std::lock_guard<std::mutex> g(gTableLock);
  auto it = gFiles.find(file);
  return it == gFiles.end() ? nullptr : it->second;
}

int Open(const std::string& path, bool append) {
  if (path.empty()) return 0;
  FileHandle fd = platform_detail::OpenWriteFile(path, append);
  if (fd == kNoFile) return 0;
  auto f = std::make_shared<BufferedFile>();
  f->fd = fd;
  f->capacity = gBufferSize.load();
  f->buffer.reserve(f->capacity);
  std::lock_guard<std::mutex> g(gTableLock);
  int id = gNextFile++;
  gFiles[id] = f;
  return id;
}

}  // namespace

void SetFileBufferSize(size_t bytes) { gBufferSize.store(bytes ? bytes : 1); }
size_t FileBufferSize() { return gBufferSize.load(); }

int CreateBufferedFile(const std::string& path) { return Open(path, false); }
int AppendBufferedFile(const std::string& path) { return Open(path, true); }

int WriteBufferedFile(int file, std::string_view data) {
  auto f = Find(file);
  if (!f) return 0;
  std::lock_guard<std::mutex> g(f->lock);
  if (f->buffer.size() + data.size() > f->capacity) {
    if (!FlushLocked(f.get())) return 0;
    // A record larger than the whole buffer goes straight to the file.
    if (data.size() > f->capacity) {
      if (!WriteAll(f->fd, data.data(), data.size())) {
        f->failed = true;
        return 0;
      }
      return 1;
    }
  }
  f->buffer.append(data.data(), data.size());
  return 1;
}

int FlushBufferedFile(int file) {
  auto f = Find(file);
  if (!f) return 0;
  std::lock_guard<std::mutex> g(f->lock);
  return FlushLocked(f.get()) ? 1 : 0;
}

int CloseBufferedFile(int file) {
  std::shared_ptr<BufferedFile> f;
  {
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gFiles.find(file);
    if (it == gFiles.end()) return 0;
    f = it->second;
    gFiles.erase(it);
  }
  std::lock_guard<std::mutex> g(f->lock);
  bool ok = FlushLocked(f.get());
  if (!platform_detail::CloseFile(f->fd)) ok = false;
  f->fd = kNoFile;
  return ok ? 1 : 0;
}

void CloseAllBufferedFiles() {
  std::map<int, std::shared_ptr<BufferedFile>> all;
  {
    std::lock_guard<std::mutex> g(gTableLock);
    all.swap(gFiles);
  }
  for (auto& [id, f] : all) {
    std::lock_guard<std::mutex> g(f->lock);
    FlushLocked(f.get());
    platform_detail::CloseFile(f->fd);
    f->fd = kNoFile;
  }
}
