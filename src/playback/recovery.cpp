// Playback through sleep and network outages: the stream stops before the system sleeps
// and comes back at once after it; an outage holds the worker instead of walking the
// stream list; and when every stream has failed, the rounds space out.
#include <chrono>
#include <mutex>

#include "base/base.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

int RoundWaitSeconds(int64_t failStreak, size_t streams) {
  if (streams == 0 || failStreak <= 0 || failStreak % int64_t(streams) != 0) return 0;
  const int64_t rounds = failStreak / int64_t(streams);
  // 2^rounds passes the limit long before it could overflow.
  if (rounds >= 6) return kRoundWaitLimitSeconds;
  const int seconds = 1 << rounds;
  return seconds < kRoundWaitLimitSeconds ? seconds : kRoundWaitLimitSeconds;
}

int PlaybackWaitWake(int ms) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
  std::unique_lock<std::mutex> lock(gPlayer.waitLock);
  const uint64_t serial = gPlayer.wakeSerial.load();
  for (;;) {
    if (gPlayer.shutdown.load() != 0 || ThreadStopRequested()) return 0;
    if (gPlayer.wakeSerial.load() != serial) return 2;
    auto now = Clock::now();
    if (now >= end) return 1;
    // Slices, as in PlaybackWait: the runtime's teardown does not know this wait.
    auto slice = std::min<Clock::duration>(end - now, std::chrono::milliseconds(100));
    gPlayer.waitSignal.wait_for(lock, slice);
  }
}

void WakePlayback() {
  {
    std::lock_guard<std::mutex> lock(gPlayer.waitLock);
    gPlayer.wakeSerial.fetch_add(1);
  }
  gPlayer.waitSignal.notify_all();
}

namespace {

// The request is in place before any wait ends: a woken worker that reaches its attempt
// settles it, instead of leaving it owed for a second reconnect behind its own.
void RequestReconnect(WorkerStart start) {
  gPlayer.reconnectRequest = int(start);
  WakePlayback();
  ServiceReconnectRequest();
}

// What is buffered of a stream that outlived the sleep is from before it: silenced at
// once and freed, never faded out for the listener to hear.
void DropStreamUnheard() {
  HSTREAM h = gPlayer.streamHandle.load();
  if (h == 0) return;
  gBass.BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.0f);
  gBass.BASS_ChannelStop(h);
  StopStream();
}

}  // namespace

void SuspendPlayback() {
  if (gPlayer.asleep.exchange(1) != 0) return;
  Log("Going to sleep, stopping the stream.");
  gPlayer.reconnectRequest = -1;
  // A worker waiting for a round or for the network ends without connecting.
  WakePlayback();
  StopStream();
}

void ResumePlayback() {
  gPlayer.asleep = 0;
  Log("Resumed from sleep, reconnecting.");
  DropStreamUnheard();
  RequestReconnect(WorkerStart::kReconnectAtOnce);
}

void NetworkChanged(int state) {
  const int old = gPlayer.networkState.exchange(state);
  if (old == state) return;
  if (state == kNetworkDown) {
    Log("The network is down.");
    return;
  }
  if (state != kNetworkUp) return;
  Log("The network is up.");
  // Only a return counts: the first news at start-up changes nothing.
  if (old != kNetworkDown) return;
  // The old connection went with the network (a new address, another access point).
  if (gPlayer.asleep.load() == 0)
    RequestReconnect(WorkerStart::kReconnectAtOnce);
  else
    WakePlayback();
}

int ServiceReconnectRequest() {
  const int owed = gPlayer.reconnectRequest.load();
  if (owed < 0 || gPlayer.asleep.load() != 0 || gPlayer.connecting.load() != 0) return 0;
  const int previous = gPlayer.workerThread.load();
  if (previous != 0 && IsThread(previous)) return 0;
  // StartPlaybackWorker takes the owed request itself.
  StartPlaybackWorker(WorkerStart(owed));
  return gPlayer.reconnectRequest.load() < 0 ? 1 : 0;
}

int PlaybackReconnecting() {
  if (gPlayer.waiting.load() != 0) return 1;
  return gPlayer.networkState.load() == kNetworkDown && gPlayer.streamHandle.load() == 0 ? 1 : 0;
}
