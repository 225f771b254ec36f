// Real-time pacing of the outputs that take data faster than it is heard: frames
// written against a monotonic clock. The clock can be replaced, so that a test can run
// it days ahead.
#pragma once

#include <chrono>
#include <cstdint>

namespace audiolib {

struct Pacer {
  using Clock = std::chrono::steady_clock;
  int rate = 48000;
  int64_t bufferFrames = 0;
  Clock::time_point anchor;
  int64_t written = 0;
  bool started = false;
  Clock::time_point (*now)() = &Clock::now;

  // Frames heard since the anchor. Whole seconds and the rest apart: nanoseconds times
  // the rate would overflow 64 bits after 2^63 / rate ns (53 hours at 48 kHz).
  int64_t Elapsed(Clock::time_point at) const {
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at - anchor).count();
    const int64_t seconds = ns / 1000000000LL, rest = ns % 1000000000LL;
    return seconds * int64_t(rate) + rest * int64_t(rate) / 1000000000LL;
  }
  // Counts count frames as written; returns how far ahead of real time that is.
  int64_t Add(int count) {
    const auto t = now();
    if (!started || Elapsed(t) > written) {
      // First write, or the mixer paused and the device ran dry: start over from now.
      anchor = t;
      written = 0;
      started = true;
    }
    written += count;
    return written - Elapsed(t);
  }
  // How long to sleep when ahead by more than allowed frames, down to the buffer.
  std::chrono::microseconds SleepFor(int64_t ahead, int64_t allowed) const {
    if (ahead <= allowed) return std::chrono::microseconds(0);
    return std::chrono::microseconds((ahead - bufferFrames) * 1000000LL / rate);
  }
  int Delay() const {
    if (!started) return 0;
    const int64_t d = written - Elapsed(now());
    return d > 0 ? int(d) : 0;
  }
};

}  // namespace audiolib
