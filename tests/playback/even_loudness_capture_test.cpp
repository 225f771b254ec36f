// Even loudness on real audio: the station simulator's test signals (a 1 kHz sine, pink
// noise, a bass-heavy tone and a peaky sine, set to about the same EBU R128 loudness by
// very different RMS levels) play through the real audio library into a file, once
// steered by RMS and once by R128. Each title's figures are checked against FFmpeg's
// ebur128 filter over the very samples the player's DSP measured, and the played loudness
// of each title is read back from the file with FFmpeg too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "ffmpeg_r128.h"
#include "playback/bass_api.h"
#include "playback_test_util.h"
#include "station_sim_fixture.h"

using namespace playtest;

namespace {

constexpr size_t kRate = 48000;  // the output mixes stereo floats at 48 kHz
constexpr size_t kTitlesInCycle = 4;
constexpr size_t kChangesWanted = 2 + 2 * kTitlesInCycle;  // the cut first title, two rounds, and their ends
// Levels that give the four contents about -16 LUFS: the bass needs 4 dB more
// RMS than the sine for the same loudness.
const char* const kSignals = "sine:-16,pink:-15.4,bass:-11.7,peaks:-16.2";
// The simulator's first four artists carry the four signals in this order.
const char* const kArtists[kTitlesInCycle] = {"Loopback Quartet", "Mara Lindqvist", "The Checksums", "Inês Duarte"};
const char* const kContents[kTitlesInCycle] = {"1 kHz sine", "pink noise", "45 Hz bass", "peaky sine"};
const char* Content(const std::string& artist) {
  for (size_t i = 0; i < kTitlesInCycle; ++i)
    if (artist == kArtists[i]) return kContents[i];
  return "?";
}

struct HeardTitle {
  size_t outputFrame = 0;       // where the title starts in the output file
  std::vector<float> measured;  // what the player's DSP measured of it, before the volume
  double dspRate = 0.0;
  int64_t dspChannels = 0;
  TrackHistoryEntry entry;  // with the figures HandleTrackChange stored
};

// The main loop's part, run on the mixing thread right after the player's measuring DSP
// saw each buffer (as in the automatic-volume capture): each title's samples are kept
// exactly as the DSP measured them, and a title change is handled at the buffer it
// starts in.
struct LoopStandIn {
  std::string path;
  int seen = 0;
  std::mutex lock;
  std::vector<HeardTitle> titles;  // titles[k] ended at titles[k + 1]'s start
  std::vector<float> current;
  double rate = 0.0;
  int64_t channels = 0;
};

void CaptureAndHandleChanges(HDSP, DWORD channel, void* buffer, DWORD length, void* user) {
  auto* loop = static_cast<LoopStandIn*>(user);
  const float* s = static_cast<const float*>(buffer);
  loop->current.insert(loop->current.end(), s, s + length / sizeof(float));
  DspFormat(channel, &loop->rate, &loop->channels);
  while (PendingEventCount() > loop->seen) {
    ++loop->seen;
    const size_t before = TrackHistorySize();
    HandleTrackChange();
    if (TrackHistorySize() == before) continue;
    std::lock_guard<std::mutex> g(loop->lock);
    if (!loop->titles.empty()) {
      HeardTitle& ended = loop->titles.back();
      ended.measured.swap(loop->current);
      ended.dspRate = loop->rate;
      ended.dspChannels = loop->channels;
      ended.entry = GetTrackHistory()[1];
    }
    loop->current.clear();
    HeardTitle next;
    next.outputFrame = CapturedFrames(loop->path);
    loop->titles.push_back(std::move(next));
  }
}

struct CycleRun {
  std::vector<HeardTitle> titles;
  std::vector<std::string> log;
  std::string output;
};

// Plays the cycle for two rounds with the loudness measure given; false when the stream
// never came or stopped early.
bool PlayCycle(int64_t measure, const std::string& folder, CycleRun* run) {
  StationSim sim;
  if (!sim.Start({"--title-seconds", "6", "--signals", kSignals, "--no-tls"})) {
    ADD_FAILURE() << sim.startError;
    return false;
  }
  run->output = folder + (measure == MeasureR128 ? "r128.raw" : "rms.raw");
  if (!OpenAudioLibrary("file:" + run->output).empty()) return false;
  ResetPlayerState();  // the second cycle starts as the first did
  ResetTitleLoudness();
  // MP3 at a constant 128 kbit/s: the title changes fall where their audio is (the
  // buffered seconds are reckoned from the nominal bitrate, which a variable-rate Opus
  // stream of plain tones undercuts by far).
  gStation.infoUrls = {sim.Url("/info.json?streams=mp3")};
  gSettings.preset = VolumeAuto;  // base level 1.0
  gSettings.measure = measure;

  LogCapture log;
  LoopStandIn loop;
  loop.path = run->output;
  loop.seen = PendingEventCount();
  if (!StartPlayingWithLoopDsp(CaptureAndHandleChanges, &loop)) return false;
  // Counted in played audio, not in time: a loaded machine only makes it slower.
  size_t heard = 0;
  for (int idle = 0; idle < 3000;) {
    {
      std::lock_guard<std::mutex> g(loop.lock);
      heard = loop.titles.size();
    }
    if (heard >= kChangesWanted) break;
    const size_t frames = CapturedFrames(run->output);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    idle = CapturedFrames(run->output) == frames ? idle + 1 : 0;
  }
  CloseCapture();
  run->titles = loop.titles;
  run->log = log.Lines();
  return heard >= kChangesWanted;
}

// Integrated loudness of the played frames [from, to) of the output file, by FFmpeg.
double PlayedLufs(const std::string& output, const std::string& folder, size_t from, size_t to) {
  std::vector<float> all = ReadFrames(output, from);
  all.resize(std::min(all.size(), (to - from) * 2));
  const std::string raw = folder + "played.raw";
  r128test::WriteRawFloats(raw, all);
  return r128test::MeasureWithFfmpeg(raw, int(kRate), 2).lufs;
}

std::string Fixed(double v) { return std::isnan(v) ? "  n/a " : FormatFixed(v, 2); }

bool LogSays(const std::vector<std::string>& log, const std::string& start) {
  return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
}

class EvenLoudnessCapture : public PlayerEnv {};

}  // namespace

