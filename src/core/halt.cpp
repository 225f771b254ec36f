// Halting playback (at exit, at the end of the session and after a fatal error) and
// the exit's bounded wait for the workers.
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "core/core.h"
#include "playback/playback.h"
#include "runtime/runtime.h"
#include "ui/ui.h"

void HaltPlayback() {
  // Shut-down first: a worker that comes back from opening a stream after this point
  // frees it instead of storing and playing it. The handle is taken under the lock the
  // worker stores it under, so one of the two always sees the other.
  PlaybackShutdown();
  uint32_t handle = 0;
  {
    std::lock_guard<std::mutex> lock(gPlayer.streamLock);
    handle = gPlayer.streamHandle.exchange(0);
  }
  if (handle && gBass.BASS_ChannelIsActive && gBass.BASS_ChannelIsActive(handle)) {
    if (gBass.BASS_ChannelSlideAttribute) gBass.BASS_ChannelSlideAttribute(handle, BASS_ATTRIB_VOL, 0.0f, 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // A song the listener asked for is written as far as it came; the exit waits for it.
  SongCaptureEnd(1);
  // The workers are asked to stop instead of being suspended: they check the request
  // between their steps and their network calls end by time-out, so none is left
  // frozen holding "connecting" or half-written shared records.
  RequestThreadStop(gPlayer.workerThread.load());
  RequestThreadStop(gApp.versionCheckThread.load());
  RequestThreadStop(gApp.toolThread.load());
  RequestThreadStop(gApp.streamInfoThread.load());
  RequestThreadStop(ArtworkWorkerThread());
}

int WaitForWorkers(int waitMs) {
  std::vector<int> threads = {gPlayer.workerThread.load(), gApp.versionCheckThread.load(), gApp.streamInfoThread.load(),
                              ArtworkWorkerThread(), gApp.toolThread.load(), SongWriterThread()};
  std::vector<int> boxes = OpenBoxThreads();
  threads.insert(threads.end(), boxes.begin(), boxes.end());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  int allEnded = 1;
  for (int t : threads) {
    if (!t) continue;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    if (!WaitThread(t, ms)) allEnded = 0;
  }
  return allEnded;
}
