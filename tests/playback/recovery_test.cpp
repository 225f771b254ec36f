// Sleep, outages and the pause between failed rounds, against the stand-in audio library:
// what counts as a stream's failure, which stream comes next, and which waits a resume or
// the network's return ends.
#include <gtest/gtest.h>

#include <thread>

#include "core/core.h"
#include "playback_test_util.h"
#include "poll_within.h"
#include "runtime/runtime.h"

using namespace playtest;

namespace {

int Creates() { return Fake().creates.load(); }

std::string LastUrl() {
  std::lock_guard<std::mutex> l(Fake().lock);
  return Fake().lastUrl;
}

size_t Current() {
  size_t current = 0;
  GetStreamList(&current);
  return current;
}

const char* const kA = "http://127.0.0.1:9/a.mp3";
const char* const kB = "http://127.0.0.1:9/b.aac";

class RecoveryTest : public PlayerEnv {
 protected:
  void SetUp() override {
    gPlayer.audioReady = 1;
    SetStreamList(
        {Entry("1", kA, "mp3", 128), Entry("2", kB, "aac", 64), Entry("3", "http://127.0.0.1:9/c.ogg", "ogg", 96)});
  }
  void TearDown() override {
    // Any wait still running ends; the next test starts from rest.
    gPlayer.shutdown = 1;
    WakePlayback();
    WaitWorkerIdle();
  }
  FakeBassScope fake_;
};

}  // namespace

// Catches rounds that do not double, start inside a round, pass the limit, overflow, or
// divide by an empty list.
TEST(RoundWait, DoublesAfterEachFullRoundUpToTheLimit) {
  struct Case {
    int64_t streak;
    size_t streams;
    int seconds;
  } cases[] = {
      {0, 3, 0},    // nothing failed
      {2, 3, 0},    // inside the first round
      {3, 3, 2},    // the first full round
      {4, 3, 0},    // the next round has begun
      {6, 3, 4},    // two rounds
      {9, 3, 8},    // three
      {1, 1, 2},    // one stream: every failure is a round
      {5, 1, 32},   //
      {6, 1, 60},   // 64 is past the limit
      {40, 1, 60},  // 2^40 neither overflows nor passes it
      {int64_t(1) << 62, 1, 60},
      {3, 0, 0},   // no streams at all
      {-3, 3, 0},  // never below zero
  };
  for (const Case& c : cases)
    EXPECT_EQ(RoundWaitSeconds(c.streak, c.streams), c.seconds) << c.streak << "/" << c.streams;
}

// Catches failures counted (or the list walked) because of a sleep or an outage that came
// while the server was being asked, and real failures left uncounted.
TEST_F(RecoveryTest, FailureCountsOnlyWhenNothingElseIsToBlame) {
  struct Case {
    const char* what;
    int networkDuring;  // the state set while the connection is being made
    int asleepDuring;
    int64_t streak;
    size_t position;   // 0-based position afterwards
    const char* note;  // the line after "Unable to connect", "" for none
  } cases[] = {
      {"network up", kNetworkUp, 0, 1, 1, ""},
      {"network unknown", kNetworkUnknown, 0, 1, 1, ""},
      {"network gone meanwhile", kNetworkDown, 0, 0, 0, "Not counted: the network is down."},
      {"asleep meanwhile", kNetworkUp, 1, 0, 0, "Not counted: the system sleeps."},
  };
  Fake().createFails = 40;
  for (const Case& c : cases) {
    ResetPlayerState();
    SetStreamList({Entry("1", kA), Entry("2", kB)});
    gPlayer.shutdown = 1;  // the worker's 1 s pause ends at once
    Fake().createHold = 1;
    LogCapture log;
    std::thread worker([] { PlaybackWorker(WorkerStart::kAdvanceToNext); });
    ASSERT_TRUE(Within(5000, [] { return Fake().concurrentCreates.load() == 1; }));
    gPlayer.networkState = c.networkDuring;
    gPlayer.asleep = c.asleepDuring;
    Fake().createHold = 0;
    worker.join();
    EXPECT_EQ(gPlayer.failStreak.load(), c.streak) << c.what;
    EXPECT_EQ(Current(), c.position) << c.what;
    std::vector<std::string> lines = log.Lines();
    int failed = FindLine(lines, "Unable to connect, BASS: Connection timed out! (error 40)");
    ASSERT_GE(failed, 0) << c.what;
    std::string next = size_t(failed + 1) < lines.size() ? lines[failed + 1] : "";
    EXPECT_EQ(next, c.note) << c.what;
  }
}

