// The recorder through the player's own title path: the station simulator's 6-second
// titles play through the real audio library, the main loop's part (HandleTrackChange)
// runs where each change reaches the measuring DSP, and the song log writes into real
// SQLite in a scratch folder. What the rows say is compared with the history and the
// debug log the same run produced.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <thread>

#include "playback/bass_api.h"
#include "playback/playback_test_util.h"
#include "station_sim_fixture.h"

using namespace playtest;

namespace {

struct LoopStandIn {
  int seen = 0;
  std::mutex lock;
  int titles = 0;  // titles the recorder started
  std::string last;
  std::vector<double> starts;  // seconds of this stream's audio the DSP had seen at each start
};

// Runs on the mixing thread after the player's DSP saw each buffer, so each change is
// handled where its audio starts, however busy the machine is. "Love This Song" is chosen
// once in the second title and twice in the third.
void HandleChangesAfterMeasuring(HDSP, DWORD, void*, DWORD, void* user) {
  auto* loop = static_cast<LoopStandIn*>(user);
  while (PendingEventCount() > loop->seen) {
    ++loop->seen;
    HandleTrackChange();
    const std::string now = GetTrackInfo().title;
    if (!SongLogPlaying() || now == loop->last) continue;
    std::lock_guard<std::mutex> g(loop->lock);
    loop->last = now;
    ++loop->titles;
    double rate = 0.0;
    int64_t channels = 0;
    DspFormat(gPlayer.streamHandle.load(), &rate, &channels);
    std::lock_guard<std::mutex> q(gTitleQueue.lock);
    loop->starts.push_back(double(gTitleQueue.measured) / (rate * double(channels)));
    if (loop->titles == 2) SongLogToggleFavouriteNow();
    if (loop->titles == 3) {
      SongLogToggleFavouriteNow();
      SongLogToggleFavouriteNow();
    }
  }
}

// The titles the debug log printed levels for, in order: "artist - title" and its RMS.
std::vector<std::pair<std::string, std::string>> LoggedLevels(const std::vector<std::string>& lines) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& l : lines) {
    const size_t head = l.find("\", Headroom ");
    const size_t at = l.find(" dB, RMS ");
    if (l.empty() || l[0] != '"' || head == std::string::npos || at == std::string::npos) continue;
    out.emplace_back(l.substr(1, head - 1), l.substr(at + 9, l.find(' ', at + 9) - at - 9));
  }
  return out;
}

// "2026-12-07T22:05:57Z"
bool IsUtcDate(const std::string& text) {
  const std::string mask = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != mask.size()) return false;
  for (size_t i = 0; i < mask.size(); ++i)
    if (mask[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != mask[i]) return false;
  return true;
}

class SongLogRecorder : public PlayerEnv {};

}  // namespace

