// The EBU R128 loudness meter (ITU-R BS.1770) over libebur128: integrated loudness,
// loudness range and true peak of everything added since the meter was made. The only
// file that calls the library; it has no system calls, so both builds compile it.
#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "platform/platform.h"

struct LoudnessMeter {
  ebur128_state* state = nullptr;
  int64_t rate = 0;
  int64_t channels = 0;
  // Kept here, not only in the library's state: a change of format resets the library's
  // per-channel peaks, and the title's true peak must survive it.
  double truePeak = 0.0;
  int64_t frames = 0;
};

namespace {

// Histogram mode: the gating works on fixed histograms of the block loudness, so the
// memory stays the same over hours of one title (the default mode keeps every block).
constexpr int kMeterMode = EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_HISTOGRAM;

bool FormatSupported(int64_t rate, int64_t channels) {
  return rate >= 8000 && rate <= 384000 && channels >= 1 && channels <= 8;
}

// The channel roles the DSP's interleaving has: mono plays on both speakers, which the
// library counts as a dual-mono channel (+3 dB, what a listener hears).
void SetChannelRoles(ebur128_state* state, int64_t channels) {
  if (channels == 1) ebur128_set_channel(state, 0, EBUR128_DUAL_MONO);
}

}  // namespace

LoudnessMeter* CreateLoudnessMeter(int64_t rate, int64_t channels) {
  if (!FormatSupported(rate, channels)) return nullptr;
  auto* meter = new (std::nothrow) LoudnessMeter;
  if (!meter) return nullptr;
  meter->state = ebur128_init(unsigned(channels), static_cast<unsigned long>(rate), kMeterMode);
  if (!meter->state) {
    delete meter;
    return nullptr;
  }
  SetChannelRoles(meter->state, channels);
  meter->rate = rate;
  meter->channels = channels;
  return meter;
}

void FreeLoudnessMeter(LoudnessMeter* meter) {
  if (!meter) return;
  if (meter->state) ebur128_destroy(&meter->state);
  delete meter;
}

int LoudnessMeterFormat(LoudnessMeter* meter, int64_t rate, int64_t channels) {
  if (!meter || !meter->state) return 0;
  if (meter->rate == rate && meter->channels == channels) return 1;
  if (!FormatSupported(rate, channels)) return 0;
  // The histograms (what the title's loudness and range are made of) stay; the filters
  // and the block being filled start anew in the new format.
  int result = ebur128_change_parameters(meter->state, unsigned(channels), static_cast<unsigned long>(rate));
  if (result != EBUR128_SUCCESS && result != EBUR128_ERROR_NO_CHANGE) {
    // Out of memory: the library's state is unusable and goes; the meter measures
    // nothing more until it is made again.
    ebur128_destroy(&meter->state);
    return 0;
  }
  SetChannelRoles(meter->state, channels);
  meter->rate = rate;
  meter->channels = channels;
  return 1;
}

int AddLoudnessFrames(LoudnessMeter* meter, const float* frames, size_t frameCount) {
  if (!meter || !meter->state) return 0;
  if (frameCount == 0) return 1;
  if (!frames) return 0;
  if (ebur128_add_frames_float(meter->state, frames, frameCount) != EBUR128_SUCCESS) return 0;
  for (unsigned c = 0; c < unsigned(meter->channels); ++c) {
    double peak = 0.0;
    if (ebur128_prev_true_peak(meter->state, c, &peak) == EBUR128_SUCCESS && peak > meter->truePeak)
      meter->truePeak = peak;
  }
  meter->frames += int64_t(frameCount);
  return 1;
}

int ReadLoudness(LoudnessMeter* meter, LoudnessFigures* figures) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  *figures = LoudnessFigures{nan, nan, nan};
  if (!meter || !meter->state || meter->frames == 0) return 0;
  double integrated = 0.0, range = 0.0;
  if (ebur128_loudness_global(meter->state, &integrated) != EBUR128_SUCCESS || !std::isfinite(integrated)) return 0;
  if (ebur128_loudness_range(meter->state, &range) != EBUR128_SUCCESS || !std::isfinite(range)) range = 0.0;
  figures->lufs = integrated;
  figures->luRange = std::max(range, 0.0);
  figures->truePeak =
      meter->truePeak > 0.0 ? 20.0 * std::log10(meter->truePeak) : -std::numeric_limits<double>::infinity();
  return 1;
}

int64_t LoudnessMeterFrames(const LoudnessMeter* meter) { return meter ? meter->frames : 0; }
