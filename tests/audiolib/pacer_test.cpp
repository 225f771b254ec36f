// The real-time pacing of the null and file outputs (and of ALSA plugins that swallow
// data at once), on a clock the test moves: days of playing take no time here.
#include <gtest/gtest.h>

#include <chrono>

#include "pacer.h"

namespace {

using audiolib::Pacer;
using Clock = std::chrono::steady_clock;

Clock::time_point gNow;
Clock::time_point FakeNow() { return gNow; }

}  // namespace

// Catches the elapsed-frames product overflowing after 2^63 / rate ns (about 53 hours at
// 48 kHz), after which the output slept for days while the stream still said it played.
TEST(Pacer, KeepsPaceAfterDaysOfPlaying) {
  struct Case {
    int rate;
    int64_t hours;
  } cases[] = {{48000, 1}, {48000, 54}, {44100, 59}, {192000, 14}, {8000, 321}, {48000, 24 * 365 * 20}};
  for (const Case& c : cases) {
    Pacer p;
    p.rate = c.rate;
    p.bufferFrames = int64_t(c.rate) * 160 / 1000;
    p.now = FakeNow;
    gNow = Clock::time_point{} + std::chrono::hours(1000);
    const int chunk = c.rate * 40 / 1000;
    ASSERT_EQ(p.Add(chunk), chunk);
    // The mixer has kept up for the whole time: exactly as many frames written as heard.
    gNow += std::chrono::hours(c.hours);
    p.written = c.hours * 3600 * int64_t(c.rate);
    for (int i = 0; i < 100; ++i) {
      const int64_t ahead = p.Add(chunk);
      EXPECT_GE(ahead, 0) << c.rate << " Hz, " << c.hours << " h";
      EXPECT_LE(ahead, chunk) << c.rate << " Hz, " << c.hours << " h";
      EXPECT_EQ(p.SleepFor(ahead, p.bufferFrames).count(), 0) << c.rate << " Hz, " << c.hours << " h";
      EXPECT_LE(p.Delay(), chunk);
      gNow += std::chrono::milliseconds(40);
    }
    // Written far ahead: the sleep brings it back to the buffer, not days later.
    p.written += 10 * int64_t(c.rate);
    const int64_t ahead = p.Add(chunk);
    const auto sleep = p.SleepFor(ahead, p.bufferFrames);
    EXPECT_GT(sleep.count(), 9000000);
    EXPECT_LT(sleep.count(), 11000000);
  }
}
