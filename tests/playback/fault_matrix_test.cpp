// The fault matrix: the player's own event loop runs on the test thread with the real
// audio library playing the station simulator, while a driver thread plays a station
// gone wrong (a drop, a stall, a trickle, error statuses, refused connections, garbage,
// a wrong content type, a redirect loop, no Content-Length, a title storm, a restart,
// an unresolvable host). For each: the player keeps running, an event posted while the
// fault lasts is handled, playback resumes once the station is good again, and the
// debug log says what happened.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <regex>
#include <thread>

#include "core/core.h"
#include "playback_test_util.h"
#include "runtime/runtime.h"
#include "station_sim_fixture.h"

using namespace playtest;

namespace {

struct FaultCase {
  const char* name;
  const char* kind;      // the simulator's fault kind for both stream paths ("" = none)
  const char* query;     // extra query of both stream URLs
  bool reconnects;       // the fault makes the player start new attempts
  const char* logLine;   // a log line (regular expression) that tells what happened
  // New attempts the fault must have caused before the station is good again.
  int attempts = 1;
};

// The log line that a failed attempt leaves, whatever the library's error text.
constexpr const char* kUnableToConnect = "Unable to connect, .*";

const FaultCase kCases[] = {
    {"drop", "", "", true, "Connecting to \"2\" .*"},
    {"stall", "stall", "", true, "Connecting to \"2\" .*"},
    // After the drop the player connects to the second stream, which is trickled too:
    // only its stalls adding up past the limit make the watchdog try another one.
    {"trickle", "trickle", "", true, "Connecting to \"2\" .*", 2},
    {"status404", "404", "", true, kUnableToConnect},
    {"status500", "500", "", true, kUnableToConnect},
    {"refused", "", "", true, kUnableToConnect},
    {"garbage", "garbage", "", true, "(Stream file format error\\.|Unable to connect, .*|Connecting to \"2\" .*)"},
    {"wrongType", "type", "", true, kUnableToConnect},
    {"redirectLoop", "redirect-loop", "", true, kUnableToConnect},
    {"noContentLength", "nolength", "", false, "Playing\\."},
    {"titleStorm", "storm", "metaint=160", false, "Playing\\."},
    {"serverRestart", "", "", true, kUnableToConnect},
    {"unresolvableHost", "", "", true, kUnableToConnect},
};

bool Playing() {
  uint32_t h = gPlayer.streamHandle.load();
  return h != 0 && gPlayer.connecting.load() == 0 && gBass.BASS_ChannelIsActive(h) == BASS_ACTIVE_PLAYING &&
         gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_CONNECTED) != 0;
}

// Polls `done` every 50 ms for at most `seconds` (a guard against a hang, not a measure).
bool WaitFor(int seconds, const std::function<bool()>& done) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

