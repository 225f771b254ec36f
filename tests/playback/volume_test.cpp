// Volume and loudness: the measuring DSP, the level arithmetic, the automatic step and
// its clamps, SetVolume's clamps and mute, and HandleTrackChange's history rules.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "playback_test_util.h"
#include "runtime/runtime.h"

using namespace playtest;

class LevelDspTest : public PlayerEnv {};
class SetVolumeTest : public PlayerEnv {};
class HandleTrackChangeTest : public PlayerEnv {};

namespace {

// A stereo sine of the given RMS level (dBFS referred to a full-scale sine) through the DSP.
void FeedSine(double dbfs, int frames = 48000) {
  double amplitude = std::pow(10.0, dbfs / 20.0);
  std::vector<float> buffer(size_t(frames) * 2);
  for (int i = 0; i < frames; ++i) {
    float s = float(amplitude * std::sin(2.0 * M_PI * 997.0 * i / 48000.0));
    buffer[size_t(i) * 2] = s;
    buffer[size_t(i) * 2 + 1] = s;
  }
  LevelDsp(1, 1, buffer.data(), DWORD(buffer.size() * sizeof(float)), nullptr);
}

void ResetMeasure() {
  gPlayer.measureReset = 1;
  float none = 0.0f;
  MeasureSamples(&none, 0);
}

}  // namespace

// Catches silence counted as signal, reset requests ignored and NaN samples poisoning the sums.
TEST_F(LevelDspTest, Accumulators) {
  float samples[] = {0.0f, 0.5f, -0.25f, 0.0f, NAN, INFINITY, -1.0f};
  gPlayer.measureReset = 1;
  gPlayer.longPeakReset = 1;
  MeasureSamples(samples, 7);
  EXPECT_EQ(gPlayer.sampleCount.load(), 3);
  EXPECT_DOUBLE_EQ(gPlayer.sumSquares.load(), 0.25 + 0.0625 + 1.0);
  EXPECT_DOUBLE_EQ(gPlayer.titlePeak.load(), 1.0);
  EXPECT_DOUBLE_EQ(gPlayer.longPeak.load(), 1.0);
  EXPECT_EQ(gPlayer.measureReset.load(), 0);
  EXPECT_EQ(gPlayer.longPeakReset.load(), 0);

  float zeros[64] = {};
  MeasureSamples(zeros, 64);
  EXPECT_EQ(gPlayer.sampleCount.load(), 3);

  gPlayer.longPeakReset = 1;
  float small[] = {0.125f};
  MeasureSamples(small, 1);
  EXPECT_DOUBLE_EQ(gPlayer.longPeak.load(), 0.125);
  EXPECT_DOUBLE_EQ(gPlayer.titlePeak.load(), 1.0);  // the title's peak survives
  EXPECT_EQ(gPlayer.sampleCount.load(), 4);
}

// Catches a title change announced when its metadata is downloaded instead of when its
// audio reaches the DSP (a second of the previous title would count for the new one), a
// second change inside the buffer window overwriting the first, and a stop that drops
// the changes still on their way.
TEST_F(LevelDspTest, TitleChangesWhenTheirAudioArrives) {
  FakeBassScope fake;
  std::vector<float> block(100, 0.5f);
  const int pending = PendingEventCount();
  QueueTitleChange("StreamTitle='A - One';", 150);
  QueueTitleChange("StreamTitle='B - Two';", 180);  // within the same buffer window
  MeasureSamples(block.data(), block.size());
  EXPECT_EQ(PendingEventCount(), pending);
  MeasureSamples(block.data(), block.size());
  EXPECT_EQ(PendingEventCount(), pending + 2);  // both reached, each with its event
  MeasureSamples(block.data(), block.size());
  EXPECT_EQ(PendingEventCount(), pending + 2);  // once only
  EXPECT_EQ(gPlayer.sampleCount.load(), 300);   // the measurement itself goes on
  HandleTrackChange();
  HandleTrackChange();
  auto history = GetTrackHistory();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[1].artist, "A");  // in the order they were announced
  EXPECT_EQ(history[0].artist, "B");

  // Announced, not yet heard, then the stream stops: the title still counts.
  gPlayer.streamHandle = 12;
  QueueTitleChange("StreamTitle='C - Three';", 100000);
  StopStream();
  EXPECT_EQ(PendingEventCount(), pending + 3);
  HandleTrackChange();
  history = GetTrackHistory();
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(history[0].artist, "C");
}

