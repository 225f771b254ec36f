// Streaming and playback: the audio library binding, playlists, stream information,
// the connection and playback worker, stream format and metadata, volume and loudness.
// This header is the whole surface of the subsystem for the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "playback/bass_api.h"

// The playback record shared by the main thread, the workers and the audio library's
// callback threads. Word-sized fields are atomic; strings are read and written
// through the accessors under stringLock.
struct PlayerState {
  // Written by SetAudioOutput (main thread at start-up, playback worker later).
  std::atomic<int64_t> audioReady{0};
  // Written by the playback worker and the exit path.
  std::atomic<uint32_t> streamHandle{0};
  std::atomic<uint32_t> metaSync{0}, endSync{0}, deviceFailSync{0}, levelDspHandle{0};
  std::atomic<int64_t> connecting{0};
  std::atomic<int> workerThread{0};
  std::atomic<int64_t> startTime{0}, connectTime{0};
  std::atomic<int64_t> connectCount{0};
  std::atomic<int64_t> streamNumber{0};
  // Volume target, 0.0 to 1.0.
  std::atomic<float> volume{1.0f};
  // Requests to the measuring DSP; cleared by it.
  std::atomic<int64_t> measureReset{0}, longPeakReset{0};

  // Strings shared across threads: copy in and out under this lock.
  mutable std::mutex stringLock;
  std::string customUrl;  // written once at start-up
};

extern PlayerState gPlayer;