// Catches R128 figures that drift from FFmpeg's on real decoded audio (a wrong rate or
// channel count handed to the meter, a meter not started anew at a title), a step that
// does not steer by them, and the even-loudness mode not evening out what RMS steering
// leaves uneven: titles of equal loudness but unequal RMS play unequally loud by RMS and
// within 1 LU of -23 LUFS by R128 from the second round on, unless the log says that the
// true peak held the step.
TEST_F(EvenLoudnessCapture, R128StepEvensWhatRmsLeavesUneven) {
  ScratchFolder folder;
  ScratchPlayerFolders folders;
  CycleRun rms, r128;
  const bool played = PlayCycle(MeasureRms, folder.Path(), &rms) && PlayCycle(MeasureR128, folder.Path(), &r128);
  ResetTitleLoudness();
  ASSERT_TRUE(played);

  // Title k is heard from titles[k] to titles[k + 1]; 0 is the one the stream started in.
  // The played level skips the 1 s volume slide and the device's buffer at both ends.
  std::printf(
      "| title | content | LUFS | LU range | dBTP | FFmpeg LUFS / LU / dBTP | played by RMS | played by R128 |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  std::vector<double> playedRms, playedR128;
  for (size_t k = 1; k + 1 < kChangesWanted; ++k) {
    SCOPED_TRACE("title " + std::to_string(k));
    double played[2] = {0, 0};
    int run = 0;
    for (CycleRun* r : {&rms, &r128}) {
      const HeardTitle& t = r->titles[k];
      const std::string raw = folder.Path() + "measured.raw";
      ASSERT_TRUE(r128test::WriteRawFloats(raw, t.measured));
      const r128test::FfmpegLoudness ff =
          r128test::MeasureWithFfmpeg(raw, int(t.dspRate), int(t.dspChannels), t.dspChannels == 1);
      ASSERT_TRUE(ff.ok) << ff.output;
      EXPECT_NEAR(t.entry.lufs, ff.lufs, 0.3);
      EXPECT_NEAR(t.entry.luRange, ff.luRange, 0.3);
      EXPECT_NEAR(t.entry.truePeak, ff.truePeak, 0.3);
      played[run] = PlayedLufs(r->output, folder.Path(), r->titles[k].outputFrame + 3 * kRate / 2,
                               r->titles[k + 1].outputFrame - kRate / 2);
      if (run == 1)
        std::printf("| %zu | %s | %s | %s | %s | %s / %s / %s | %s | %s |\n", k, Content(t.entry.artist),
                    Fixed(t.entry.lufs).c_str(), Fixed(t.entry.luRange).c_str(), Fixed(t.entry.truePeak).c_str(),
                    Fixed(ff.lufs).c_str(), Fixed(ff.luRange).c_str(), Fixed(ff.truePeak).c_str(),
                    Fixed(played[0]).c_str(), Fixed(played[1]).c_str());
      ++run;
    }
    playedRms.push_back(played[0]);
    playedR128.push_back(played[1]);
    // From the second round on, the step after each title plays the next one at the
    // target (all four are about equally loud), unless the true peak held it.
    const HeardTitle& before = r128.titles[k - 1];
    const std::string name = "\"" + before.entry.artist + " - " + before.entry.title + "\", true-peak limit";
    if (k > kTitlesInCycle && !LogSays(r128.log, name)) {
      EXPECT_NEAR(played[1], -23.0, 1.0);
    }
  }
  for (const std::string& line : r128.log)
    if (line.find("LUFS") != std::string::npos || line.find("true-peak") != std::string::npos)
      std::printf("%s\n", line.c_str());
  // The second round: RMS steering leaves the equally loud titles spread, R128 does not.
  auto spread = [](const std::vector<double>& v) {
    auto [lo, hi] = std::minmax_element(v.end() - kTitlesInCycle, v.end());
    return *hi - *lo;
  };
  std::printf("played spread of the second round: RMS %.2f LU, R128 %.2f LU\n", spread(playedRms), spread(playedR128));
  EXPECT_LT(spread(playedR128), spread(playedRms));
  EXPECT_LT(spread(playedR128), 2.0);
}
