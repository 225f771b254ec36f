// Output devices behind one small table: a null device and a file writer (raw float or
// WAV) here, beside the system's own outputs (ALSA and the sound server on Linux, WASAPI
// on Windows). The null and file devices take data as fast as it comes, so they pace
// themselves to real time.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "internal.h"
#include "pacer.h"

namespace audiolib {

namespace {

constexpr int kBufferMs = 160;  // what a device holds ahead of what is heard

// --- null and file ------------------------------------------------------------------
// The file writer's few file operations; the path is UTF-8 on every system.
#ifdef _WIN32
using FileHandle = HANDLE;
const FileHandle kNoFile = INVALID_HANDLE_VALUE;

FileHandle CreateOutputFile(const char* path) {
  return CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

bool WriteAll(FileHandle f, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    DWORD n = 0;
    if (!WriteFile(f, p, DWORD(std::min<size_t>(length, 1u << 30)), &n, nullptr) || n == 0) return false;
    p += n;
    length -= n;
  }
  return true;
}

void WriteAtStart(FileHandle f, const void* data, size_t length) {
  OVERLAPPED at{};
  DWORD n = 0;
  WriteFile(f, data, DWORD(length), &n, &at);
}

void CloseFile(FileHandle f) { CloseHandle(f); }
#else
using FileHandle = int;
const FileHandle kNoFile = -1;

FileHandle CreateOutputFile(const char* path) { return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }

bool WriteAll(FileHandle fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
  }
  return true;
}

void WriteAtStart(FileHandle fd, const void* data, size_t length) { (void)!::pwrite(fd, data, length, 0); }

void CloseFile(FileHandle fd) { ::close(fd); }
#endif

struct FileState {
  Pacer pacer;
  int channels = 2;
  FileHandle file = kNoFile;
  bool wav = false;
  uint64_t dataBytes = 0;
};

void PutLe(uint8_t* p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = uint8_t(v >> (8 * i));
}

void WavHeader(uint8_t* h, int rate, int channels, uint64_t dataBytes) {
  const uint32_t data = dataBytes > 0xFFFFFF00u ? 0xFFFFFF00u : uint32_t(dataBytes);
  std::memcpy(h, "RIFF", 4);
  PutLe(h + 4, 36 + data, 4);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  PutLe(h + 16, 16, 4);
  PutLe(h + 20, 3, 2);  // IEEE float
  PutLe(h + 22, uint32_t(channels), 2);
  PutLe(h + 24, uint32_t(rate), 4);
  PutLe(h + 28, uint32_t(rate * channels * 4), 4);
  PutLe(h + 32, uint32_t(channels * 4), 2);
  PutLe(h + 34, 32, 2);
  std::memcpy(h + 36, "data", 4);
  PutLe(h + 40, data, 4);
}

int PacedOpen(void** state, const char* path, int* rate, int channels) {
  auto* st = new FileState();
  st->pacer.rate = *rate;
  st->pacer.bufferFrames = int64_t(*rate) * kBufferMs / 1000;
  st->channels = channels;
  if (path) {
    st->file = CreateOutputFile(path);
    if (st->file == kNoFile) {
      delete st;
      return 0;
    }
    const size_t len = std::strlen(path);
    st->wav = len >= 4 && strcasecmp(path + len - 4, ".wav") == 0;
    if (st->wav) {
      uint8_t h[44];
      WavHeader(h, *rate, channels, 0);
      if (!WriteAll(st->file, h, sizeof h)) {
        CloseFile(st->file);
        delete st;
        return 0;
      }
    }
  }
  *state = st;
  return 1;
}

int NullOpen(void** state, const char*, int* rate, int channels) { return PacedOpen(state, nullptr, rate, channels); }

int FileOpen(void** state, const char* path, int* rate, int channels) {
  if (!path || !*path) return 0;
  return PacedOpen(state, path, rate, channels);
}

int PacedWrite(void* state, const float* frames, int count) {
  auto* st = static_cast<FileState*>(state);
  if (st->file != kNoFile) {
    const size_t bytes = size_t(count) * size_t(st->channels) * sizeof(float);
    if (!WriteAll(st->file, frames, bytes)) return 0;
    st->dataBytes += bytes;
  }
  const int64_t ahead = st->pacer.Add(count);
  std::this_thread::sleep_for(st->pacer.SleepFor(ahead, st->pacer.bufferFrames));
  return 1;
}

int PacedDelay(void* state) { return static_cast<FileState*>(state)->pacer.Delay(); }

void PacedClose(void* state) {
  auto* st = static_cast<FileState*>(state);
  if (st->file != kNoFile) {
    if (st->wav) {
      uint8_t h[44];
      WavHeader(h, st->pacer.rate, st->channels, st->dataBytes);
      WriteAtStart(st->file, h, sizeof h);
    }
    CloseFile(st->file);
  }
  delete st;
}

const OutputDevice kNull = {"null", NullOpen, PacedWrite, PacedDelay, PacedClose, nullptr};
const OutputDevice kFile = {"file", FileOpen, PacedWrite, PacedDelay, PacedClose, nullptr};

}  // namespace

// "null", "file:<path>" (".wav" for a WAV file, else raw interleaved float), and the
// system's outputs: on Windows "wasapi", which "auto" is; elsewhere "alsa",
// "alsa:<pcm name>", "pulse", "pulse:<server>", with "auto" the sound server when one
// answers, else ALSA.
const OutputDevice* FindOutputDevice(const std::string& device, std::string* argument) {
  const size_t colon = device.find(':');
  const std::string kind = device.substr(0, colon);
  *argument = colon == std::string::npos ? std::string() : device.substr(colon + 1);
  if (kind == "null") return &kNull;
  if (kind == "file") return &kFile;
#ifdef _WIN32
  if (kind == "wasapi" || kind == "auto") return &kWasapiOutput;
#else
  if (kind == "alsa") return &kAlsaOutput;
  if (kind == "pulse") return &kPulseOutput;
  if (kind == "auto") return PulseServerAnswers() ? &kPulseOutput : &kAlsaOutput;
#endif
  return nullptr;
}

}  // namespace audiolib
