// Playback end to end on loopback: the station simulator serves documents, playlists and
// ICY streams; the real audio library plays them into a file. The test thread stands in
// for the main loop: it runs HandleTrackChange as metadata arrives and the reconnect
// watchdog every 3 s.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <thread>

#include "playback_test_util.h"
#include "runtime/runtime.h"
#include "station_sim_fixture.h"

using namespace playtest;

namespace {

bool WaitIdleFor(int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    if (gPlayer.connecting.load() == 0 && !IsThread(gPlayer.workerThread.load())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

struct LoudnessLine {
  std::string title;
  double headroom = 0, rms = 0, peak = 0;
};

std::vector<LoudnessLine> LoudnessLines(const std::vector<std::string>& lines) {
  static const std::regex re(
      "\"(.*)\", Headroom (-?[0-9]+\\.[0-9]{2}) dB, RMS (-?[0-9]+\\.[0-9]{2}) dBFS, (-?[0-9]+\\.[0-9]{2}) dBFS Max "
      "Peak\\.");
  std::vector<LoudnessLine> out;
  for (const std::string& l : lines) {
    std::smatch m;
    if (std::regex_match(l, m, re)) out.push_back({m[1], std::stod(m[2]), std::stod(m[3]), std::stod(m[4])});
  }
  return out;
}

}  // namespace

class PlaybackIntegration : public PlayerEnv {
 protected:
  static StationSim* sim_;
  static ScratchFolder* output_;
  static std::string libraryError_;

  static void SetUpTestSuite() {
    output_ = new ScratchFolder;
    sim_ = new StationSim;
    if (!sim_->Start({"--title-seconds", "16", "--no-tls", "--metaint", "2048"}))
      libraryError_ = "station-sim: " + sim_->startError;
    // Sound goes to a file, never to a sound card.
    if (libraryError_.empty()) libraryError_ = OpenAudioLibrary("file:" + output_->Path() + "out.raw");
  }
  static void TearDownTestSuite() {
    StopStream();
    WaitIdleFor(30);
    SetAudioOutput(0);
    // The library stays loaded: its process-wide allocations (libcurl, FFmpeg) belong to it.
    delete sim_;
    delete output_;
  }

  void SetUp() override {
    ASSERT_EQ(libraryError_, "");
    SimGet(sim_->port, "/control/clear");
  }
  void TearDown() override {
    StopStream();
    WaitIdleFor(30);
    StopStream();
  }

  // Runs the main loop's part for at most `seconds` until `done` holds on the log.
  template <typename Done>
  bool Drive(LogCapture& log, int seconds, Done done) {
    auto start = std::chrono::steady_clock::now();
    auto lastWatchdog = start;
    auto lastLook = start;
    int meta = PendingEventCount();
    for (;;) {
      auto now = std::chrono::steady_clock::now();
      if (now - start > std::chrono::seconds(seconds)) return false;
      // A posted metadata event is handled at once, as the main loop would.
      while (PendingEventCount() != meta) {
        ++meta;
        HandleTrackChange();
      }
      if (now - lastWatchdog >= std::chrono::seconds(3)) {
        WatchdogTick();
        lastWatchdog = now;
      }
      if (now - lastLook >= std::chrono::milliseconds(300)) {
        lastLook = now;
        if (done(log.Lines())) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  std::string Url(const std::string& path) const { return sim_->Url(path); }

  // Plays the station's `streams` until a title heard from its start has its loudness
  // line; gives that line and the level the station gave the title.
  void MeasureWholeTitle(const std::string& streams, LogCapture& log, LoudnessLine* line, double* expected) {
    gStation.infoUrls = {Url("/info.json?streams=" + streams)};
    StreamInfoWorker(kStreamInfoStartup);
    gPlayer.measureReset = 1;
    StartPlaybackWorker(WorkerStart::kReconnectCurrent);
    // The first title was joined midway; the second is measured from its start.
    ASSERT_TRUE(Drive(log, 60, [](const std::vector<std::string>& l) { return LoudnessLines(l).size() >= 1; }));
    std::vector<TrackHistoryEntry> history = GetTrackHistory();
    ASSERT_FALSE(history.empty());
    const std::string whole = history[0].artist + " - " + history[0].title;
    // The mixer runs a little ahead of the station's clock: ask once the station is surely
    // on that title too.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    SimResponse stats = SimGet(sim_->port, "/control/stats");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(stats.body, m, std::regex("\"loudness\": (-?[0-9.]+)")));
    *expected = std::stod(m[1]);
    ASSERT_TRUE(std::regex_search(stats.body, m, std::regex("\"streamtitle\": \"([^\"]*)\"")));
    ASSERT_EQ(m[1], whole);
    ASSERT_TRUE(Drive(log, 60, [&](const std::vector<std::string>& l) {
      for (const auto& x : LoudnessLines(l))
        if (x.title == whole) return true;
      return false;
    }));
    for (const auto& x : LoudnessLines(log.Lines()))
      if (x.title == whole) *line = x;
  }

  ScratchPlayerFolders folders_;
};

StationSim* PlaybackIntegration::sim_ = nullptr;
ScratchFolder* PlaybackIntegration::output_ = nullptr;
std::string PlaybackIntegration::libraryError_;

// Catches a broken start-up path: wrong order or text of its log lines, no sound.
TEST_F(PlaybackIntegration, StartupPathInOrder) {
  gStation.infoUrls = {Url("/info.json?streams=mp3,aac")};
  LogCapture log;
  StreamInfoWorker(kStreamInfoStartup);
  gPlayer.measureReset = 1;
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  ASSERT_TRUE(Drive(log, 30, [](const std::vector<std::string>& l) { return FindLine(l, "Playing.") >= 0; }));
  ExpectStartupPathInOrder(log.Lines(), Url("/info.json?streams=mp3,aac"), Url("/stream/mp3"));
  EXPECT_EQ(gPlayer.bitrate.load(), 128000);
  EXPECT_EQ(PlayerString(&PlayerState::codecName), "MP3");
  EXPECT_FALSE(GetTrackHistory().empty());  // the document's history
}

// Catches a wrong loudness measurement or volume step on real audio: a whole title's RMS
// must match the level the station gave it, and the volume must follow the formula.
TEST_F(PlaybackIntegration, LoudnessAndVolumeStep) {
  LogCapture log;
  LoudnessLine line;
  double expected = 0;
  MeasureWholeTitle("opus", log, &line, &expected);
  if (HasFatalFailure()) return;
  EXPECT_NEAR(line.rms, expected, 0.5) << line.title;
  RecordProperty("rms", std::to_string(line.rms));
  EXPECT_LE(line.rms, line.peak + 0.01);
  EXPECT_NEAR(line.headroom, std::fabs(std::min(line.rms, 0.0) - std::min(line.peak, 0.0)), 0.011);
  // From the volume mode's base level, not from the volume the last step left.
  double v = SettingsVolumeFactor() * std::pow(10.0, (-23.0 - line.rms) / 20.0);
  v = std::clamp(v, 0.01, 1.0);
  EXPECT_NEAR(gPlayer.volume.load(), v, 0.002);

  // What was really played: once the 1 s slide has settled, the output's level is the
  // playing title's level moved by the volume.
  std::smatch m;
  SimResponse stats;
  std::string playing = GetTrackHistory()[0].artist + " - " + GetTrackHistory()[0].title;
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  stats = SimGet(sim_->port, "/control/stats");
  ASSERT_TRUE(std::regex_search(stats.body, m, std::regex("\"loudness\": (-?[0-9.]+)")));
  double titleLevel = std::stod(m[1]);
  ASSERT_TRUE(std::regex_search(stats.body, m, std::regex("\"streamtitle\": \"([^\"]*)\"")));
  ASSERT_EQ(m[1], playing);
  std::string raw = ReadFile(output_->Path() + "out.raw");
  const size_t window = 48000 * 2 * 3 / 2;  // the last 1.5 s of stereo floats at 48 kHz
  ASSERT_GE(raw.size() / sizeof(float), window);
  const float* samples = reinterpret_cast<const float*>(raw.data()) + raw.size() / sizeof(float) - window;
  double sum = 0.0;
  for (size_t i = 0; i < window; ++i) sum += double(samples[i]) * samples[i];
  double played = 20.0 * std::log10(std::sqrt(2.0 * sum / double(window)));
  EXPECT_NEAR(played, titleLevel + 20.0 * std::log10(gPlayer.volume.load()), 1.5)
      << "volume " << gPlayer.volume.load() << ", title " << playing;
  RecordProperty("played", std::to_string(played));
}

// Catches a wrong loudness measurement of an MP3 stream, the codec most stations send.
TEST_F(PlaybackIntegration, Mp3TitleLoudness) {
  LogCapture log;
  LoudnessLine line;
  double expected = 0;
  MeasureWholeTitle("mp3", log, &line, &expected);
  if (HasFatalFailure()) return;
  RecordProperty("rms", std::to_string(line.rms));
  RecordProperty("station", std::to_string(expected));
  // MP3 titles measure about 0.4-0.5 dB below the station's figure; that is the codec,
  // not the player: a -18 dBFS 440 Hz sine encoded at 128k by LAME and decoded by
  // FFmpeg's own tools already peaks at -18.44 dBFS. So the window is centred that much
  // lower and kept as narrow as the other codecs' 0.5 dB.
  constexpr double kMp3Shortfall = 0.45;
  EXPECT_NEAR(line.rms, expected - kMp3Shortfall, 0.5) << line.title << " at " << expected;
  EXPECT_LE(line.rms, line.peak + 0.01);
}

// Catches a dropped connection that is never noticed: the next stream must follow.
TEST_F(PlaybackIntegration, DropMovesToNextStream) {
  SetStreamList({Entry("1", Url("/stream/mp3")), Entry("2", Url("/stream/aac"))});
  LogCapture log;
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  ASSERT_TRUE(Drive(log, 30, [](const std::vector<std::string>& l) { return FindLine(l, "Playing.") >= 0; }));
  SimGet(sim_->port, "/control/drop");
  ASSERT_TRUE(Drive(log, 20, [&](const std::vector<std::string>& l) {
    int c = FindLine(l, "Connecting to \"2\" " + Url("/stream/aac"));
    return c >= 0 && FindLine(l, "Playing.", c) > c;
  }));
  EXPECT_EQ(gPlayer.streamNumber.load(), 2);
}

// Catches a stalled server (connected, sending nothing) holding the player forever.
TEST_F(PlaybackIntegration, StallMovesToNextStream) {
  SetStreamList({Entry("1", Url("/stream/mp3?fault=stall&n=40000")), Entry("2", Url("/stream/aac"))});
  LogCapture log;
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  ASSERT_TRUE(Drive(log, 40, [&](const std::vector<std::string>& l) {
    int c = FindLine(l, "Connecting to \"2\" " + Url("/stream/aac"));
    return c >= 0 && FindLine(l, "Playing.", c) > c;
  }));
}

// Catches a wrong failure line for a missing stream, or no move to the next one.
TEST_F(PlaybackIntegration, NotFoundThenNextStream) {
  SetStreamList({Entry("1", Url("/stream/mp3?fault=404")), Entry("2", Url("/stream/mp3"))});
  LogCapture log;
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  ASSERT_TRUE(Drive(log, 30, [&](const std::vector<std::string>& l) {
    int c = FindLine(l, "Connecting to \"2\" " + Url("/stream/mp3"));
    return c >= 0 && FindLine(l, "Playing.", c) > c;
  }));
  std::vector<std::string> lines = log.Lines();
  int failed = FindLine(lines, "Unable to connect, BASS: Can't open the file! (error 2)");
  EXPECT_GT(failed, FindLine(lines, "Connecting to \"1\" " + Url("/stream/mp3?fault=404")));
  EXPECT_LT(failed, FindLine(lines, "Connecting to \"2\" " + Url("/stream/mp3")));
}

// Catches a start-up that hangs on a dead service instead of playing the installed streams.
TEST_F(PlaybackIntegration, InfoDownPlaysInstalledStreams) {
  WriteFile(folders_.data.Path() + "station.json",
            "{\"stationlist\": [{\"name\": \"S\", \"info\": \"x\"}], \"stream\": [{\"id\": "
            "\"fallback\", \"url\": \"" +
                Url("/stream/mp3") + "\"}]}");
  gStation.infoUrls = {Url("/info.json?fault=500"), "http://127.0.0.1:1/info.json"};
  LogCapture log;
  StreamInfoWorker(kStreamInfoStartup);
  EXPECT_EQ(StreamListSize(), 1u);
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  ASSERT_TRUE(Drive(log, 30, [](const std::vector<std::string>& l) { return FindLine(l, "Playing.") >= 0; }));
  std::vector<std::string> lines = log.Lines();
  EXPECT_GE(FindLine(lines, "Loading backup streamlist."), 0);
  EXPECT_GT(FindLine(lines, "Connecting to \"fallback\" " + Url("/stream/mp3")),
            FindLine(lines, "1 entries in playlist."));
}

// Catches a custom stream URL not played directly, or its station name not split into
// the show fields.
TEST_F(PlaybackIntegration, CustomDirectStreamAndShowSplit) {
  SetPlayerString(&PlayerState::customUrl, Url("/live.mp3?name=Morning%20Show%20@%20Radio%20One"));
  LogCapture log;
  StreamInfoWorker(kStreamInfoThread);
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  ASSERT_TRUE(Drive(log, 30, [](const std::vector<std::string>& l) { return FindLine(l, "Playing.") >= 0; }));
  std::vector<std::string> lines = log.Lines();
  EXPECT_LT(FindLine(lines, "Using custom playlist."), FindLine(lines, "Playing."));
  EXPECT_GE(FindLine(lines, "Connecting to \"Custom Url\" " + Url("/live.mp3?name=Morning%20Show%20@%20Radio%20One")),
            0);
  EXPECT_EQ(PlayerString(&PlayerState::showName), "Morning Show");
  EXPECT_EQ(PlayerString(&PlayerState::showInfo), "Radio One");
}

// Catches a playlist format the simulator serves that the player cannot read, remote or local.
TEST_F(PlaybackIntegration, EveryPlaylistFormatRemoteAndLocal) {
  for (const char* path : {"/playlist.m3u", "/playlist.m3u8", "/playlist.pls", "/playlist.xspf", "/playlist.vclt",
                           "/playlist.jspf", "/listen.pls?sid=1"}) {
    std::vector<StreamEntry> list;
    ASSERT_EQ(LoadPlaylist(Url(path), list), 1) << path;
    EXPECT_EQ(list[0].url, Url("/stream/mp3")) << path;
    EXPECT_EQ(list[0].id, "1") << path;
    std::string local = folders_.user.Path() + "local" + PlaylistType(UrlExtension(path));
    local = folders_.user.Path() + std::string("list.") +
            (std::string(path) == "/listen.pls?sid=1" ? "pls" : UrlExtension(path));
    WriteFile(local, SimGet(sim_->port, path).body);
    std::vector<StreamEntry> fromFile;
    ASSERT_EQ(LoadPlaylist(local, fromFile), 1) << local;
    ASSERT_EQ(fromFile.size(), list.size()) << local;
    for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(fromFile[i].url, list[i].url);
  }
  // One of them all the way to sound.
  SetPlayerString(&PlayerState::customUrl, Url("/playlist.xspf"));
  LogCapture log;
  StreamInfoWorker(kStreamInfoThread);
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  ASSERT_TRUE(Drive(log, 30, [](const std::vector<std::string>& l) { return FindLine(l, "Playing.") >= 0; }));
  EXPECT_GE(FindLine(log.Lines(), "Connecting to \"1\" " + Url("/stream/mp3")), 0);
}
