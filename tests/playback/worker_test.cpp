// The connection and playback worker against a stand-in audio library: one attempt per
// run with its log lines, the stream order, failures, the stop routine, the syncs, the
// watchdog, and the start rule that never runs two workers nor leaves `connecting` set.
#include <gtest/gtest.h>

#include <thread>

#include "core/core.h"
#include "playback_test_util.h"
#include "runtime/runtime.h"

using namespace playtest;

namespace {

class WorkerTest : public PlayerEnv {
 protected:
  void SetUp() override {
    gPlayer.audioReady = 1;
    SetStreamList({Entry("1", "http://127.0.0.1:9/a.mp3", "mp3", 128),
                   Entry("2", "http://127.0.0.1:9/b.aac", "aac", 64),
                   Entry("3", "http://127.0.0.1:9/c.ogg", "ogg", 96)});
  }
  void TearDown() override {
    WaitWorkerIdle();
  }
  FakeBassScope fake_;
};

std::string LastUrl() {
  std::lock_guard<std::mutex> l(Fake().lock);
  return Fake().lastUrl;
}

}  // namespace

// Catches a connect that misses a step, a log line or the start-up volume slide.
TEST_F(WorkerTest, ConnectsAndPlays) {
  LogCapture log;
  gPlayer.volume = 0.7f;
  gPlayer.connecting = 1;
  PlaybackWorker(WorkerStart::kReconnectCurrent);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Connecting to \"1\" http://127.0.0.1:9/a.mp3",
                                                   "Connected, 2 Ch, 48 KHz MP3.", "Playing."}));
  EXPECT_NE(gPlayer.streamHandle.load(), 0u);
  EXPECT_NE(gPlayer.metaSync.load(), 0u);
  EXPECT_NE(gPlayer.endSync.load(), 0u);
  EXPECT_NE(gPlayer.deviceFailSync.load(), 0u);
  EXPECT_EQ(Fake().dsps.load(), 1);  // the level meter's
  EXPECT_EQ(gPlayer.connecting.load(), 0);
  EXPECT_EQ(gPlayer.connectCount.load(), 1);
  EXPECT_EQ(gPlayer.streamNumber.load(), 1);
  EXPECT_EQ(PlayerString(&PlayerState::connectId), "1");
  EXPECT_EQ(PlayerString(&PlayerState::connectUrl), "http://127.0.0.1:9/a.mp3");
  EXPECT_EQ(gSettings.bitrate.load(), 128);
  EXPECT_EQ(gSettings.GetCodec(), "mp3");
  EXPECT_EQ(gPlayer.bitrate.load(), 128000);
  EXPECT_EQ(PlayerString(&PlayerState::serverName), "Test Radio");
  EXPECT_FLOAT_EQ(Fake().lastSlideValue.load(), 0.7f);
  EXPECT_EQ(Fake().lastSlideMs.load(), 100);
}

// Catches the stream order: advancing moves on and wraps after the last entry.
TEST_F(WorkerTest, AdvanceWraps) {
  struct Step {
    WorkerStart start;
    const char* url;
    int64_t number;
  } steps[] = {{WorkerStart::kReconnectCurrent, "http://127.0.0.1:9/a.mp3", 1},
               {WorkerStart::kAdvanceToNext, "http://127.0.0.1:9/b.aac", 2},
               {WorkerStart::kAdvanceToNext, "http://127.0.0.1:9/c.ogg", 3},
               {WorkerStart::kAdvanceToNext, "http://127.0.0.1:9/a.mp3", 1},
               {WorkerStart::kReconnectCurrent, "http://127.0.0.1:9/a.mp3", 1}};
  for (const Step& s : steps) {
    PlaybackWorker(s.start);
    EXPECT_EQ(LastUrl(), s.url);
    EXPECT_EQ(gPlayer.streamNumber.load(), s.number);
  }
  // The previous stream is stopped and freed before each new one.
  EXPECT_EQ(Fake().frees.load(), 4);
}