// Catches a wrong estimate of the audio buffered between download and DSP.
TEST_F(LevelDspTest, BufferedSamplesAhead) {
  FakeBassScope fake;
  EXPECT_EQ(BufferedSamplesAhead(), 0);  // no stream
  gPlayer.streamHandle = 4;
  gPlayer.bitrate = 128000;
  gPlayer.channels = 2;
  Fake().bufferedBytes = 16000;         // one second at 128 kbit/s
  Fake().decodedBytes = 24000 * 2 * 4;  // half a second of stereo floats at 48 kHz
  EXPECT_EQ(BufferedSamplesAhead(), 72000 * 2);
  gPlayer.bitrate = 0;  // unknown rate: only the decoded part
  EXPECT_EQ(BufferedSamplesAhead(), 24000 * 2);
  Fake().bufferedBytes = 1ull << 40;  // absurd figures are bounded
  gPlayer.bitrate = 8;
  EXPECT_EQ(BufferedSamplesAhead(), 480000 * 2);
  // Catches the count made at 48 kHz and the wrong channel count: what the DSP receives
  // (the played rate, else the channel's; the channel's channels) decides.
  struct Case {
    float playRate;
    DWORD freq, chans;
    int64_t samples;
  } cases[] = {{0.0f, 44100, 1, 44100 + 24000 * 2},  // mono at 44.1 kHz, as played
               {0.0f, 44100, 2, 88200 + 24000 * 2},
               {48000.0f, 44100, 1, 48000 + 24000 * 2},  // resampled to the output's rate
               {0.0f, 22050, 6, 22050 * 2 + 24000 * 2}};  // six channels reach the DSP as two
  gPlayer.bitrate = 128000;
  Fake().bufferedBytes = 16000;  // one second
  for (const Case& c : cases) {
    Fake().playRate = c.playRate;
    {
      std::lock_guard<std::mutex> l(Fake().lock);
      Fake().freq = c.freq;
      Fake().chans = c.chans;
    }
    EXPECT_EQ(BufferedSamplesAhead(), c.samples) << c.freq << " " << c.chans;
  }
}

// Catches a level formula off by the sine reference (2x) or by log base, and a wrong step.
TEST(TitleLevelsTest, StepTowardsTarget) {
  struct Case {
    double dbfs;
    float volumeBefore;
    float volumeAfter;
  } cases[] = {
      {-18.0, 1.0f, 0.5623f},  {-23.0, 0.5623f, 0.5623f}, {-28.0, 0.5623f, 1.0f},
      {-28.0, 0.25f, 0.4446f}, {-3.0, 0.05f, 0.01f},  // never below 0.01
      {-60.0, 0.9f, 1.0f},                            // never above 1.0
  };
  for (const Case& c : cases) {
    ResetMeasure();
    FeedSine(c.dbfs);
    TitleLevels l = ComputeTitleLevels(gPlayer.sumSquares.load(), gPlayer.sampleCount.load(), gPlayer.titlePeak.load(),
                                       c.volumeBefore);
    ASSERT_EQ(l.measured, 1);
    EXPECT_NEAR(l.rms, c.dbfs, 0.01) << c.dbfs;
    // Referred to a full-scale sine, a sine's RMS level equals its peak level.
    EXPECT_NEAR(l.peak, c.dbfs, 0.01) << c.dbfs;
    EXPECT_NEAR(l.headroom, 0.0, 0.01) << c.dbfs;
    EXPECT_NEAR(l.volume, c.volumeAfter, 0.0005) << c.dbfs;
  }
}

