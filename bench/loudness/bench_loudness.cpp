// Feeds one title of two hours (unless told otherwise) through the player's measuring DSP
// in the mixer's 40 ms buffers of 48 kHz stereo floats, and prints the heap the process
// holds and its resident size as the title grows, then the title's figures and the CPU
// time per hour of audio. The meter works in histogram mode: the memory must stay where
// it was after the first minute.
//   bench_loudness [minutes]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/platform.h"
#include "playback/playback.h"

namespace {

// Bytes the allocator has handed out and not got back.
long long HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's allocator stands in for the C library's, which then reports nothing.
  return (long long)__sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
  struct mallinfo2 m = mallinfo2();
  return (long long)(m.uordblks + m.hblkhd);
#else
  return -1;
#endif
}

// Resident set size in KiB from /proc (Linux); -1 elsewhere.
long long ResidentKiB() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long long kib = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmRSS: %lld kB", &kib) == 1) break;
  std::fclose(f);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  const int minutes = argc > 1 ? std::atoi(argv[1]) : 120;
  constexpr int kRate = 48000, kChunk = kRate / 25;
  std::vector<float> buffer(size_t(kChunk) * 2);
  uint64_t noise = 0x9E3779B97F4A7C15ull;
  double phase = 0.0;
  ResetTitleLoudness();
  gPlayer.measureReset = 1;
  const auto cpu0 = std::clock();
  std::printf("| audio | heap in use | resident |\n|---|---|---|\n");
  const long long chunksPerMinute = 60LL * 25;
  for (long long chunk = 0; chunk <= minutes * chunksPerMinute; ++chunk) {
    const long long minute = chunk / chunksPerMinute;
    if (chunk % chunksPerMinute == 0 && (minute == 0 || minute == 1 || minute % 15 == 0))
      std::printf("| %lld min | %lld bytes | %lld KiB |\n", minute, HeapInUse(), ResidentKiB());
    if (chunk == minutes * chunksPerMinute) break;
    // A tone with noise whose level wanders over 20 dB within every minute, so the
    // histograms of the loudness and its range fill many bins.
    const double level = std::pow(10.0, (-30.0 + 20.0 * (0.5 + 0.5 * std::sin(double(chunk) * 0.004))) / 20.0);
    for (int i = 0; i < kChunk; ++i) {
      noise ^= noise << 13, noise ^= noise >> 7, noise ^= noise << 17;
      const double n = double(noise >> 11) * (2.0 / 9007199254740992.0) - 1.0;
      phase += 2.0 * M_PI * 440.0 / kRate;
      if (phase > 2.0 * M_PI) phase -= 2.0 * M_PI;
      buffer[size_t(i) * 2] = float(level * (std::sin(phase) + 0.3 * n));
      buffer[size_t(i) * 2 + 1] = float(level * (std::sin(phase + 0.3) + 0.3 * n));
    }
    LevelDsp(1, 1, buffer.data(), DWORD(buffer.size() * sizeof(float)), nullptr);
  }
  const double cpu = double(std::clock() - cpu0) / CLOCKS_PER_SEC;
  TrackHistoryEntry e;
  TakeTitleLoudness(e);
  std::printf("\nfigures of the %d-minute title: %s LUFS, %s LU range, %s dBTP true peak\n", minutes,
              FormatFixed(e.lufs, 2).c_str(), FormatFixed(e.luRange, 2).c_str(), FormatFixed(e.truePeak, 2).c_str());
  std::printf("CPU: %.1f s for %d min of audio (%.2f s per hour, %.3f %% of a core in real time)\n", cpu, minutes,
              cpu * 60.0 / minutes, cpu / (minutes * 60.0) * 100.0);
  return 0;
}