// Catches wrong failure lines, a missing output reset on error -1, and a stream handle
// left behind after a failed attempt.
TEST_F(WorkerTest, ConnectFailures) {
  struct Case {
    int error;
    int initOk;
    std::vector<std::string> lines;
    int reopened;
  } cases[] = {
      {2, 1, {"Unable to connect, BASS: Can't open the file! (error 2)"}, 0},
      {40, 1, {"Unable to connect, BASS: Connection timed out! (error 40)"}, 0},
      {41, 1, {"Stream file format error.", "Unable to connect, BASS: Unsupported file format! (error 41)"}, 0},
      {-1, 1, {"Unable to connect, BASS: Unknown! (error -1)"}, 1},
      {-1,
       0,
       {"BASS: Can't find a free/valid driver! (error 3)",
        "Unable to connect, BASS: Can't find a free/valid driver! (error 3)"},
       1},
  };
  gPlayer.shutdown = 1;  // the 1 s pauses end at once; the steps do not change
  for (const Case& c : cases) {
    gPlayer.audioReady = 1;
    Fake().createFails = c.error;
    Fake().initResult = c.initOk;
    int releases = Fake().releases.load(), inits = Fake().inits.load();
    LogCapture log;
    gPlayer.connecting = 1;
    PlaybackWorker(WorkerStart::kReconnectCurrent);
    std::vector<std::string> lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Connecting to \"1\" http://127.0.0.1:9/a.mp3");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), c.lines) << c.error;
    EXPECT_EQ(Fake().releases.load() - releases, c.reopened) << c.error;
    EXPECT_EQ(Fake().inits.load() - inits, c.reopened) << c.error;
    EXPECT_EQ(gPlayer.streamHandle.load(), 0u);
    EXPECT_EQ(gPlayer.connecting.load(), 0);
    EXPECT_EQ(gPlayer.connectCount.load(), int64_t(&c - cases) + 1);
  }
  EXPECT_EQ(gPlayer.audioReady.load(), 0);  // the last reopen failed
}

// Catches a refused play leaving a silent stream behind.
TEST_F(WorkerTest, PlayRefused) {
  Fake().playResult = 0;
  LogCapture log;
  PlaybackWorker(WorkerStart::kReconnectCurrent);
  EXPECT_EQ(log.Lines().back(), "Unable to start playback, stopping stream.");
  EXPECT_EQ(gPlayer.streamHandle.load(), 0u);
  EXPECT_EQ(gPlayer.deviceFailSync.load(), 0u);
  EXPECT_EQ(Fake().frees.load(), 1);
}

// Catches a one-entry list reconnecting without its pause, and an empty list connecting.
TEST_F(WorkerTest, OneEntryWaitsAndEmptyListEnds) {
  gPlayer.shutdown = 1;  // a pending wait is cut short and the attempt abandoned
  SetStreamList({Entry("only", "http://127.0.0.1:9/only.mp3")});
  gPlayer.connecting = 1;
  PlaybackWorker(WorkerStart::kAdvanceToNext);
  EXPECT_EQ(Fake().creates.load(), 0);  // it was waiting before the attempt
  EXPECT_EQ(gPlayer.connecting.load(), 0);
  PlaybackWorker(WorkerStart::kReconnectCurrent);  // the current entry: no wait
  EXPECT_EQ(Fake().creates.load(), 1);

  SetStreamList({Entry("1", "http://127.0.0.1:9/a"), Entry("2", "http://127.0.0.1:9/b")});
  PlaybackWorker(WorkerStart::kAdvanceToNext);  // two entries: no wait
  EXPECT_EQ(Fake().creates.load(), 2);

  SetStreamList({});
  gPlayer.connecting = 1;
  PlaybackWorker(WorkerStart::kAdvanceToNext);
  EXPECT_EQ(Fake().creates.load(), 2);
  EXPECT_EQ(gPlayer.connecting.load(), 0);
}