// Catches a worker that walks the list (or counts attempts) while the network is down,
// and a return of the network that does not take up the same stream at once.
TEST_F(RecoveryTest, OutageHoldsTheWorkerOnTheSameStream) {
  gPlayer.networkState = kNetworkDown;
  gPlayer.failStreak = 3;  // a full round failed before: the return must not wait for it
  LogCapture log;
  StartPlaybackWorker(WorkerStart::kAdvanceToNext);
  ASSERT_TRUE(Within(5000, [] { return gPlayer.waiting.load() == 1; }));
  EXPECT_EQ(PlaybackReconnecting(), 1);
  EXPECT_TRUE(log.Contains("Waiting for the network."));
  // The watchdog meanwhile starts nothing more.
  WatchdogTick();
  EXPECT_EQ(Creates(), 0);

  NetworkChanged(kNetworkUp);
  ASSERT_TRUE(Within(5000, [] { return Creates() == 1 && gPlayer.connecting.load() == 0; }));
  EXPECT_EQ(LastUrl(), kA) << "the outage walked the list";
  EXPECT_EQ(gPlayer.waiting.load(), 0);
  EXPECT_EQ(PlaybackReconnecting(), 0);
  EXPECT_EQ(gPlayer.failStreak.load(), 0);
  EXPECT_FALSE(log.Contains("Waiting 2 s before the next round."));
  // The woken worker settled the reconnect: none is left owed for a second one.
  ASSERT_TRUE(WaitWorkerIdle());
  EXPECT_EQ(gPlayer.reconnectRequest.load(), -1);
  // Only a return counts: the first news of a network that is up changes nothing.
  NetworkChanged(kNetworkUp);
  ServiceReconnectRequest();
  EXPECT_EQ(Creates(), 1);
}

// Catches a round wait that is not logged, not shown, or not ended at once by the
// network's return or a resume.
TEST_F(RecoveryTest, RoundWaitEndsAtOnceOnReturnOrResume) {
  for (int resume : {0, 1}) {
    ResetPlayerState();
    SetStreamList({Entry("1", kA), Entry("2", kB)});
    gPlayer.failStreak = 10;  // five full rounds: a 32 s wait
    gPlayer.networkState = kNetworkUp;
    const int creates = Creates();
    LogCapture log;
    StartPlaybackWorker(WorkerStart::kAdvanceToNext);
    ASSERT_TRUE(Within(5000, [] { return gPlayer.waiting.load() == 1; })) << resume;
    EXPECT_EQ(PlaybackReconnecting(), 1);
    EXPECT_TRUE(log.Contains("Waiting 32 s before the next round."));
    if (resume) {
      SuspendPlayback();
      ResumePlayback();
    } else {
      NetworkChanged(kNetworkDown);
      NetworkChanged(kNetworkUp);
    }
    EXPECT_TRUE(Within(8000, [&] { return Creates() > creates && gPlayer.connecting.load() == 0; }))
        << (resume ? "the resume" : "the network's return") << " did not end the wait";
    ASSERT_TRUE(WaitWorkerIdle());
    // Whatever reconnect was owed is settled: nothing more starts.
    ServiceReconnectRequest();
    EXPECT_TRUE(WaitWorkerIdle());
    EXPECT_LE(Creates() - creates, resume ? 2 : 1);
  }
}

