#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "player_env.h"

class LoopRules : public PlayerEnv {};

// The watchdog leaves a running attempt alone and restarts a dead or missing stream.
TEST_F(LoopRules, ReconnectWatchdog) {
  int probes = 0;
  auto active = [&](int v) {
    return [&probes, v] {
      ++probes;
      return v;
    };
  };
  auto connected = [&](uint64_t v) {
    return [&probes, v] {
      ++probes;
      return v;
    };
  };
  // Connecting: nothing, and the stream is not even asked.
  EXPECT_EQ(ReconnectWatchdogDue(7, 1, active(0), connected(0)), 0);
  EXPECT_EQ(ReconnectWatchdogDue(0, 1, active(0), connected(0)), 0);
  EXPECT_EQ(probes, 0);
  // No stream and no attempt: start the next stream.
  EXPECT_EQ(ReconnectWatchdogDue(0, 0, active(1), connected(1)), 1);
  EXPECT_EQ(probes, 0);
  // Playing and connected: nothing.
  EXPECT_EQ(ReconnectWatchdogDue(7, 0, active(1), connected(1)), 0);
  // Channel stopped: start.
  EXPECT_EQ(ReconnectWatchdogDue(7, 0, active(0), connected(1)), 1);
  // Server closed the connection while the handle is still set: start.
  EXPECT_EQ(ReconnectWatchdogDue(7, 0, active(1), connected(0)), 1);
}

// Gates measure elapsed time with unsigned differences, so they survive both wraps.
TEST_F(LoopRules, WrapSafeGates) {
  struct Case {
    uint32_t stamp, now, elapsed;
  } cases[] = {
      {1000, 1025, 25},
      {0x7FFFFFF0u, 0x80000009u, 25},  // past 2^31: a signed difference would be hugely negative
      {0xFFFFFFF0u, 0x00000009u, 25},  // past 2^32: the clock starts again at 0
      {0xFFFFFFFFu - 499, 0, 500},
      {5, 5, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ElapsedMs(c.now, c.stamp), c.elapsed) << c.stamp << " " << c.now;
  // The start-up stamps of "now - 1000" open the gates at once even right after the clock wrapped.
  uint32_t now = 200;
  InitLoopTiming(now);
  EXPECT_GE(ElapsedMs(now, gApp.levelPollStamp), 25u);
  EXPECT_GE(ElapsedMs(now, gApp.statsRefreshStamp), 1000u);
  EXPECT_EQ(ElapsedMs(now, gApp.housekeepingStamp), 0u);
}

// The title keeps both separators even when a part is empty.
TEST_F(LoopRules, NowPlayingTitle) {
  EXPECT_EQ(NowPlayingTitle("Artist", "Title"), "Artist - Title - Corvale Player");
  EXPECT_EQ(NowPlayingTitle("", ""), " -  - Corvale Player");
}

// The manual: a language without a folder falls back to the default page; "en" is unchecked.
TEST_F(LoopRules, ManualPageByLanguage) {
  std::string data =
      std::filesystem::temp_directory_path().string() + "/corvale-manual-" + std::to_string(::getpid()) + "/";
  std::filesystem::create_directories(data + "manual/de");
  EXPECT_EQ(ManualPage(data, "de"), data + "manual/de/index.html");
  EXPECT_EQ(ManualPage(data, "fr"), data + "manual/index.html");
  EXPECT_EQ(ManualPage(data, ""), data + "manual/index.html");
  EXPECT_EQ(ManualPage(data, "en"), data + "manual/en/index.html");
  std::filesystem::remove_all(data);
}

// The loop sleeps until the earliest pass anyone asked for: a later one stalls the
// meter, an overdue one left waiting stalls everything, a 0 with nothing due spins.
TEST_F(LoopRules, IdleWaitUntilTheEarliestRequest) {
  struct Case {
    uint32_t now;
    std::vector<uint32_t> dues;
    int quit;
    uint32_t wait;
  } cases[] = {
      {1000, {1025, 1500}, 0, 25},
      {1000, {1500, 1025}, 0, 25},                     // the order of the requests does not matter
      {1010, {1025, 1500}, 0, 15},                     // an event took 10 ms: 15 ms left
      {1030, {1500, 1025}, 0, 0},                      // overdue: no wait at all
      {1000, {1000}, 0, 0},                            // asked for now
      {1000, {}, 0, kUnaskedWaitMs},                   // nobody asked: neither 0 nor for ever
      {1000, {9000}, 0, kUnaskedWaitMs},               // a far request waits no longer than an unasked loop
      {1000, {1025}, 1, 0},                            // a requested quit is tested at once
      {1000, {}, 1, 0},
      {0xFFFFFFF0u, {0x00000005u, 0xFFFFFFF8u}, 0, 8},  // the earliest across the 2^32 wrap
      {0xFFFFFFF0u, {0x00000005u}, 0, 21},
      {0x00000005u, {0xFFFFFFF0u}, 0, 0},              // overdue across the wrap
  };
  for (const Case& c : cases) {
    gApp.wakeAsked = 0;
    for (uint32_t due : c.dues) RequestWakeAt(due);
    gApp.quitRequested.store(c.quit);
    EXPECT_EQ(IdleWaitMs(c.now), c.wait) << c.now << " quit " << c.quit << " requests " << c.dues.size();
  }
}