// Catches a stop that leaves syncs, a playing channel or the handle behind.
TEST_F(WorkerTest, StopStreamReleasesEverything) {
  for (uint32_t active : {uint32_t(BASS_ACTIVE_PLAYING), uint32_t(BASS_ACTIVE_STOPPED)}) {
    Fake().active = active;
    int stops = Fake().stops.load(), removed = Fake().removedSyncs.load(), frees = Fake().frees.load();
    gPlayer.streamHandle = 42;
    gPlayer.metaSync = 1;
    gPlayer.endSync = 2;
    gPlayer.deviceFailSync = 0;
    StopStream();
    EXPECT_EQ(Fake().removedSyncs.load() - removed, 2);
    EXPECT_EQ(Fake().stops.load() - stops, active == BASS_ACTIVE_STOPPED ? 0 : 1);
    EXPECT_EQ(Fake().frees.load() - frees, 1);
    EXPECT_FLOAT_EQ(Fake().lastSlideValue.load(), 0.0f);
    EXPECT_EQ(Fake().lastSlideMs.load(), 100);
    EXPECT_EQ(gPlayer.streamHandle.load(), 0u);
    EXPECT_EQ(gPlayer.metaSync.load() + gPlayer.endSync.load(), 0u);
  }
  int frees = Fake().frees.load();
  StopStream();  // nothing to stop
  EXPECT_EQ(Fake().frees.load(), frees);
}