// Catches a sleep that leaves the stream open, a watchdog that reconnects while asleep,
// and a resume that walks on, waits, or plays the buffered stream.
TEST_F(RecoveryTest, SleepStopsAndResumeTakesTheSameStream) {
  PlaybackWorker(WorkerStart::kReconnectCurrent);
  ASSERT_NE(gPlayer.streamHandle.load(), 0u);
  gPlayer.failStreak = 3;
  SuspendPlayback();
  EXPECT_EQ(gPlayer.streamHandle.load(), 0u);
  EXPECT_EQ(Fake().frees.load(), 1);
  WatchdogTick();
  EXPECT_TRUE(WaitWorkerIdle());
  EXPECT_EQ(Creates(), 1) << "connected while asleep";
  // A worker started meanwhile (a late end sync) connects nothing either.
  StartPlaybackWorker(WorkerStart::kAdvanceToNext);
  EXPECT_TRUE(WaitWorkerIdle());
  EXPECT_EQ(Creates(), 1);

  ResumePlayback();
  ASSERT_TRUE(Within(5000, [] { return Creates() == 2 && gPlayer.connecting.load() == 0; }));
  EXPECT_EQ(LastUrl(), kA);
  EXPECT_NE(gPlayer.streamHandle.load(), 0u);
  EXPECT_EQ(Current(), 0u);
}

// Catches a stream that outlived an unannounced sleep being faded out (heard) instead of
// silenced at once.
TEST_F(RecoveryTest, ResumeSilencesAStaleStreamBeforeItsFade) {
  static std::atomic<int> order{0}, silencedAt{0}, slidAt{0};
  order = silencedAt = slidAt = 0;
  PlaybackWorker(WorkerStart::kReconnectCurrent);
  ASSERT_NE(gPlayer.streamHandle.load(), 0u);
  gBass.BASS_ChannelSetAttribute = [](DWORD, DWORD attrib, float value) -> BOOL {
    if (attrib == BASS_ATTRIB_VOL && value == 0.0f && silencedAt == 0) silencedAt = ++order;
    return TRUE;
  };
  gBass.BASS_ChannelSlideAttribute = [](DWORD, DWORD, float, DWORD) -> BOOL {
    if (slidAt == 0) slidAt = ++order;
    return TRUE;
  };
  ResumePlayback();
  EXPECT_GT(silencedAt.load(), 0) << "the stale stream was never silenced";
  EXPECT_TRUE(slidAt == 0 || silencedAt < slidAt) << "the stale stream faded out audibly";
  ASSERT_TRUE(Within(5000, [] { return Creates() == 2 && gPlayer.connecting.load() == 0; }));
  EXPECT_EQ(LastUrl(), kA);
}

// Catches a resume reconnect lost because the last worker was still ending, and one the
// watchdog's next tick turns into a walk to the next stream.
TEST_F(RecoveryTest, OwedReconnectOutlivesABusyWorkerAndTheWatchdog) {
  Fake().createHold = 1;
  StartPlaybackWorker(WorkerStart::kAdvanceToNext);
  ASSERT_TRUE(Within(5000, [] { return Fake().concurrentCreates.load() == 1; }));
  ResumePlayback();
  EXPECT_EQ(ServiceReconnectRequest(), 0) << "a second worker beside the busy one";
  Fake().createHold = 0;
  ASSERT_TRUE(WaitWorkerIdle());
  EXPECT_EQ(LastUrl(), kB);
  // The stream the busy worker made is dead at once; the watchdog's tick must connect it
  // again, as owed, rather than walk on.
  Fake().connected = 0;
  WatchdogTick();
  ASSERT_TRUE(WaitWorkerIdle());
  EXPECT_EQ(Creates(), 2);
  EXPECT_EQ(LastUrl(), kB) << "the owed reconnect walked on";
  EXPECT_EQ(gPlayer.reconnectRequest.load(), -1);
}
