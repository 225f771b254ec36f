// Loudness as listeners hear it: the EBU R128 figures the measuring DSP gives each title,
// the even-loudness step with its true-peak limit, its log lines, and the information
// window's report in that mode.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "playback_test_util.h"
#include "ui/ui.h"

using namespace playtest;

class EvenLoudnessTest : public PlayerEnv {};

namespace {

// The DSP's stereo buffer of a 997 Hz sine at a level (dBFS, referred to a full-scale
// sine), with `spikes` single samples at -0.5 dBFS (a peaky title), in 40 ms pieces.
void FeedTone(double dbfs, double seconds, int rate = 48000, int spikes = 0) {
  const size_t frames = size_t(seconds * rate);
  std::vector<float> buffer(frames * 2);
  const double a = std::pow(10.0, dbfs / 20.0);
  for (size_t i = 0; i < frames; ++i)
    buffer[i * 2] = buffer[i * 2 + 1] = float(a * std::sin(2.0 * M_PI * 997.0 * double(i) / rate));
  for (int k = 0; k < spikes; ++k) buffer[(frames / size_t(spikes + 1)) * size_t(k + 1) * 2] = 0.944f;
  const size_t chunk = size_t(rate / 25) * 2;
  for (size_t at = 0; at < buffer.size(); at += chunk)
    LevelDsp(1, 1, buffer.data() + at, DWORD(std::min(chunk, buffer.size() - at) * sizeof(float)), nullptr);
}

void Announce(const std::string& meta) {
  {
    std::lock_guard<std::mutex> l(Fake().lock);
    Fake().meta = meta;
  }
  HandleTrackChange();
}

// The run's measure and mode (the fixture puts the settings back); the meter starts
// afresh afterwards.
struct EvenLoudnessScope {
  EvenLoudnessScope(int64_t mode, float base) {
    gSettings.measure = MeasureR128;
    gSettings.preset = mode;
    gSettings.preset2 = base;
  }
  ~EvenLoudnessScope() { ResetTitleLoudness(); }
};

}  // namespace

// Catches the step made from the volume it last set (compounding), towards the RMS
// target instead of -23 LUFS, outside the RMS step's clamp, a limit that lets the true
// peak play above -1 dBTP or that cuts below 0.01, and a step without a measurement.
TEST(EvenLoudnessStepTest, StepsAndLimits) {
  struct Case {
    double lufs, truePeak;
    float oldVolume, base;
    int measured, limited;
    float volume;
  } cases[] = {
      {-18.0, -10.0, 0.2f, 1.0f, 1, 0, 0.5623f},     // 5 LU too loud, from the base
      {-23.0, -10.0, 0.2f, 0.5f, 1, 0, 0.5f},        // on target: the preset's level
      {-28.0, -20.0, 1.0f, 0.5f, 1, 0, 0.8891f},     // raised within the preset
      {-35.0, -20.0, 0.5f, 1.0f, 1, 0, 1.0f},        // the volume's ceiling
      {3.0, 5.0, 1.0f, 1.0f, 1, 0, 0.0708f},         // over 0 LUFS counts as 0
      {-24.0, -0.5, 0.3f, 1.0f, 1, 1, 0.9441f},      // raised until -1 dBTP, no further
      {-29.0, -0.5, 1.0f, 0.5f, 1, 1, 0.9441f},      // the preset raise held by the peak
      {-20.0, 45.0, 1.0f, 1.0f, 1, 1, 0.01f},        // never below the floor
      {std::nan(""), -3.0, 0.3f, 1.0f, 0, 0, 0.3f},  // not measured: stays
      {-HUGE_VAL, -3.0, 0.3f, 1.0f, 0, 0, 0.3f},     // gated away: stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lufs) + " LUFS, " + std::to_string(c.truePeak) + " dBTP, base " +
                 std::to_string(c.base));
    EvenLoudnessStep s = ComputeEvenLoudnessStep(c.lufs, c.truePeak, c.oldVolume, c.base);
    EXPECT_EQ(s.measured, c.measured);
    EXPECT_EQ(s.limited, c.limited);
    EXPECT_NEAR(s.volume, c.volume, 0.0005);
    if (s.limited && s.volume > 0.01f) EXPECT_NEAR(c.truePeak + 20.0 * std::log10(s.volume), -1.0, 0.001);
  }
}

