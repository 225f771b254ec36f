// The EBU R128 loudness meter: its figures against FFmpeg's ebur128 filter (peak=true)
// for signals of known content, a change of format within a title, what it refuses and
// what it does not call a measurement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "../tools/station-sim/pink_noise.h"
#include "platform/platform.h"
#ifndef _WIN32
#include <filesystem>

#include "ffmpeg_r128.h"
#endif

namespace {

constexpr double kTwoPi = 6.283185307179586;

struct Tone {
  double freq, amplitude, phase = 0.0;
};

// Interleaved frames: the sum of the tones on every channel.
std::vector<float> Tones(const std::vector<Tone>& tones, int rate, double seconds, int channels = 2) {
  const size_t frames = size_t(seconds * rate);
  std::vector<float> out(frames * size_t(channels));
  for (size_t n = 0; n < frames; ++n) {
    double v = 0.0;
    for (const Tone& t : tones) v += t.amplitude * std::sin(kTwoPi * t.freq * double(n) / rate + t.phase);
    // 20 ms fades: an abrupt start rings in an interpolator, and meters ring differently.
    v *= std::min({1.0, double(n) / (rate / 50.0), double(frames - 1 - n) / (rate / 50.0)});
    for (int c = 0; c < channels; ++c) out[n * size_t(channels) + size_t(c)] = float(v);
  }
  return out;
}

// Pink noise of a fixed seed, its own on each channel, at an RMS referred to a
// full-scale sine (the station's pink titles are made the same way).
std::vector<float> Pink(double levelDb, int rate, double seconds) {
  std::vector<float> out(size_t(seconds * rate) * 2);
  uint64_t s[2] = {0x9E3779B97F4A7C15ull, 0x243F6A8885A308D3ull};
  PinkNoiseFilter filter[2];
  double sum = 0.0;
  for (size_t i = 0; i < out.size(); ++i) {
    uint64_t& x = s[i % 2];
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    out[i] = float(filter[i % 2].Next(double(x >> 11) * (2.0 / 9007199254740992.0) - 1.0));
    sum += double(out[i]) * out[i];
  }
  const double gain = std::pow(10.0, levelDb / 20.0) / std::sqrt(2.0 * sum / double(out.size()));
  for (float& v : out) v = float(v * gain);
  return out;
}

std::vector<float> Joined(std::vector<float> a, const std::vector<float>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

double Db(double dbfs) { return std::pow(10.0, dbfs / 20.0); }

// In the mixer's pieces of 40 ms, as the player's DSP hands them over.
void Feed(LoudnessMeter* meter, const std::vector<float>& samples, int rate, int channels) {
  const size_t chunk = size_t(rate / 25) * size_t(channels);
  for (size_t at = 0; at < samples.size(); at += chunk) {
    const size_t n = std::min(chunk, samples.size() - at);
    ASSERT_EQ(AddLoudnessFrames(meter, samples.data() + at, n / size_t(channels)), 1);
  }
}

struct Signal {
  const char* name;
  std::vector<float> samples;
  int rate, channels;
  // FFmpeg 5.1's ebur128 filter (peak=true) over the same samples; the Linux test below
  // checks these against the ffmpeg installed.
  double lufs, luRange, truePeak;
};

std::vector<Signal> KnownSignals() {
  return {
      {"1 kHz sine at -20 dBFS", Tones({{1000, Db(-20)}}, 48000, 10), 48000, 2, -20.0, 0.0, -20.0},
      {"pink noise at -30 dBFS", Pink(-30, 48000, 10), 48000, 2, -30.3, 0.1, -20.1},
      {"45 Hz bass with harmonics", Tones({{45, 0.3}, {90, 0.15}, {135, 0.075}}, 44100, 10), 44100, 2, -13.5, 0.0,
       -7.6},
      {"10 s at -20 then 10 s at -30", Joined(Tones({{1000, Db(-20)}}, 48000, 10), Tones({{1000, Db(-30)}}, 48000, 10)),
       48000, 2, -22.6, 10.0, -20.0},
      // A quarter of the rate at 45 degrees: every sample lies 3 dB below the wave's crest.
      {"12 kHz sine between its samples", Tones({{12000, 0.9, kTwoPi / 8}}, 48000, 5), 48000, 2, 2.4, 0.0, -0.9},
      {"mono 1 kHz sine at -20 dBFS", Tones({{1000, Db(-20)}}, 48000, 10, 1), 48000, 1, -20.0, 0.0, -20.0},
  };
}

LoudnessFigures Measure(const Signal& s) {
  LoudnessFigures f{};
  LoudnessMeter* meter = CreateLoudnessMeter(s.rate, s.channels);
  EXPECT_NE(meter, nullptr);
  if (!meter) return f;
  Feed(meter, s.samples, s.rate, s.channels);
  EXPECT_EQ(ReadLoudness(meter, &f), 1);
  EXPECT_EQ(LoudnessMeterFrames(meter), int64_t(s.samples.size()) / s.channels);
  FreeLoudnessMeter(meter);
  return f;
}

}  // namespace

// Catches a wrong weighting, gate, channel map (mono not heard on two speakers), a sample
// peak given as the true peak, and a loudness range that ignores the quiet half.
TEST(LoudnessMeter, AgreesWithFfmpegOnKnownSignals) {
  for (const Signal& s : KnownSignals()) {
    SCOPED_TRACE(s.name);
    const LoudnessFigures f = Measure(s);
    EXPECT_NEAR(f.lufs, s.lufs, 0.3);
    EXPECT_NEAR(f.luRange, s.luRange, 0.3);
    EXPECT_NEAR(f.truePeak, s.truePeak, 0.3);
  }
}

// Catches a change of rate or channels that throws away the title measured so far, or
// its true peak (the library resets its own per-channel peaks there).
TEST(LoudnessMeter, FormatChangeKeepsTheTitle) {
  LoudnessMeter* meter = CreateLoudnessMeter(44100, 2);
  ASSERT_NE(meter, nullptr);
  Feed(meter, Tones({{1000, Db(-10)}}, 44100, 6), 44100, 2);
  ASSERT_EQ(LoudnessMeterFormat(meter, 48000, 1), 1);
  Feed(meter, Tones({{1000, Db(-14)}}, 48000, 6, 1), 48000, 1);
  ASSERT_EQ(LoudnessMeterFormat(meter, 48000, 2), 1);
  Feed(meter, Tones({{1000, Db(-18)}}, 48000, 6), 48000, 2);
  LoudnessFigures f;
  ASSERT_EQ(ReadLoudness(meter, &f), 1);
  // A third each at -10, -14 and -18 LUFS: 10 log10 of the mean power.
  EXPECT_NEAR(f.lufs, 10.0 * std::log10((std::pow(10.0, -1.0) + std::pow(10.0, -1.4) + std::pow(10.0, -1.8)) / 3.0),
              0.3);
  EXPECT_NEAR(f.truePeak, -10.0, 0.1);
  EXPECT_GT(f.luRange, 6.0);
  FreeLoudnessMeter(meter);
}

// Catches silence, a title shorter than one 400 ms block, or sound below the absolute gate
// reported as a loudness (-inf or -70 would steer the volume to its limit).
TEST(LoudnessMeter, NothingToMeasureIsNotAMeasurement) {
  struct Case {
    const char* name;
    std::vector<float> samples;
  } cases[] = {
      {"no frames", {}},
      {"300 ms of sine", Tones({{1000, Db(-20)}}, 48000, 0.3)},
      {"digital silence", std::vector<float>(48000 * 2 * 5, 0.0f)},
      {"a sine at -80 dBFS", Tones({{1000, Db(-80)}}, 48000, 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoudnessMeter* meter = CreateLoudnessMeter(48000, 2);
    ASSERT_NE(meter, nullptr);
    Feed(meter, c.samples, 48000, 2);
    LoudnessFigures f{0.0, 0.0, 0.0};
    EXPECT_EQ(ReadLoudness(meter, &f), 0);
    EXPECT_TRUE(std::isnan(f.lufs) && std::isnan(f.luRange) && std::isnan(f.truePeak));
    FreeLoudnessMeter(meter);
  }
}

// Catches formats the library would be asked to allocate for without limit, and a refused
// change that breaks a meter still measuring.
TEST(LoudnessMeter, FormatsOutOfRangeAreRefused) {
  const int64_t bad[][2] = {{0, 2}, {7999, 2}, {384001, 2}, {48000, 0}, {48000, 9}, {-48000, 2}};
  for (const auto& f : bad) {
    SCOPED_TRACE(std::to_string(f[0]) + " Hz, " + std::to_string(f[1]) + " channels");
    EXPECT_EQ(CreateLoudnessMeter(f[0], f[1]), nullptr);
  }
  LoudnessMeter* meter = CreateLoudnessMeter(48000, 2);
  ASSERT_NE(meter, nullptr);
  Feed(meter, Tones({{1000, Db(-20)}}, 48000, 3), 48000, 2);
  for (const auto& f : bad) EXPECT_EQ(LoudnessMeterFormat(meter, f[0], f[1]), 0);
  Feed(meter, Tones({{1000, Db(-20)}}, 48000, 3), 48000, 2);
  LoudnessFigures figures;
  ASSERT_EQ(ReadLoudness(meter, &figures), 1);
  EXPECT_NEAR(figures.lufs, -20.0, 0.1);
  EXPECT_EQ(AddLoudnessFrames(nullptr, nullptr, 1), 0);
  EXPECT_EQ(ReadLoudness(nullptr, &figures), 0);
  FreeLoudnessMeter(meter);
  FreeLoudnessMeter(nullptr);
}

#ifndef _WIN32
// Catches figures in the table above that are not FFmpeg's (the Windows build, which
// cannot run ffmpeg under Wine, trusts them), and checks the meter against FFmpeg itself.
TEST(LoudnessMeter, TableIsFfmpegsOwnMeasurement) {
  const std::string raw = (std::filesystem::temp_directory_path() / "corvale-r128-signal.raw").string();
  for (const Signal& s : KnownSignals()) {
    SCOPED_TRACE(s.name);
    ASSERT_TRUE(r128test::WriteRawFloats(raw, s.samples));
    const r128test::FfmpegLoudness ff = r128test::MeasureWithFfmpeg(raw, s.rate, s.channels, s.channels == 1);
    ASSERT_TRUE(ff.ok) << ff.output;
    // FFmpeg prints one decimal.
    EXPECT_NEAR(ff.lufs, s.lufs, 0.051);
    EXPECT_NEAR(ff.luRange, s.luRange, 0.051);
    EXPECT_NEAR(ff.truePeak, s.truePeak, 0.051);
    const LoudnessFigures f = Measure(s);
    EXPECT_NEAR(f.lufs, ff.lufs, 0.3);
    EXPECT_NEAR(f.luRange, ff.luRange, 0.3);
    EXPECT_NEAR(f.truePeak, ff.truePeak, 0.3);
  }
  std::filesystem::remove(raw);
}
#endif