// Catches unclamped levels above full scale in the step, and a step without a measurement.
TEST(TitleLevelsTest, ClampsAndNoMeasurement) {
  // Float samples over 1.0: stored unclamped, clamped to 0 dBFS for headroom and step.
  TitleLevels hot = ComputeTitleLevels(4.0 * 1000 / 2, 1000, 2.0, 1.0f);
  EXPECT_NEAR(hot.rms, 6.0206, 0.001);
  EXPECT_NEAR(hot.peak, 6.0206, 0.001);
  EXPECT_FLOAT_EQ(hot.headroom, 0.0f);
  EXPECT_NEAR(hot.volume, std::pow(10.0, -23.0 / 20.0), 1e-5);
  // RMS -20 dBFS under a -10 dBFS peak: 10 dB of headroom, volume up by 3 dB.
  TitleLevels crest = ComputeTitleLevels(5.0, 1000, std::pow(10.0, -0.5), 0.5f);
  EXPECT_NEAR(crest.rms, -20.0, 1e-4);
  EXPECT_NEAR(crest.peak, -10.0, 1e-4);
  EXPECT_NEAR(crest.headroom, 10.0, 1e-4);
  EXPECT_NEAR(crest.volume, 0.5 * std::pow(10.0, -3.0 / 20.0), 1e-5);
  // Below -100 dBFS the step uses -100.
  TitleLevels quiet = ComputeTitleLevels(1e-14, 1000, 1e-6, 0.001f);
  EXPECT_NEAR(quiet.rms, -166.99, 0.01);
  EXPECT_NEAR(quiet.peak, -120.0, 0.01);
  EXPECT_FLOAT_EQ(quiet.headroom, 0.0f);
  EXPECT_FLOAT_EQ(quiet.volume, 1.0f);
  for (auto [sum, count, peak] :
       {std::tuple{0.0, int64_t(10), 0.5}, std::tuple{1.0, int64_t(0), 0.5}, std::tuple{1.0, int64_t(10), 0.0}}) {
    TitleLevels none = ComputeTitleLevels(sum, count, peak, 0.7f);
    EXPECT_EQ(none.measured, 0);
    EXPECT_FLOAT_EQ(none.volume, 0.7f);
  }
}

// Catches SetVolume passing unclamped values or slide times to the library, or unmuting.
TEST_F(SetVolumeTest, ClampsAndMute) {
  FakeBassScope fake;
  SetVolume(0.8f, 100);
  EXPECT_EQ(Fake().slides.load(), 0);  // no stream: nothing to slide
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 0.8f);

  gPlayer.streamHandle = 9;
  struct Case {
    float level;
    int slide;
    int muted;
    float volume;
    float sent;
    int sentMs;
  } cases[] = {{1.5f, 0, 0, 1.0f, 1.0f, 1},    {0.5f, 10000, 0, 0.5f, 0.5f, 5000},
               {-2.0f, -5, 0, 0.0f, 0.0f, 1},  {0.3f, 1000, 1, 0.3f, 0.0f, 1000},
               {NAN, 100, 0, 0.0f, 0.0f, 100}, {0.75f, 5000, 0, 0.75f, 0.75f, 5000}};
  for (const Case& c : cases) {
    gSettings.muted = c.muted;
    SetVolume(c.level, c.slide);
    EXPECT_FLOAT_EQ(gPlayer.volume.load(), c.volume);
    EXPECT_FLOAT_EQ(Fake().lastSlideValue.load(), c.sent);
    EXPECT_EQ(Fake().lastSlideMs.load(), c.sentMs);
  }
}

namespace {

void Announce(const std::string& meta) {
  {
    std::lock_guard<std::mutex> l(Fake().lock);
    Fake().meta = meta;
  }
  HandleTrackChange();
}

}  // namespace

