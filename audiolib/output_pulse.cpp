// The desktop's sound server through libpulse (PipeWire serves the same protocol). The
// stream carries the application's name, icon and the "music" role, so the desktop's
// mixer lists it with its own volume. A server that goes away fails the write, which
// the engine reports as a device failure; the player then reopens its output.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "internal.h"

namespace audiolib {

namespace {

constexpr const char* kApplicationName = "Corvale Player";
constexpr const char* kIconName = "corvale-player";
constexpr int kLatencyMs = 100;
// A server that accepts the connection but never answers does not hang the player.
constexpr int kConnectTimeoutMs = 3000;

struct PulseState {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  int rate = 48000;
  int channels = 2;
  bool timedOut = false;  // guarded by the main loop's lock
};

void Signal(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

void OnContextState(pa_context*, void* user) { Signal(static_cast<PulseState*>(user)->loop); }
void OnStreamState(pa_stream*, void* user) { Signal(static_cast<PulseState*>(user)->loop); }
void OnWritable(pa_stream*, size_t, void* user) { Signal(static_cast<PulseState*>(user)->loop); }

void OnTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
  auto* st = static_cast<PulseState*>(user);
  st->timedOut = true;
  Signal(st->loop);
}

// Everything torn down in the reverse order; safe on a half-opened state.
void Destroy(PulseState* st) {
  if (st->loop) pa_threaded_mainloop_lock(st->loop);
  if (st->stream) {
    pa_stream_set_state_callback(st->stream, nullptr, nullptr);
    pa_stream_set_write_callback(st->stream, nullptr, nullptr);
    pa_stream_disconnect(st->stream);
    pa_stream_unref(st->stream);
  }
  if (st->context) {
    pa_context_set_state_callback(st->context, nullptr, nullptr);
    pa_context_disconnect(st->context);
    pa_context_unref(st->context);
  }
  if (st->loop) {
    pa_threaded_mainloop_unlock(st->loop);
    pa_threaded_mainloop_stop(st->loop);
    pa_threaded_mainloop_free(st->loop);
  }
  delete st;
}

// Connects the context to server (nullptr: the user's default) and waits, with the
// loop locked, until it is ready, has failed or the time is up.
bool ConnectContext(PulseState* st, const char* server) {
  st->loop = pa_threaded_mainloop_new();
  if (!st->loop) return false;
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kApplicationName);
  pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, kIconName);
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, kIconName);
  st->context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(st->loop), kApplicationName, props);
  pa_proplist_free(props);
  if (!st->context) return false;
  pa_context_set_state_callback(st->context, OnContextState, st);
  pa_threaded_mainloop_lock(st->loop);
  bool ok = pa_context_connect(st->context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
            pa_threaded_mainloop_start(st->loop) >= 0;
  pa_time_event* timer = nullptr;
  if (ok) {
    timer = pa_context_rttime_new(st->context, pa_rtclock_now() + pa_usec_t(kConnectTimeoutMs) * PA_USEC_PER_MSEC,
                                  OnTimeout, st);
    for (;;) {
      const pa_context_state_t state = pa_context_get_state(st->context);
      if (state == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(state) || st->timedOut) {
        ok = false;
        break;
      }
      pa_threaded_mainloop_wait(st->loop);
    }
  }
  if (timer) pa_threaded_mainloop_get_api(st->loop)->time_free(timer);
  pa_threaded_mainloop_unlock(st->loop);
  return ok;
}

int PulseOpen(void** state, const char* server, int* rate, int channels) {
  auto* st = new PulseState();
  st->rate = *rate;
  st->channels = channels;
  if (!ConnectContext(st, server && *server ? server : nullptr)) {
    Destroy(st);
    return 0;
  }
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_FLOAT32LE;
  spec.rate = uint32_t(*rate);
  spec.channels = uint8_t(channels);
  pa_channel_map map;
  pa_channel_map_init_extend(&map, uint8_t(channels), PA_CHANNEL_MAP_DEFAULT);
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
  pa_proplist_sets(props, PA_PROP_MEDIA_NAME, kApplicationName);
  pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, kIconName);

  pa_threaded_mainloop_lock(st->loop);
  st->stream = pa_stream_new_with_proplist(st->context, kApplicationName, &spec, &map, props);
  pa_proplist_free(props);
  bool ok = st->stream != nullptr;
  if (ok) {
    pa_stream_set_state_callback(st->stream, OnStreamState, st);
    pa_stream_set_write_callback(st->stream, OnWritable, st);
    // The server keeps about kLatencyMs queued; the rest of its buffer is its own choice.
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.tlength = uint32_t(pa_usec_to_bytes(pa_usec_t(kLatencyMs) * PA_USEC_PER_MSEC, &spec));
    const auto flags =
        pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    ok = pa_stream_connect_playback(st->stream, nullptr, &attr, flags, nullptr, nullptr) >= 0;
    for (; ok;) {
      const pa_stream_state_t s = pa_stream_get_state(st->stream);
      if (s == PA_STREAM_READY) break;
      if (!PA_STREAM_IS_GOOD(s))
        ok = false;
      else
        pa_threaded_mainloop_wait(st->loop);
    }
  }
  pa_threaded_mainloop_unlock(st->loop);
  if (!ok) {
    Destroy(st);
    return 0;
  }
  *state = st;
  return 1;
}

bool Alive(const PulseState* st) {
  return PA_CONTEXT_IS_GOOD(pa_context_get_state(st->context)) && PA_STREAM_IS_GOOD(pa_stream_get_state(st->stream));
}

// Blocks until the server takes every frame: the server's clock paces the mixer.
int PulseWrite(void* state, const float* frames, int count) {
  auto* st = static_cast<PulseState*>(state);
  const auto* p = reinterpret_cast<const uint8_t*>(frames);
  size_t left = size_t(count) * size_t(st->channels) * sizeof(float);
  const size_t frameBytes = size_t(st->channels) * sizeof(float);
  pa_threaded_mainloop_lock(st->loop);
  while (left > 0) {
    if (!Alive(st)) break;
    size_t room = pa_stream_writable_size(st->stream);
    if (room == size_t(-1)) break;
    if (room < frameBytes) {
      pa_threaded_mainloop_wait(st->loop);
      continue;
    }
    room = std::min(left, room / frameBytes * frameBytes);
    if (pa_stream_write(st->stream, p, room, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
    p += room;
    left -= room;
  }
  const bool ok = left == 0;
  pa_threaded_mainloop_unlock(st->loop);
  return ok ? 1 : 0;
}

// What the server holds and has not yet played, in frames.
int PulseDelay(void* state) {
  auto* st = static_cast<PulseState*>(state);
  pa_usec_t usec = 0;
  int negative = 0;
  pa_threaded_mainloop_lock(st->loop);
  const bool ok = Alive(st) && pa_stream_get_latency(st->stream, &usec, &negative) == 0 && !negative;
  pa_threaded_mainloop_unlock(st->loop);
  return ok ? int(usec * pa_usec_t(st->rate) / PA_USEC_PER_SEC) : 0;
}

void PulseClose(void* state) { Destroy(static_cast<PulseState*>(state)); }

}  // namespace

const OutputDevice kPulseOutput = {"pulse", PulseOpen, PulseWrite, PulseDelay, PulseClose, nullptr};

bool PulseServerAnswers() {
  auto* st = new PulseState();
  const bool ok = ConnectContext(st, nullptr);
  Destroy(st);
  return ok;
}

}  // namespace audiolib