// The player's loop with the real audio library and a fresh simulator for each test.
class PlayerLoop : public PlayerEnv {
 protected:
  static void SetUpTestSuite() {
    static char arg0[] = "test_playback";
    static char* argv[] = {arg0, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    runtimeOk_ = RuntimeInit(1, argv) == 1;
    libraryError_ = OpenAudioLibrary("null");
  }
  static void TearDownTestSuite() {
    StopStream();
    SetAudioOutput(0);
  }
  void SetUp() override {
    ASSERT_TRUE(runtimeOk_);
    ASSERT_EQ(libraryError_, "");
    ASSERT_TRUE(sim_.Start({"--title-seconds", "8", "--no-tls"})) << sim_.startError;
  }
  void TearDown() override {
    StopStream();
    for (int i = 0; i < 300 && IsThread(gPlayer.workerThread.load()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    StopStream();
  }

  StationSim sim_;
  static bool runtimeOk_;
  static std::string libraryError_;
};

bool PlayerLoop::runtimeOk_ = false;
std::string PlayerLoop::libraryError_;

class FaultMatrix : public PlayerLoop, public ::testing::WithParamInterface<FaultCase> {};

// The reconnect watchdog's 3 s timer, as the main window's timer would post it, until
// the object ends.
class WatchdogClock {
 public:
  WatchdogClock()
      : thread_([this] {
          while (!stop_.load()) {
            for (int i = 0; i < 30 && !stop_.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            PostEvent(EventTimer, WinMain, TimerReconnect);
          }
        }) {}
  ~WatchdogClock() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Catches a fault that freezes the main loop (an event posted meanwhile is never
// handled), ends the player, or leaves it silent once the station is good again, and a
// debug log that does not say what happened.
TEST_P(FaultMatrix, KeepsRunningAndResumes) {
  const FaultCase& c = GetParam();
  const std::string query = *c.query ? std::string("?") + c.query : "";
  const std::string name(c.name);
  std::string first = sim_.Url("/stream/mp3" + query), second = sim_.Url("/stream/aac" + query);
  if (name == "unresolvableHost") first = "http://corvale-station.invalid/stream/mp3";
  SetStreamList({Entry("1", first, "mp3", 128), Entry("2", second, "aac", 128)});
  LogCapture log;

  WatchdogClock clock;

  bool playedFirst = false, faultSeen = false, handledDuringFault = false, resumed = false;
  // Attempts so far, read before the worker starts: with an unresolvable first entry the
  // first attempt may be over before the driver looks.
  const int64_t attemptsBefore = gPlayer.connectCount.load();
  std::thread driver([&] {
    auto control = [&](const std::string& path) { SimGet(sim_.port, path); };
    if (name != "unresolvableHost") playedFirst = WaitFor(40, Playing);
    const int64_t attempts = name == "unresolvableHost" ? attemptsBefore : gPlayer.connectCount.load();
    // The fault begins.
    std::thread dropper;
    std::atomic<bool> faultOver{false};
    if (*c.kind) {
      for (const char* path : {"/stream/mp3", "/stream/aac"})
        control(std::string("/control/fault?path=") + path + "&kind=" + c.kind);
      if (c.reconnects) control("/control/drop");
    } else if (name == "drop") {
      dropper = std::thread([&] {
        while (!faultOver.load()) {
          control("/control/drop");
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
      });
    } else if (name == "refused") {
      // Dropped, then no connection taken for 15 s: every new attempt is refused.
      control("/control/drop");
      control("/control/refuse?ms=15000");
    } else if (name == "serverRestart") {
      sim_.Stop();
    }
    // The fault shows: a new attempt has begun under it (or the stream plays on).
    if (c.reconnects)
      faultSeen = WaitFor(40 * c.attempts, [&] {
        return gPlayer.connectCount.load() >= attempts + c.attempts + (name == "unresolvableHost");
      });
    else
      faultSeen = WaitFor(10, [] { return Playing(); });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // An event posted while the fault lasts is handled (the volume mode moves on).
    const int64_t preset = gSettings.preset.load();
    PostEvent(EventMenu, WinMain, 4);
    handledDuringFault = WaitFor(30, [&] { return gSettings.preset.load() != preset; });
    // The station is good again.
    faultOver = true;
    if (dropper.joinable()) dropper.join();
    if (name == "serverRestart") {
      int port = sim_.port;
      for (int i = 0; i < 20 && !sim_.Start({"--title-seconds", "8", "--no-tls", "--port", std::to_string(port)}); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    } else if (sim_.port > 0) {
      control("/control/clear");
    }
    // Playing again, and still playing a moment later (not one short-lived attempt).
    resumed = WaitFor(60, Playing);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    resumed = resumed && WaitFor(30, Playing);
    PostEvent(EventMenu, WinMain, 14);  // "Quit Player" ends the loop
  });

  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  InitLoopTiming(TimeGetTime());
  RunEventLoop();
  driver.join();

  std::vector<std::string> lines = log.Lines();
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  if (name != "unresolvableHost") EXPECT_TRUE(playedFirst) << all;
  EXPECT_TRUE(faultSeen) << all;
  EXPECT_TRUE(handledDuringFault) << "an event posted during the fault was not handled\n" << all;
  EXPECT_TRUE(resumed) << "no playback after the fault\n" << all;
  const std::regex expected(c.logLine);
  bool found = false;
  for (const auto& l : lines) found = found || std::regex_match(l, expected);
  EXPECT_TRUE(found) << "no line matching " << c.logLine << "\n" << all;
  EXPECT_GE(FindLine(lines, "Playing."), 0) << all;
}

// Catches a station that sends slower than real time holding the player for good: the
// connection stays open and the stream plays a few seconds whenever its buffer has
// refilled, so the library never reports it stopped. The watchdog must count the stalls
// and move on to the next stream, and not because the first one failed or was dropped.
TEST_F(PlayerLoop, SlowStationIsLeftForTheNextStream) {
  SetStreamList({Entry("1", sim_.Url("/stream/mp3?fault=trickle"), "mp3", 128),
                 Entry("2", sim_.Url("/stream/aac"), "aac", 128)});
  LogCapture log;
  WatchdogClock clock;
  bool left = false, playsNext = false;
  std::thread driver([&] {
    left = WaitFor(90, [] { return gPlayer.connectCount.load() >= 2; });
    playsNext = left && WaitFor(40, Playing);
    PostEvent(EventMenu, WinMain, 14);  // "Quit Player" ends the loop
  });
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  InitLoopTiming(TimeGetTime());
  RunEventLoop();
  driver.join();

  const std::vector<std::string> lines = log.Lines();
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  const int played = FindLine(lines, "Playing.");
  EXPECT_GE(played, 0) << "the slow stream never played\n" << all;
  EXPECT_TRUE(left) << "the player stayed with the slow stream\n" << all;
  EXPECT_TRUE(playsNext) << all;
  int next = -1;
  for (size_t i = 0; i < lines.size() && next < 0; ++i)
    if (lines[i].rfind("Connecting to \"2\"", 0) == 0) next = int(i);
  EXPECT_GT(next, played) << "the next stream was not tried after the slow one played\n" << all;
  for (int i = 0; i < next; ++i) EXPECT_EQ(lines[size_t(i)].rfind("Unable to connect", 0), std::string::npos) << all;
}

INSTANTIATE_TEST_SUITE_P(Station, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