// Catches history, measurement and volume mistakes across a run of title changes.
TEST_F(HandleTrackChangeTest, TitleSequence) {
  FakeBassScope fake;
  // Steps from the automatic mode's level, whatever mode an earlier test left.
  gSettings.preset = VolumeAuto;
  gPlayer.streamHandle = 11;
  LogCapture log;

  // First title with an empty history: an entry, no measurement, no loudness line.
  FeedSine(-18.0);
  Announce("StreamTitle='Alpha - One';");
  std::vector<TrackHistoryEntry> h = GetTrackHistory();
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].artist, "Alpha");
  EXPECT_EQ(h[0].title, "One");
  EXPECT_EQ(h[0].start, h[0].end);
  EXPECT_EQ(gPlayer.measureReset.load(), 1);  // nothing buffered: restart at once
  EXPECT_EQ(Fake().slides.load(), 0);
  EXPECT_TRUE(log.Lines().empty());

  // The title ends at -18 dBFS: volume 1.0 steps to 0.562 over one second.
  FeedSine(-18.0);
  Announce("StreamTitle='Beta - Two - Album';");
  h = GetTrackHistory();
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h[0].artist, "Beta");
  EXPECT_EQ(h[0].album, "Two");
  EXPECT_EQ(h[0].title, "Album");
  EXPECT_NEAR(h[1].rms, -18.0, 0.01);
  EXPECT_NEAR(h[1].peak, -18.0, 0.01);
  EXPECT_NEAR(h[1].headroom, 0.0, 0.01);
  EXPECT_GE(h[1].end, h[1].start);
  EXPECT_NEAR(gPlayer.volume.load(), 0.5623, 0.0005);
  EXPECT_NEAR(Fake().lastSlideValue.load(), 0.5623, 0.0005);
  EXPECT_EQ(Fake().lastSlideMs.load(), 1000);
  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "\"Alpha - One\", Headroom 0.00 dB, RMS -18.00 dBFS, -18.00 dBFS Max Peak.");

  // The same title again changes nothing.
  int slides = Fake().slides.load();
  FeedSine(-40.0);
  Announce("StreamTitle='Beta - Two - Album';");
  EXPECT_EQ(GetTrackHistory().size(), 2u);
  EXPECT_EQ(Fake().slides.load(), slides);

  // Catches the step compounding from the volume the last step left: a -23 dBFS title
  // brings the volume back to the mode's base level (1.0 in Auto), not 0.562 again.
  // Muted, the stream stays at 0 but the volume follows.
  ResetMeasure();
  FeedSine(-23.0);
  Announce("StreamTitle='Gamma - Three';");
  EXPECT_NEAR(gPlayer.volume.load(), 1.0, 0.0005);
  ResetMeasure();
  FeedSine(-28.0);
  gSettings.muted = 1;
  Announce("StreamTitle='Delta - Four';");
  EXPECT_NEAR(gPlayer.volume.load(), 1.0, 0.001);
  EXPECT_FLOAT_EQ(Fake().lastSlideValue.load(), 0.0f);
  gSettings.muted = 0;

  // No audio since the last change: headroom and peak 0, the volume stays.
  ResetMeasure();
  float before = gPlayer.volume.load();
  Announce("StreamTitle='Epsilon - Five';");
  h = GetTrackHistory();
  EXPECT_FLOAT_EQ(h[1].headroom, 0.0f);
  EXPECT_FLOAT_EQ(h[1].peak, 0.0f);
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), before);
  lines = log.Lines();
  EXPECT_GE(FindLine(lines, "\"Beta - Album\", Headroom 0.00 dB, RMS -23.00 dBFS, -23.00 dBFS Max Peak."), 0);
  EXPECT_GE(FindLine(lines, "\"Gamma - Three\", Headroom 0.00 dB, RMS -28.00 dBFS, -28.00 dBFS Max Peak."), 0);
  EXPECT_EQ(lines.back(), "\"Delta - Four\", Headroom 0.00 dB, RMS 0.00 dBFS, 0.00 dBFS Max Peak.");
}