// Catches two workers running at once, or `connecting` left at 1 with no worker, under
// starts from many threads (the main thread's watchdog and the library's syncs race).
TEST_F(WorkerTest, StartsFromManyThreads) {
  Fake().createDelayMs = 5;
  std::vector<std::thread> starters;
  for (int t = 0; t < 6; ++t)
    starters.emplace_back([t] {
      for (int i = 0; i < 40; ++i) {
        if (t % 2)
          StartPlaybackWorker(WorkerStart::kAdvanceToNext);
        else
          WatchdogTick();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  for (auto& s : starters) s.join();
  ASSERT_TRUE(WaitWorkerIdle());
  EXPECT_EQ(Fake().maxConcurrentCreates.load(), 1);
  EXPECT_GE(Fake().creates.load(), 1);
  EXPECT_EQ(gPlayer.connecting.load(), 0);
  // And the next start still works: nothing is stuck.
  int creates = Fake().creates.load();
  gPlayer.streamHandle = 0;
  StartPlaybackWorker(WorkerStart::kAdvanceToNext);
  ASSERT_TRUE(WaitWorkerIdle());
  EXPECT_EQ(Fake().creates.load(), creates + 1);
}

namespace {
std::atomic<int> gHold{0};
void HoldingWorker(int) {
  while (gHold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}
}  // namespace

// Catches the start that falls between a worker clearing `connecting` and its thread
// ending: it must neither start a second worker nor leave `connecting` at 1.
TEST_F(WorkerTest, StartWhilePreviousWorkerEnds) {
  gHold = 1;
  gPlayer.workerThread = CreateThread(HoldingWorker, 0);  // cleared `connecting`, not yet ended
  ASSERT_NE(gPlayer.workerThread.load(), 0);
  StartPlaybackWorker(WorkerStart::kAdvanceToNext);
  EXPECT_EQ(gPlayer.connecting.load(), 0);
  EXPECT_EQ(Fake().creates.load(), 0);
  gHold = 0;
  ASSERT_TRUE(WaitWorkerIdle());
  WatchdogTick();  // the next tick starts it
  ASSERT_TRUE(WaitWorkerIdle());
  EXPECT_EQ(Fake().creates.load(), 1);
}

// Catches a watchdog that starts a worker while connecting or misses a dead stream.
TEST_F(WorkerTest, WatchdogTable) {
  struct Case {
    int connecting;
    uint32_t handle;
    uint32_t active;
    uint64_t connected;
    int starts;
  } cases[] = {{1, 0, BASS_ACTIVE_STOPPED, 0, 0}, {0, 0, BASS_ACTIVE_PLAYING, 1, 1}, {0, 5, BASS_ACTIVE_STOPPED, 1, 1},
               {0, 5, BASS_ACTIVE_PLAYING, 0, 1}, {0, 5, BASS_ACTIVE_STALLED, 1, 0}, {0, 5, BASS_ACTIVE_PLAYING, 1, 0}};
  for (const Case& c : cases) {
    Fake().active = c.active;
    Fake().connected = c.connected;
    gPlayer.streamHandle = c.handle;
    gPlayer.connecting = c.connecting;
    int creates = Fake().creates.load();
    WatchdogTick();
    if (c.connecting) gPlayer.connecting = 0;
    ASSERT_TRUE(WaitWorkerIdle());
    EXPECT_EQ(Fake().creates.load() - creates, c.starts) << c.handle << " " << c.active << " " << c.connected;
  }
}

// Catches syncs routed to the wrong action.
TEST_F(WorkerTest, SyncCallbackRouting) {
  gPlayer.metaSync = 501;
  gPlayer.endSync = 502;
  gPlayer.deviceFailSync = 503;
  int pending = PendingEventCount();
  StreamSyncCallback(501, 1, 0, nullptr);
  EXPECT_EQ(PendingEventCount(), pending + 1);
  StreamSyncCallback(999, 1, 0, nullptr);  // a stale sync does nothing
  EXPECT_EQ(PendingEventCount(), pending + 1);
  // With audio still buffered, the event waits for the DSP to reach the new title.
  gPlayer.streamHandle = 8;
  gPlayer.bitrate = 128000;
  Fake().bufferedBytes = 1600;
  StreamSyncCallback(501, 1, 0, nullptr);
  EXPECT_EQ(PendingEventCount(), pending + 1);
  {
    std::lock_guard<std::mutex> l(gTitleQueue.lock);
    ASSERT_EQ(gTitleQueue.waiting.size(), 1u);
    EXPECT_EQ(gTitleQueue.waiting.front().at, 4800 * 2);
  }
  gPlayer.streamHandle = 0;
  ASSERT_TRUE(WaitWorkerIdle());
  EXPECT_EQ(Fake().creates.load(), 0);
  for (HSYNC s : {HSYNC(502), HSYNC(503)}) {
    int creates = Fake().creates.load();
    gPlayer.metaSync = 501;
    gPlayer.endSync = 502;
    gPlayer.deviceFailSync = 503;
    StreamSyncCallback(s, 1, 0, nullptr);
    ASSERT_TRUE(WaitWorkerIdle());
    EXPECT_EQ(Fake().creates.load(), creates + 1) << s;
  }
}

// Catches the preferences' next-stream command not resetting the count or not moving on.
TEST_F(WorkerTest, NextStreamCommand) {
  PlaybackWorker(WorkerStart::kReconnectCurrent);
  gPlayer.connectCount = 5;
  NextStreamCommand();
  ASSERT_TRUE(WaitWorkerIdle());
  EXPECT_EQ(LastUrl(), "http://127.0.0.1:9/b.aac");
  EXPECT_EQ(gPlayer.connectCount.load(), 1);
  EXPECT_EQ(gSettings.GetCodec(), "aac");
}

// Catches a stream that stalls for good (a server slower than real time) never being
// given up. The watchdog ticks every 3 s; each pattern is what the library answered at
// those ticks (S stalled, P playing) and `stopsAt` the tick at which the watchdog must
// see the stream stopped (-1: never). A server at half of real time lets the stream
// play between its stalls, so only stalls that add up catch it.
TEST_F(WorkerTest, LongStallCountsAsStopped) {
  constexpr int64_t kTickMs = 3000;
  const std::string playedLong(20, 'P');
  struct Case {
    const char* name;
    uint32_t handle;
    std::string ticks;
    int stopsAt;
  } cases[] = {
      {"stalled from the start", 5, "SSSSS", 4},
      {"stalled after playing", 6, "PPSSSSS", 5},
      {"half of the time stalled", 7, "SPSPSPSPS", 8},
      {"one short stall", 8, "PSSP" + playedLong, -1},
      {"a stall long ago is forgiven", 9, "SSSP" + playedLong + "SSS", -1},
  };
  for (const Case& c : cases) {
    WatchdogActivity(0, BASS_ACTIVE_STOPPED, 0);
    int stoppedAt = -1;
    for (size_t i = 0; i < c.ticks.size() && stoppedAt < 0; ++i) {
      const uint32_t active = c.ticks[i] == 'S' ? BASS_ACTIVE_STALLED : BASS_ACTIVE_PLAYING;
      const uint32_t seen = WatchdogActivity(c.handle, active, 100000 + int64_t(i) * kTickMs);
      if (seen == BASS_ACTIVE_STOPPED) stoppedAt = int(i);
      else EXPECT_EQ(seen, active) << c.name << " tick " << i;
    }
    EXPECT_EQ(stoppedAt, c.stopsAt) << c.name;
  }
  // A new stream starts afresh: 9 s stalled on one handle, then 9 s on the next.
  WatchdogActivity(0, BASS_ACTIVE_STOPPED, 0);
  for (int i = 0; i < 8; ++i) {
    const uint32_t handle = i < 4 ? 20 : 21;
    EXPECT_EQ(WatchdogActivity(handle, BASS_ACTIVE_STALLED, int64_t(i) * kTickMs), uint32_t(BASS_ACTIVE_STALLED)) << i;
  }
  // No stream: nothing to give up.
  for (int i = 0; i < 8; ++i) EXPECT_EQ(WatchdogActivity(0, BASS_ACTIVE_STALLED, int64_t(i) * kTickMs), uint32_t(BASS_ACTIVE_STALLED));
  WatchdogActivity(0, BASS_ACTIVE_STOPPED, 0);
}

// Catches a title read only through the sync: the first title that came with the connect
// must reach the history without waiting for the next change.
TEST_F(WorkerTest, FirstTitleOfTheConnect) {
  {
    std::lock_guard<std::mutex> l(Fake().lock);
    Fake().meta = "StreamTitle='First Artist - First Title';";
  }
  const int pending = PendingEventCount();
  gPlayer.connecting = 1;
  PlaybackWorker(WorkerStart::kReconnectCurrent);
  EXPECT_GT(PendingEventCount(), pending);
  {
    std::lock_guard<std::mutex> l(Fake().lock);
    Fake().meta = "StreamTitle='Other - Text';";  // what the tag says later does not matter
  }
  HandleTrackChange();
  auto history = GetTrackHistory();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].artist, "First Artist");
  EXPECT_EQ(history[0].title, "First Title");
}

// Catches a halt that lands while the worker waits for the server: the worker came back
// with a new stream, stored it and played it after playback had been halted.
TEST_F(WorkerTest, HaltDuringConnectLeavesNothingPlaying) {
  LogCapture log;
  Fake().createHold = 1;
  gPlayer.connecting = 1;
  std::thread worker([] { PlaybackWorker(WorkerStart::kReconnectCurrent); });
  for (int i = 0; i < 2000 && Fake().creates.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(Fake().creates.load(), 1);
  HaltPlayback();
  Fake().createHold = 0;
  worker.join();
  EXPECT_EQ(gPlayer.streamHandle.load(), 0u) << "a stream was kept after the halt";
  EXPECT_EQ(Fake().frees.load(), 1) << "the stream created after the halt was not freed";
  EXPECT_EQ(FindLine(log.Lines(), "Playing."), -1);
  EXPECT_EQ(gPlayer.connecting.load(), 0);
}

// Catches a halt that lands just after the worker stored its new stream: the halt took
// the stream to fade it, and the worker went on and started it anyway.
TEST_F(WorkerTest, HaltAfterTheStoreLeavesNothingPlaying) {
  LogCapture log;
  Fake().dspHold = 1;
  gPlayer.connecting = 1;
  std::thread worker([] { PlaybackWorker(WorkerStart::kReconnectCurrent); });
  for (int i = 0; i < 2000 && Fake().dsps.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(Fake().dsps.load(), 1);
  HaltPlayback();
  Fake().dspHold = 0;
  worker.join();
  EXPECT_EQ(Fake().plays.load(), 0) << "the stream the halt took was started";
  EXPECT_EQ(FindLine(log.Lines(), "Playing."), -1);
  EXPECT_EQ(gPlayer.streamHandle.load(), 0u);
  EXPECT_EQ(gPlayer.connecting.load(), 0);
}
