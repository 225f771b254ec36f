// Loudness as listeners hear it: the EBU R128 figures of each title, measured by the
// stream's DSP beside its RMS, and the even-loudness step that steers by them.
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "base/base.h"
#include "platform/platform.h"
#include "playback/playback.h"

namespace {

// The meter and its scratch buffer belong to the DSP. The audio library calls the DSP on
// one mixing thread, but the lock keeps a second one (another library's update thread)
// from ever sharing them. Never destroyed: the mixing thread may still run while the
// program's statics go at exit.
struct DspMeter {
  std::mutex lock;
  LoudnessMeter* meter = nullptr;
  std::vector<float> finite;  // a buffer's samples with NaN and infinities silenced
};
DspMeter& TheDspMeter() {
  static DspMeter* meter = new DspMeter;
  return *meter;
}

void Publish(const LoudnessFigures& f) {
  gPlayer.titleLufs.store(f.lufs, std::memory_order_relaxed);
  gPlayer.titleLuRange.store(f.luRange, std::memory_order_relaxed);
  gPlayer.titleTruePeak.store(f.truePeak, std::memory_order_relaxed);
}

void PublishNothing() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Publish(LoudnessFigures{nan, nan, nan});
}

std::string TwoDecimals(double value) { return FormatFixed(value, 2); }

}  // namespace

void MeasureLoudness(const float* samples, size_t count, double rate, int64_t channels) {
  DspMeter& dsp = TheDspMeter();
  std::lock_guard<std::mutex> guard(dsp.lock);
  const int64_t wholeRate = int64_t(std::llround(rate));
  if (gPlayer.loudnessRestart.exchange(0) != 0 || (dsp.meter && !LoudnessMeterFormat(dsp.meter, wholeRate, channels))) {
    FreeLoudnessMeter(dsp.meter);
    dsp.meter = nullptr;
    PublishNothing();
  }
  // Made with the title's first buffer, in the format the DSP really receives.
  if (!dsp.meter) dsp.meter = CreateLoudnessMeter(wholeRate, channels);
  if (!dsp.meter || channels < 1) return;
  const size_t frames = count / size_t(channels);
  const float* feed = samples;
  // A NaN or infinite sample would poison the title's whole measurement: it counts as silence.
  if (!std::all_of(samples, samples + frames * size_t(channels), [](float s) { return std::isfinite(s); })) {
    dsp.finite.assign(samples, samples + frames * size_t(channels));
    for (float& s : dsp.finite)
      if (!std::isfinite(s)) s = 0.0f;
    feed = dsp.finite.data();
  }
  AddLoudnessFrames(dsp.meter, feed, frames);
  LoudnessFigures figures;
  ReadLoudness(dsp.meter, &figures);
  Publish(figures);
}

void ResetTitleLoudness() {
  gPlayer.loudnessRestart = 1;
  PublishNothing();
}

void TakeTitleLoudness(TrackHistoryEntry& entry) {
  const double lufs = gPlayer.titleLufs.load(std::memory_order_relaxed);
  const double range = gPlayer.titleLuRange.load(std::memory_order_relaxed);
  const double peak = gPlayer.titleTruePeak.load(std::memory_order_relaxed);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // All three or none: a title whose loudness is unknown keeps no range or peak either.
  const bool measured = std::isfinite(lufs) && std::isfinite(range) && !std::isnan(peak);
  entry.lufs = measured ? float(lufs) : nan;
  entry.luRange = measured ? float(range) : nan;
  entry.truePeak = measured ? float(std::max(peak, kSilenceFloorDb)) : nan;
}

EvenLoudnessStep ComputeEvenLoudnessStep(double lufs, double truePeak, float oldVolume, float baseVolume) {
  EvenLoudnessStep out;
  out.volume = out.asked = oldVolume;
  if (!std::isfinite(lufs) || std::isnan(truePeak)) return out;
  out.measured = 1;
  const float gain = float(kTargetLufs - std::clamp(lufs, -100.0, 0.0));
  float v = float(baseVolume * std::pow(10.0, double(gain) * 0.05));
  if (v > 1.0f) v = 1.0f;
  if (v < 0.01f) v = 0.01f;
  out.asked = out.volume = v;
  // The volume at which the title's true peak plays at the limit.
  const double ceiling = std::pow(10.0, (kTruePeakLimit - truePeak) * 0.05);
  if (double(v) > ceiling) {
    out.volume = std::max(float(ceiling), 0.01f);
    out.limited = 1;
  }
  return out;
}

std::string LoudnessLogLine(const std::string& name, const TrackHistoryEntry& entry) {
  if (std::isnan(entry.lufs)) return "\"" + name + "\", no EBU R128 loudness.";
  return "\"" + name + "\", " + TwoDecimals(entry.lufs) + " LUFS, " + TwoDecimals(entry.luRange) + " LU range, " +
         TwoDecimals(entry.truePeak) + " dBTP true peak.";
}

std::string TruePeakLimitLogLine(const std::string& name, const EvenLoudnessStep& step, double truePeak) {
  return "\"" + name + "\", true-peak limit: volume " + TwoDecimals(LevelDb(step.volume)) + " dB instead of " +
         TwoDecimals(LevelDb(step.asked)) + " dB keeps its " + TwoDecimals(truePeak) + " dBTP true peak at " +
         TwoDecimals(truePeak + LevelDb(step.volume)) + " dBTP.";
}