// Catches the step made from the last volume instead of the preset mode's own level: in
// preset 2 (0.5) the -14, -14, -23 run gives 0.5 x 0.355 twice, then 0.5 again.
TEST_F(HandleTrackChangeTest, StepFromThePresetLevel) {
  FakeBassScope fake;
  gSettings.preset = 2;
  gSettings.preset2 = 0.5f;
  gPlayer.streamHandle = 14;
  Announce("StreamTitle='P - 0';");
  struct Step {
    double dbfs;
    float volume;
  } steps[] = {{-14.0, 0.5f * 0.3548f}, {-14.0, 0.5f * 0.3548f}, {-23.0, 0.5f}, {-28.0, 0.5f * 1.7783f}, {-18.0, 0.5f * 0.5623f}};
  int n = 1;
  for (const Step& step : steps) {
    ResetMeasure();
    FeedSine(step.dbfs);
    Announce("StreamTitle='P - " + std::to_string(n++) + "';");
    EXPECT_NEAR(gPlayer.volume.load(), step.volume, 0.0005) << step.dbfs << " at title " << n;
  }
}

// Catches numbers in texts that follow the user's locale once the toolkit has set it
// (setlocale(LC_ALL, "") from the environment): under German rules the loudness line
// would read "Headroom 0,00 dB" and the scale "1,5".
TEST_F(HandleTrackChangeTest, NumbersKeepTheirPointUnderADecimalCommaLocale) {
  FakeBassScope fake;
#ifdef _WIN32
  // Windows' C library takes the user's locale from the system, not from LC_ALL: name it.
  const char* set = setlocale(LC_ALL, "German_Germany.1252");
  ASSERT_NE(set, nullptr) << "no German locale";
#else
  const char* saved = std::getenv("LC_ALL");
  const std::string savedValue = saved ? saved : "";
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  const char* set = setlocale(LC_ALL, "");
  ASSERT_NE(set, nullptr) << "de_DE.UTF-8 is not installed (scripts/install-deps.sh generates it)";
#endif
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  EXPECT_STREQ(probe, "1,5");  // the locale really is in effect
  gPlayer.streamHandle = 15;
  LogCapture log;
  Announce("StreamTitle='L - 0';");
  ResetMeasure();
  FeedSine(-18.5);
  Announce("StreamTitle='L - 1';");
  const std::string scale = FormatScale(1.5);
  setlocale(LC_ALL, "C");
#ifndef _WIN32
  if (saved)
    setenv("LC_ALL", savedValue.c_str(), 1);
  else
    unsetenv("LC_ALL");
#endif
  EXPECT_EQ(scale, "1.5");
  std::vector<std::string> lines = log.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "\"L - 0\", Headroom 0.00 dB, RMS -18.50 dBFS, -18.50 dBFS Max Peak.");
}

// Catches a history that grows without bound or is trimmed after the insert.
TEST_F(HandleTrackChangeTest, HistoryLimit) {
  FakeBassScope fake;
  gPlayer.streamHandle = 12;
  Announce("StreamTitle='T - 0';");
  for (int i = 1; i <= 60; ++i) Announce("StreamTitle='T - " + std::to_string(i) + "';");
  std::vector<TrackHistoryEntry> h = GetTrackHistory();
  EXPECT_EQ(h.size(), kHistoryLimit + 1);
  EXPECT_EQ(h.front().title, "60");
  EXPECT_EQ(h[1].title, "59");
}

// Catches a title taken from the stream-information history being entered a second time,
// and an empty metadata title creating an entry.
TEST_F(HandleTrackChangeTest, KnownTitleAndEmptyTitle) {
  FakeBassScope fake;
  gPlayer.streamHandle = 13;
  {
    std::lock_guard<std::mutex> l(gTrackHistory.lock);
    TrackHistoryEntry e;
    e.artist = "Doc";
    e.title = "Newest";
    gTrackHistory.entries.push_back(e);
  }
  Announce("StreamTitle='Doc - Newest';");
  EXPECT_EQ(GetTrackHistory().size(), 1u);
  Announce("StreamTitle='';");
  EXPECT_EQ(GetTrackHistory().size(), 1u);
  gPlayer.streamHandle = 0;  // no stream: the title stays as it was
  Announce("StreamTitle='Other - Title';");
  EXPECT_EQ(GetTrackHistory().size(), 1u);
}
