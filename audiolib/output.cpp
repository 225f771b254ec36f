// Output devices behind one small table: ALSA, a null device and a file writer (raw
// float or WAV). The null and file devices take data as fast as it comes, so they pace
// themselves to real time; so does ALSA when a plugin consumes faster than real time.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "pacer.h"

namespace audiolib {

namespace {

constexpr int kBufferMs = 160;  // what a device holds ahead of what is heard

// --- null and file ------------------------------------------------------------------
struct FileState {
  Pacer pacer;
  int channels = 2;
  int fd = -1;
  bool wav = false;
  uint64_t dataBytes = 0;
};

void PutLe(uint8_t* p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = uint8_t(v >> (8 * i));
}

void WavHeader(uint8_t* h, int rate, int channels, uint64_t dataBytes) {
  const uint32_t data = dataBytes > 0xFFFFFF00u ? 0xFFFFFF00u : uint32_t(dataBytes);
  std::memcpy(h, "RIFF", 4);
  PutLe(h + 4, 36 + data, 4);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  PutLe(h + 16, 16, 4);
  PutLe(h + 20, 3, 2);  // IEEE float
  PutLe(h + 22, uint32_t(channels), 2);
  PutLe(h + 24, uint32_t(rate), 4);
  PutLe(h + 28, uint32_t(rate * channels * 4), 4);
  PutLe(h + 32, uint32_t(channels * 4), 2);
  PutLe(h + 34, 32, 2);
  std::memcpy(h + 36, "data", 4);
  PutLe(h + 40, data, 4);
}

bool WriteAll(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
  }
  return true;
}

int PacedOpen(void** state, const char* path, int* rate, int channels) {
  auto* st = new FileState();
  st->pacer.rate = *rate;
  st->pacer.bufferFrames = int64_t(*rate) * kBufferMs / 1000;
  st->channels = channels;
  if (path) {
    st->fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (st->fd < 0) {
      delete st;
      return 0;
    }
    const size_t len = std::strlen(path);
    st->wav = len >= 4 && strcasecmp(path + len - 4, ".wav") == 0;
    if (st->wav) {
      uint8_t h[44];
      WavHeader(h, *rate, channels, 0);
      if (!WriteAll(st->fd, h, sizeof h)) {
        ::close(st->fd);
        delete st;
        return 0;
      }
    }
  }
  *state = st;
  return 1;
}

int NullOpen(void** state, const char*, int* rate, int channels) { return PacedOpen(state, nullptr, rate, channels); }

int FileOpen(void** state, const char* path, int* rate, int channels) {
  if (!path || !*path) return 0;
  return PacedOpen(state, path, rate, channels);
}

int PacedWrite(void* state, const float* frames, int count) {
  auto* st = static_cast<FileState*>(state);
  if (st->fd >= 0) {
    const size_t bytes = size_t(count) * size_t(st->channels) * sizeof(float);
    if (!WriteAll(st->fd, frames, bytes)) return 0;
    st->dataBytes += bytes;
  }
  const int64_t ahead = st->pacer.Add(count);
  std::this_thread::sleep_for(st->pacer.SleepFor(ahead, st->pacer.bufferFrames));
  return 1;
}

int PacedDelay(void* state) { return static_cast<FileState*>(state)->pacer.Delay(); }

void PacedClose(void* state) {
  auto* st = static_cast<FileState*>(state);
  if (st->fd >= 0) {
    if (st->wav) {
      uint8_t h[44];
      WavHeader(h, st->pacer.rate, st->channels, st->dataBytes);
      (void)!::pwrite(st->fd, h, sizeof h, 0);
    }
    ::close(st->fd);
  }
  delete st;
}

// --- ALSA ---------------------------------------------------------------------------
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

const OutputDevice kAlsa = {"alsa", AlsaOpen, AlsaWrite, AlsaDelay, AlsaClose};
const OutputDevice kNull = {"null", NullOpen, PacedWrite, PacedDelay, PacedClose};
const OutputDevice kFile = {"file", FileOpen, PacedWrite, PacedDelay, PacedClose};

}  // namespace

// "alsa", "alsa:<pcm name>", "pulse", "pulse:<server>", "null", "file:<path>" (".wav"
// for a WAV file, else raw interleaved float); "auto" is the sound server when one
// answers, else ALSA.
const OutputDevice* FindOutputDevice(const std::string& spec, std::string* argument) {
  const size_t colon = spec.find(':');
  const std::string kind = spec.substr(0, colon);
  *argument = colon == std::string::npos ? std::string() : spec.substr(colon + 1);
  if (kind == "alsa") return &kAlsa;
  if (kind == "pulse") return &kPulseOutput;
  if (kind == "auto") return PulseServerAnswers() ? &kPulseOutput : &kAlsa;
  if (kind == "null") return &kNull;
  if (kind == "file") return &kFile;
  return nullptr;
}

}  // namespace audiolib