// Catches a title missing from the log or written twice, rows out of order, durations
// counted from the metadata's arrival or by the wall clock instead of the audio, levels
// other than those the player measured and logged, a favourite landing on the wrong
// title, and the title playing at exit being lost.
TEST_F(SongLogRecorder, EveryHeardTitleBecomesARowWithTheLoggedLevels) {
  ScratchFolder output, songs;
  ScratchPlayerFolders folders;
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--title-seconds", "6", "--variants", "4", "--no-tls"})) << sim.startError;
  const std::string path = output.Path() + "songlog.raw";
  ASSERT_EQ(OpenAudioLibrary("file:" + path), "");
  gStation.id = "sim-station";
  gStation.infoUrls = {sim.Url("/info.json?streams=mp3")};
  LogCapture log;
  ASSERT_EQ(SongLogInit(songs.Path()), 1);

  LoopStandIn loop;
  loop.seen = PendingEventCount();
  ASSERT_TRUE(StartPlayingWithLoopDsp(HandleChangesAfterMeasuring, &loop));
  for (int idle = 0; idle < 3000;) {
    {
      std::lock_guard<std::mutex> g(loop.lock);
      if (loop.titles >= 7) break;
    }
    const size_t frames = CapturedFrames(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    idle = CapturedFrames(path) == frames ? idle + 1 : 0;
  }
  // The exit path: the stream (and with it the DSP) stops, then the title playing now is
  // ended, the queue written and the writer joined.
  StopStream();
  for (int i = 0; i < 3000 && IsThread(gPlayer.workerThread.load()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EndPlayingTitle();
  SongLogShutdown();
  SetAudioOutput(0);
  std::vector<TrackHistoryEntry> history = GetTrackHistory();
  std::vector<std::string> lines = log.Lines();
  ASSERT_GE(loop.titles, 7);

  int result = 0;
  SongStore* s = SongStoreOpen(songs.Path() + kSongLogFile, 0, 1000, &result, nullptr);
  ASSERT_NE(s, nullptr);
  std::vector<SongRow> rows;
  ASSERT_EQ(SongStoreRows(s, "", 0, 0, 100, &rows), 1);
  SongStoreClose(s);
  // One row per title heard, the one playing at the end included, newest first as the
  // history keeps them (the history may hold one more: the title the stream information
  // named before the stream played).
  ASSERT_EQ(rows.size(), size_t(loop.titles));
  ASSERT_GE(history.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i) + " " + rows[i].title);
    const SongRow& r = rows[i];
    EXPECT_EQ(r.artist, history[i].artist);
    EXPECT_EQ(r.title, history[i].title);
    EXPECT_EQ(r.streamTitle, r.artist + " - " + (r.album.empty() ? "" : r.album + " - ") + r.title);
    EXPECT_EQ(r.stationId, "sim-station");
    EXPECT_EQ(r.codec, "MP3");
    EXPECT_GT(r.bitrate, 0);
    EXPECT_FALSE(r.streamName.empty());
    EXPECT_TRUE(IsUtcDate(r.started)) << r.started;
    EXPECT_TRUE(IsUtcDate(r.ended)) << r.ended;
    EXPECT_LE(r.started, r.ended);
    if (i + 1 < rows.size()) {
      EXPECT_EQ(rows[i + 1].ended, r.started);
    }
    // The titles in the middle were heard whole: the audio that passed the measurement
    // between their changes (about 6 s; where the player places a change moves with its
    // buffer estimate), so a slow network or a busy machine adds nothing.
    if (i > 0 && i + 1 < rows.size()) {
      const size_t k = rows.size() - 1 - i;  // the title's start in order
      EXPECT_NEAR(r.seconds, loop.starts[k + 1] - loop.starts[k], 0.05);
      EXPECT_NEAR(r.seconds, 6.0, 1.5);
    }
    if (i > 0) {
      ASSERT_TRUE(std::isfinite(r.rms));
      EXPECT_GE(r.peak, r.rms);
    }
    EXPECT_EQ(r.favourite, i == rows.size() - 2 ? 1 : 0);
  }
  // Every title that ended at a change has the RMS the debug log printed for it, in
  // the same order (the log may start with the title the stream information named, when
  // the stream began with another).
  std::vector<std::pair<std::string, std::string>> logged = LoggedLevels(lines);
  const size_t ended = rows.size() - 1;
  ASSERT_TRUE(logged.size() == ended || logged.size() == ended + 1) << logged.size();
  const size_t skip = logged.size() - ended;
  for (size_t k = 0; k < ended; ++k) {
    const SongRow& r = rows[rows.size() - 1 - k];
    EXPECT_EQ(logged[k + skip].first, r.artist + " - " + r.title) << k;
    EXPECT_EQ(logged[k + skip].second, FormatFixed(r.rms, 2)) << k;
  }
  // The title playing at the end was measured too.
  EXPECT_TRUE(std::isfinite(rows[0].rms));
  EXPECT_GT(rows[0].seconds, 0.0);
}

// Catches a recorder that needs the writer: without SongLogInit (a second instance that
// only hands its arguments over never starts it) titles are taken and dropped, nothing
// is created, and the reads answer empty.
TEST_F(SongLogRecorder, WithoutTheWriterNothingIsWritten) {
  ScratchFolder folder;
  SongLogShutdown();
  SongRow r;
  r.title = "Nobody";
  SongLogTitleStarted(r, 0);
  EXPECT_EQ(SongLogToggleFavouriteNow(), 1);
  EXPECT_EQ(SongLogFavouriteNow(), 1);
  SongLogTitleEnded(0, -20.0, -1.0, NAN, NAN, NAN);
  EXPECT_EQ(SongLogFavouriteNow(), 0);
  EXPECT_EQ(SongLogToggleFavouriteNow(), -1);
  EXPECT_EQ(SongLogSetFavourite(1, 1), 0);
  EXPECT_EQ(SongLogCount("", 0), 0);
  std::vector<SongRow> rows(3);
  EXPECT_EQ(SongLogRows("", 0, 0, 10, &rows), 0);
  EXPECT_TRUE(rows.empty());
  SongLogShutdown();
  EXPECT_TRUE(std::filesystem::is_empty(FsPath(folder.Path())));
}

// Catches the window's favourite toggle waiting for the writer or being lost: the reads
// show it at once, and it is in the file after the writer ends.
TEST_F(SongLogRecorder, WindowFavouriteShowsAtOnceAndIsStored) {
  ScratchFolder folder;
  ASSERT_EQ(SongLogInit(folder.Path()), 1);
  for (int i = 0; i < 500 && !SongLogReady(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(SongLogReady(), 1);
  for (const char* title : {"First", "Second", "Third"}) {
    SongRow r;
    r.artist = "Recorder";
    r.title = title;
    SongLogTitleStarted(r, 0);
  }
  SongLogTitleEnded(0, -21.0, -2.0, -15.0, 5.0, -1.5);
  uint64_t generation = SongLogGeneration();
  std::vector<SongRow> rows;
  for (int i = 0; i < 500; ++i) {
    if (SongLogGeneration() != generation && SongLogCount("", 0) == 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(SongLogRows("recorder", 0, 0, 10, &rows), 1);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].title, "Third");
  EXPECT_DOUBLE_EQ(rows[0].lufs, -15.0);
  EXPECT_TRUE(std::isnan(rows[1].rms));  // ended by the next start: not measured
  ASSERT_EQ(SongLogSetFavourite(rows[1].id, 1), 1);
  ASSERT_EQ(SongLogRows("", 0, 0, 10, &rows), 1);
  EXPECT_EQ(rows[1].favourite, 1);
  SongLogShutdown();
  int result = 0;
  SongStore* s = SongStoreOpen(folder.Path() + kSongLogFile, 0, 1000, &result, nullptr);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(SongStoreRows(s, "", 1, 0, 10, &rows), 1);
  SongStoreClose(s);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].title, "Second");
}
