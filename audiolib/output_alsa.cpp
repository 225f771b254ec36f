// The ALSA output: a PCM ("default" or a named one) in float where the device takes it,
// else the widest integer format. Some plugins (null, file) swallow data faster than
// real time; the writes are then paced like the null device's.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "internal.h"
#include "pacer.h"

namespace audiolib {

namespace {

constexpr int kBufferMs = 160;  // what the device holds ahead of what is heard

struct AlsaState {
  snd_pcm_t* pcm = nullptr;
  snd_pcm_format_t format = SND_PCM_FORMAT_FLOAT_LE;
  int channels = 2;
  snd_pcm_uframes_t period = 0;
  std::vector<uint8_t> converted;
  Pacer pacer;
};

void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

int AlsaOpen(void** state, const char* name, int* rate, int channels) {
  auto* st = new AlsaState();
  st->channels = channels;
  // A machine without sound makes alsa-lib print its reasons; the caller gets an error
  // code instead. The handler is put back at once so that it never outlives us.
  snd_lib_error_set_handler(QuietAlsa);
  const int opened = snd_pcm_open(&st->pcm, name && *name ? name : "default", SND_PCM_STREAM_PLAYBACK, 0);
  snd_lib_error_set_handler(nullptr);
  if (opened < 0) {
    delete st;
    return 0;
  }
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  bool ok = snd_pcm_hw_params_any(st->pcm, hw) >= 0 &&
            snd_pcm_hw_params_set_access(st->pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0;
  if (ok) {
    // Float where the device takes it, else the widest integer format.
    const snd_pcm_format_t formats[] = {SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_S16_LE};
    ok = false;
    for (snd_pcm_format_t f : formats) {
      if (snd_pcm_hw_params_test_format(st->pcm, hw, f) == 0 && snd_pcm_hw_params_set_format(st->pcm, hw, f) >= 0) {
        st->format = f;
        ok = true;
        break;
      }
    }
  }
  unsigned int r = unsigned(*rate);
  unsigned int bufferUs = kBufferMs * 1000, periodUs = 40000;
  ok = ok && snd_pcm_hw_params_set_channels(st->pcm, hw, unsigned(channels)) >= 0 &&
       snd_pcm_hw_params_set_rate_near(st->pcm, hw, &r, nullptr) >= 0 &&
       snd_pcm_hw_params_set_buffer_time_near(st->pcm, hw, &bufferUs, nullptr) >= 0 &&
       snd_pcm_hw_params_set_period_time_near(st->pcm, hw, &periodUs, nullptr) >= 0 &&
       snd_pcm_hw_params(st->pcm, hw) >= 0;
  if (!ok) {
    snd_pcm_close(st->pcm);
    delete st;
    return 0;
  }
  snd_pcm_hw_params_get_period_size(hw, &st->period, nullptr);
  *rate = int(r);
  st->pacer.rate = int(r);
  st->pacer.bufferFrames = int64_t(r) * kBufferMs / 1000;
  *state = st;
  return 1;
}

int AlsaWrite(void* state, const float* frames, int count) {
  auto* st = static_cast<AlsaState*>(state);
  const void* data = frames;
  const size_t samples = size_t(count) * size_t(st->channels);
  if (st->format == SND_PCM_FORMAT_S32_LE) {
    st->converted.resize(samples * 4);
    auto* out = reinterpret_cast<int32_t*>(st->converted.data());
    for (size_t i = 0; i < samples; ++i) out[i] = int32_t(std::clamp(double(frames[i]), -1.0, 1.0) * 2147483647.0);
    data = out;
  } else if (st->format == SND_PCM_FORMAT_S16_LE) {
    st->converted.resize(samples * 2);
    auto* out = reinterpret_cast<int16_t*>(st->converted.data());
    for (size_t i = 0; i < samples; ++i) out[i] = int16_t(std::clamp(frames[i], -1.0f, 1.0f) * 32767.0f);
    data = out;
  }
  const size_t frameBytes = samples / size_t(count) * size_t(snd_pcm_format_physical_width(st->format) / 8);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  snd_pcm_uframes_t left = snd_pcm_uframes_t(count);
  int retries = 0;
  while (left > 0) {
    const snd_pcm_sframes_t n = snd_pcm_writei(st->pcm, p, left);
    if (n < 0) {
      // Underruns (the mixer paused) and suspends are recovered; anything else is a
      // device failure.
      if (retries++ > 4 || snd_pcm_recover(st->pcm, int(n), 1) < 0) return 0;
      continue;
    }
    p += size_t(n) * frameBytes;
    left -= snd_pcm_uframes_t(n);
  }
  const int64_t ahead = st->pacer.Add(count);
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_delay(st->pcm, &delay) < 0) delay = 0;
  if (ahead > 2 * st->pacer.bufferFrames) {
    if (delay >= snd_pcm_sframes_t(st->period)) {
      // The device really holds the data: our clock drifted from the card's. Follow it.
      st->pacer.written -= ahead - st->pacer.bufferFrames;
    } else {
      // A plugin that swallows data at once (null, file): pace it ourselves.
      std::this_thread::sleep_for(st->pacer.SleepFor(ahead, 2 * st->pacer.bufferFrames));
    }
  }
  return 1;
}

int AlsaDelay(void* state) {
  auto* st = static_cast<AlsaState*>(state);
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_delay(st->pcm, &delay) < 0 || delay < 0) return 0;
  return int(delay);
}

void AlsaClose(void* state) {
  auto* st = static_cast<AlsaState*>(state);
  snd_pcm_drop(st->pcm);
  snd_pcm_close(st->pcm);
  delete st;
}

}  // namespace

const OutputDevice kAlsaOutput = {"alsa", AlsaOpen, AlsaWrite, AlsaDelay, AlsaClose, nullptr};

}  // namespace audiolib