// Catches the figures not reaching the history, a meter not started anew at a title
// change (the loud title would lift the quiet one), R128 lines written in RMS mode (its
// log must stay as it is) and a volume that does not follow the loudness.
TEST_F(EvenLoudnessTest, TitlesAreMeasuredAndSteered) {
  FakeBassScope fake;
  ResetTitleLoudness();
  gPlayer.streamHandle = 21;
  LogCapture log;
  gSettings.preset = VolumeAuto;

  // RMS mode: figures stored, RMS step, no R128 line.
  Announce("StreamTitle='Rms - Zero';");
  FeedTone(-18.0, 3.0);
  Announce("StreamTitle='Loud - One';");
  std::vector<TrackHistoryEntry> h = GetTrackHistory();
  ASSERT_EQ(h.size(), 2u);
  EXPECT_NEAR(h[1].lufs, -18.0, 0.1);
  EXPECT_NEAR(h[1].luRange, 0.0, 0.1);
  EXPECT_NEAR(h[1].truePeak, -18.0, 0.1);
  EXPECT_NEAR(gPlayer.volume.load(), 0.5623, 0.0005);
  EXPECT_EQ(log.Lines().size(), 1u);

  // R128 mode: a loud title, then a quiet one measured on its own.
  gSettings.measure = MeasureR128;
  FeedTone(-13.0, 3.0);
  Announce("StreamTitle='Quiet - Two';");
  EXPECT_NEAR(gPlayer.volume.load(), 0.3162, 0.0005);  // 10 LU too loud
  FeedTone(-33.0, 3.0);
  Announce("StreamTitle='End - Three';");
  h = GetTrackHistory();
  ASSERT_EQ(h.size(), 4u);
  EXPECT_NEAR(h[2].lufs, -13.0, 0.1);
  EXPECT_NEAR(h[1].lufs, -33.0, 0.1);
  EXPECT_NEAR(h[1].truePeak, -33.0, 0.1);
  EXPECT_NEAR(gPlayer.volume.load(), 1.0, 0.0005);  // +10 dB asked, the volume's ceiling
  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "\"Loud - One\", Headroom 0.00 dB, RMS -13.00 dBFS, -13.00 dBFS Max Peak.");
  for (int k : {1, 2}) {
    const int line = k == 2 ? 2 : 4;
    EXPECT_EQ(lines[size_t(line)], "\"" + h[size_t(k)].artist + " - " + h[size_t(k)].title + "\", " +
                                       FormatFixed(h[size_t(k)].lufs, 2) + " LUFS, " +
                                       FormatFixed(h[size_t(k)].luRange, 2) + " LU range, " +
                                       FormatFixed(h[size_t(k)].truePeak, 2) + " dBTP true peak.");
  }
  EXPECT_EQ(lines[3].rfind("\"Quiet - Two\", Headroom", 0), 0u);
  ResetTitleLoudness();
}

// Catches a quiet, peaky title raised until its true peak plays above -1 dBTP, and a
// limit that acts without the log saying so.
TEST_F(EvenLoudnessTest, TruePeakLimitIsLogged) {
  FakeBassScope fake;
  ResetTitleLoudness();
  EvenLoudnessScope scope(VolumeAuto, 0.5f);
  gPlayer.streamHandle = 22;
  LogCapture log;
  Announce("StreamTitle='Peaky - Zero';");
  FeedTone(-25.0, 4.0, 48000, 6);
  Announce("StreamTitle='After - One';");
  const TrackHistoryEntry e = GetTrackHistory()[1];
  ASSERT_FALSE(std::isnan(e.truePeak));
  EXPECT_GT(e.truePeak, -1.0);
  const float v = gPlayer.volume.load();
  EXPECT_LT(v, 1.0f);
  EXPECT_NEAR(e.truePeak + 20.0 * std::log10(v), -1.0, 0.01);
  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "\"Peaky - Zero\", true-peak limit: volume " + FormatFixed(20.0 * std::log10(v), 2) +
                          " dB instead of 0.00 dB keeps its " + FormatFixed(e.truePeak, 2) +
                          " dBTP true peak at -1.00 dBTP.");
}

