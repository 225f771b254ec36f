// The engine: one mixing thread that pulls decoded frames from every playing stream,
// runs their DSPs, keeps their level history, applies their volume and writes the sum
// to the device (which blocks or paces it, so the thread sleeps on the device), and one
// sync thread that runs the callbacks that must not run on the mixer.
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace audiolib {

namespace {

constexpr int kChunkMs = 40;

// Mixes one chunk of a stream into mix. Returns 1 when the stream has ended.
// A stream that ran dry resumes only when it has something to play from again: the
// decoded buffer nearly full and half the download buffer (or the end of the download).
// Resuming on every packet that trickles in would chop the sound into pieces.
bool ReadyToResume(const Stream& s) {
  if (s.pcm.Closed()) return true;
  if (s.pcm.Fill() < s.pcm.Capacity() * 9 / 10) return false;
  return !s.net || s.net->ring.Closed() || s.net->ring.Fill() >= s.net->ring.Capacity() / 2;
}

int MixStream(const StreamPtr& s, float* mix, std::vector<float>& buf, int frames, int chans) {
  const size_t want = size_t(frames) * size_t(chans);
  buf.resize(want);
  size_t got = 0;
  if (!s->stalled || !s->started || ReadyToResume(*s))
    got = s->pcm.Read(buf.data(), want * sizeof(float), false) / sizeof(float);
  const int gotFrames = int(got / size_t(chans));
  if (gotFrames == 0 && s->pcm.Drained()) return 1;
  s->stalled = gotFrames == 0;
  if (gotFrames > 0) s->started = true;
  if (got < want) std::fill(buf.begin() + long(gotFrames) * chans, buf.end(), 0.0f);

  std::vector<DspEntry> dsps;
  {
    std::lock_guard<std::mutex> g(s->lock);
    dsps = s->dsps;
  }
  // DSPs see the decoded float samples before the volume, in the source's channel
  // count (a mono source as mono, although it plays on both speakers).
  if (gotFrames > 0 && !dsps.empty()) {
    const bool mono = s->info.chans == 1 && chans == 2;
    float* data = buf.data();
    if (mono) {
      for (int f = 0; f < gotFrames; ++f) buf[size_t(f)] = buf[size_t(f) * 2];
    }
    const int dspChans = mono ? 1 : chans;
    for (const DspEntry& d : dsps) {
      if (s->freed) break;
      d.proc(d.handle, s->handle, data, DWORD(size_t(gotFrames) * size_t(dspChans) * sizeof(float)), d.user);
    }
    if (mono) {
      for (int f = gotFrames - 1; f >= 0; --f) buf[size_t(f) * 2] = buf[size_t(f) * 2 + 1] = buf[size_t(f)];
    }
  }

  float gainStart, gainStep;
  int slideFrames = 0;
  {
    std::lock_guard<std::mutex> g(s->lock);
    // The level history follows the mixer's time, silence included, so that levels
    // of a stalled stream fall to zero.
    const size_t ring = s->history.size() / size_t(chans);
    for (int f = 0; f < frames; ++f) {
      std::memcpy(&s->history[size_t((s->historyFrames + uint64_t(f)) % ring) * size_t(chans)],
                  &buf[size_t(f) * size_t(chans)], size_t(chans) * sizeof(float));
    }
    s->historyFrames += uint64_t(frames);

    if (s->sliding) {
      const uint64_t left = s->slideTotal - s->slideDone;
      slideFrames = int(std::min<uint64_t>(left, uint64_t(frames)));
      gainStep = (s->slideTo - s->slideFrom) / float(s->slideTotal);
      gainStart = s->slideFrom + gainStep * float(s->slideDone);
      s->slideDone += uint64_t(slideFrames);
      if (s->slideDone >= s->slideTotal) {
        s->sliding = false;
        s->volume = s->slideTo;
      }
    } else {
      gainStart = s->volume;
      gainStep = 0;
    }
  }
  const float after = gainStart + gainStep * float(slideFrames);
  for (int f = 0; f < gotFrames; ++f) {
    const float gain = f < slideFrames ? gainStart + gainStep * float(f) : (slideFrames ? after : gainStart);
    const float* in = &buf[size_t(f) * size_t(chans)];
    float* out = &mix[size_t(f) * size_t(chans)];
    for (int c = 0; c < chans; ++c) out[c] += in[c] * gain;
  }
  return 0;
}

void MixerThread() {
  Engine& e = gEngine;
  e.mixerId = std::this_thread::get_id();
  const int chans = e.channels;
  const int frames = e.rate * kChunkMs / 1000;
  std::vector<float> mix(size_t(frames) * size_t(chans));
  std::vector<float> buf;
  std::vector<StreamPtr> snapshot, ended;
  for (;;) {
    {
      std::unique_lock<std::mutex> g(e.mixLock);
      // Nothing to play: sleep until a stream starts (the device simply runs dry).
      e.mixCv.wait(g, [&] { return e.quit || !e.playing.empty(); });
      if (e.quit) break;
      snapshot = e.playing;
      e.mixerBusy = true;
    }
    std::fill(mix.begin(), mix.end(), 0.0f);
    ended.clear();
    for (const StreamPtr& s : snapshot) {
      if (s->freed) continue;
      if (MixStream(s, mix.data(), buf, frames, chans)) ended.push_back(s);
    }
    for (const StreamPtr& s : ended) {
      s->ended = true;
      s->stalled = false;
      FireSyncs(s, BASS_SYNC_END, 0);
    }
    {
      std::lock_guard<std::mutex> g(e.mixLock);
      for (const StreamPtr& s : ended) {
        e.playing.erase(std::remove(e.playing.begin(), e.playing.end(), s), e.playing.end());
        s->inMixer = false;
      }
      e.mixerBusy = false;
      e.mixCv.notify_all();
    }
    snapshot.clear();
    if (!e.device->write(e.deviceState, mix.data(), frames)) {
      // The device is gone: tell every playing stream and stop them. New streams fail
      // with the unknown error until the output is opened again.
      e.deviceFailed = true;
      std::vector<StreamPtr> victims;
      {
        std::lock_guard<std::mutex> g(e.mixLock);
        victims.swap(e.playing);
        e.mixerBusy = true;
      }
      for (const StreamPtr& s : victims) {
        s->inMixer = false;
        if (!s->freed) FireSyncs(s, BASS_SYNC_DEV_FAIL, 0);
      }
      {
        std::lock_guard<std::mutex> g(e.mixLock);
        e.mixerBusy = false;
        e.mixCv.notify_all();
      }
      std::unique_lock<std::mutex> g(e.mixLock);
      e.mixCv.wait(g, [&] { return e.quit; });
      break;
    }
    e.delayFrames = e.device->delay(e.deviceState);
  }
  if (e.device->finish) e.device->finish(e.deviceState);
  e.mixerId = std::thread::id();
}

void SyncThread() {
  Engine& e = gEngine;
  e.syncId = std::this_thread::get_id();
  std::unique_lock<std::mutex> g(e.syncLock);
  for (;;) {
    e.syncCv.wait(g, [&] { return e.syncQuit || !e.syncQueue.empty(); });
    if (e.syncQuit) break;
    Engine::PendingSync p = std::move(e.syncQueue.front());
    e.syncQueue.erase(e.syncQueue.begin());
    g.unlock();
    SYNCPROC* proc = nullptr;
    void* user = nullptr;
    {
      std::lock_guard<std::mutex> sl(p.stream->lock);
      auto& syncs = p.stream->syncs;
      auto it = std::find_if(syncs.begin(), syncs.end(), [&](const SyncEntry& x) { return x.handle == p.handle; });
      if (it != syncs.end()) {
        proc = it->proc;
        user = it->user;
        if (it->spent) syncs.erase(it);
      }
    }
    g.lock();
    // Checked under syncLock together with syncCurrent, so that a stream being freed
    // either sees this call running and waits, or this call sees it freed.
    if (!proc || p.stream->freed) continue;
    e.syncCurrent = p.stream.get();
    g.unlock();
    proc(p.handle, p.stream->handle, p.data, user);
    g.lock();
    e.syncCurrent = nullptr;
    e.syncCv.notify_all();
    g.unlock();
    p.stream.reset();
    g.lock();
  }
  e.syncQueue.clear();
  e.syncId = std::thread::id();
}

}  // namespace

int StartEngine(int rate, const OutputDevice* device, const std::string& argument) {
  Engine& e = gEngine;
  const int channels = 2;
  void* state = nullptr;
  if (!device->open(&state, argument.c_str(), &rate, channels)) return 0;
  e.device = device;
  e.deviceState = state;
  e.rate = rate;
  e.channels = channels;
  e.delayFrames = 0;
  e.deviceFailed = false;
  {
    // A stream still being torn down after the last BASS_Free may be looking at these.
    std::lock_guard<std::mutex> g(e.mixLock);
    e.quit = false;
    e.mixerBusy = false;
    e.playing.clear();
  }
  {
    std::lock_guard<std::mutex> g(e.syncLock);
    e.syncQuit = false;
    e.syncCurrent = nullptr;
  }
  e.mixer = std::thread(MixerThread);
  e.syncThread = std::thread(SyncThread);
  return 1;
}

void StopEngine() {
  Engine& e = gEngine;
  {
    std::lock_guard<std::mutex> g(e.mixLock);
    e.quit = true;
    e.mixCv.notify_all();
  }
  if (e.mixer.joinable()) e.mixer.join();
  {
    std::lock_guard<std::mutex> g(e.syncLock);
    e.syncQuit = true;
    e.syncCv.notify_all();
  }
  if (e.syncThread.joinable()) e.syncThread.join();
  {
    std::lock_guard<std::mutex> g(e.mixLock);
    e.playing.clear();
  }
  if (e.device) e.device->close(e.deviceState);
  e.device = nullptr;
  e.deviceState = nullptr;
  e.deviceFailed = false;
}

void DetachFromEngine(const StreamPtr& s) {
  Engine& e = gEngine;
  const auto self = std::this_thread::get_id();
  {
    std::unique_lock<std::mutex> g(e.mixLock);
    e.playing.erase(std::remove(e.playing.begin(), e.playing.end(), s), e.playing.end());
    s->inMixer = false;
    if (self != e.mixerId.load()) e.mixCv.wait(g, [&] { return !e.mixerBusy; });
  }
  {
    std::unique_lock<std::mutex> g(e.syncLock);
    e.syncQueue.erase(std::remove_if(e.syncQueue.begin(), e.syncQueue.end(),
                                     [&](const Engine::PendingSync& p) { return p.stream == s; }),
                      e.syncQueue.end());
    if (self != e.syncId.load()) e.syncCv.wait(g, [&] { return e.syncCurrent != s.get(); });
  }
}

int EnginePlay(const StreamPtr& s) {
  Engine& e = gEngine;
  std::lock_guard<std::mutex> g(e.mixLock);
  if (!e.inited || e.quit || s->freed) return 0;
  if (std::find(e.playing.begin(), e.playing.end(), s) == e.playing.end()) e.playing.push_back(s);
  s->inMixer = true;
  e.mixCv.notify_all();
  return 1;
}

void EngineStop(const StreamPtr& s) {
  Engine& e = gEngine;
  std::lock_guard<std::mutex> g(e.mixLock);
  e.playing.erase(std::remove(e.playing.begin(), e.playing.end(), s), e.playing.end());
  s->inMixer = false;
}

}  // namespace audiolib