// Catches a title without enough audio stepping the volume in R128 mode or logged with
// made-up figures, NaN samples poisoning a title, and a change of the DSP's rate or
// channels losing the title measured so far.
TEST_F(EvenLoudnessTest, UnmeasuredTitlesAndFormatChanges) {
  FakeBassScope fake;
  ResetTitleLoudness();
  EvenLoudnessScope scope(VolumePreset2, 0.5f);
  gPlayer.streamHandle = 23;
  gPlayer.volume = 0.3f;
  LogCapture log;
  Announce("StreamTitle='S - 0';");
  FeedTone(-20.0, 0.2);  // under one 400 ms block
  Announce("StreamTitle='S - 1';");
  EXPECT_TRUE(std::isnan(GetTrackHistory()[1].lufs));
  EXPECT_TRUE(std::isnan(GetTrackHistory()[1].truePeak));
  EXPECT_FLOAT_EQ(gPlayer.volume.load(), 0.3f);
  EXPECT_EQ(log.Lines().back(), "\"S - 0\", no EBU R128 loudness.");

  // Half the title at 44.1 kHz stereo, a NaN buffer, the rest at 48 kHz mono.
  {
    std::lock_guard<std::mutex> l(Fake().lock);
    Fake().freq = 44100;
  }
  FeedTone(-20.0, 3.0, 44100);
  std::vector<float> bad(3840, NAN);
  LevelDsp(1, 1, bad.data(), DWORD(bad.size() * sizeof(float)), nullptr);
  {
    std::lock_guard<std::mutex> l(Fake().lock);
    Fake().freq = 48000;
    Fake().chans = 1;
  }
  std::vector<float> mono(48000 * 3);
  for (size_t i = 0; i < mono.size(); ++i) mono[i] = float(0.1 * std::sin(2.0 * M_PI * 997.0 * double(i) / 48000.0));
  for (size_t at = 0; at < mono.size(); at += 1920)
    LevelDsp(1, 1, mono.data() + at, DWORD(1920 * sizeof(float)), nullptr);
  Announce("StreamTitle='S - 2';");
  const TrackHistoryEntry e = GetTrackHistory()[1];
  EXPECT_NEAR(e.lufs, -20.0, 0.2);  // mono heard on two speakers reads as the stereo half did
  EXPECT_NEAR(e.truePeak, -20.0, 0.1);
  EXPECT_NEAR(gPlayer.volume.load(), 0.5f * 0.7079f, 0.001);
}

// Catches the LUFS figure missing from the copied report in R128 mode, shown for a title
// not measured as a number, or added in RMS mode (whose report stays as it is).
TEST_F(EvenLoudnessTest, InformationReportAddsLufsOnlyInR128Mode) {
  InfoSnapshot info;
  TrackHistoryEntry now, measured, unmeasured;
  now.artist = "N", now.title = "Now";
  measured.artist = "M", measured.title = "One", measured.album = "A", measured.year = "2020";
  measured.start = 0, measured.end = 185, measured.rms = -18.4f, measured.peak = -3.2f, measured.lufs = -16.6f;
  unmeasured.artist = "U", unmeasured.title = "Two";
  info.history = {now, measured, unmeasured};
  const std::string rms = InfoCopyReport(info);
  EXPECT_NE(rms.find("01. M - One (3:05) - A (2020) - -18dBFS RMS, -3dBFS Peak.\r\n"), std::string::npos) << rms;
  EXPECT_EQ(rms.find("LUFS"), std::string::npos);
  info.measure = MeasureR128;
  const std::string r128 = InfoCopyReport(info);
  EXPECT_NE(r128.find("01. M - One (3:05) - A (2020) - -18dBFS RMS, -3dBFS Peak, -17LUFS.\r\n"), std::string::npos)
      << r128;
  EXPECT_NE(r128.find("02. U - Two (??:??) -  () - 0dBFS RMS, 0dBFS Peak, ?LUFS.\r\n"), std::string::npos) << r128;
}
