// The connection and playback worker: one connection attempt per run. Reconnecting and
// moving on to the next stream happen by starting the worker again, from the library's
// end and device-failure syncs, the reconnect watchdog, start-up and the preferences.
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include "base/base.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

namespace {

constexpr size_t kMaxMetaBytes = 1 << 16;  // an ICY block holds at most 4080

// Serialises the starters (main thread and the library's sync thread) so that the test
// of `connecting` and of the previous worker and the start are one step.
std::mutex gStartLock;

// Whether the response announced ICY metadata: an "icy-metaint" the audio library takes
// (1 to 1 MiB; the last such header counts).
int HasIcyMetadata(HSTREAM h) {
  int found = 0;
  for (DWORD tag : {DWORD(BASS_TAG_ICY), DWORD(BASS_TAG_HTTP)}) {
    const char* list = gBass.BASS_ChannelGetTags(h, tag);
    for (size_t at = 0, guard = 0; list && list[at] && guard < 256; ++guard) {
      const std::string_view line(list + at, strnlen(list + at, kMaxMetaBytes));
      if (StartsWithNoCase(line, "icy-metaint:")) {
        const std::string value = TrimBlanks(line.substr(12));
        const int64_t n = LeadingInteger(value);
        found = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos && n >= 1 &&
                n <= (int64_t(1) << 20);
      }
      at += line.size() + 1;
    }
    if (list) break;
  }
  return found;
}

void PostToMain(int event) {
  if (IsWindow(WinMain)) PostEvent(event, WinMain, 0);
}

// Ends an attempt: the flag goes down before the taskbar hears of it.
void EndAttempt() {
  gPlayer.connecting = 0;
  PostToMain(EventTaskbarState);
}

// The tray and the media controls say "Reconnecting" while the worker waits.
void SetWaiting(int value) {
  if (gPlayer.waiting.exchange(value) != value) PostToMain(EventReconnectState);
}

// Holds the attempt until the network is back; 0 when the player stops or sleeps meanwhile.
int WaitForNetwork() {
  Log("Waiting for the network.");
  SetWaiting(1);
  int result = 1;
  while (result != 0 && gPlayer.networkState.load() == kNetworkDown && gPlayer.asleep.load() == 0)
    result = PlaybackWaitWake(5000);
  SetWaiting(0);
  return result != 0 && gPlayer.asleep.load() == 0;
}

// A failed attempt counts against its stream unless the system sleeps or the network is
// gone: then the list position goes back, so the outage does not walk the list.
void CountFailure(size_t before, size_t listSize, bool advanced) {
  const bool asleep = gPlayer.asleep.load() != 0;
  if (asleep || gPlayer.networkState.load() == kNetworkDown) {
    Log(asleep ? "Not counted: the system sleeps." : "Not counted: the network is down.");
    if (advanced) {
      std::lock_guard<std::mutex> lock(gStreamList.lock);
      if (gStreamList.entries.size() == listSize) gStreamList.current = before;
    }
    return;
  }
  gPlayer.failStreak.fetch_add(1);
}

// The thread procedure takes an int.
void RunPlaybackWorker(int start) { PlaybackWorker(WorkerStart(start)); }

}  // namespace

int64_t RoundKiloHertz(int64_t sampleRate) {
  // Exact ties to even on the integer rate, so 22500 Hz gives 22 and 23500 Hz gives 24.
  int64_t q = sampleRate / 1000, r = sampleRate % 1000;
  if (r < 0) {
    q -= 1;
    r += 1000;
  }
  if (r > 500 || (r == 500 && (q & 1))) ++q;
  return q;
}

void StartPlaybackWorker(WorkerStart start) {
  std::lock_guard<std::mutex> lock(gStartLock);
  if (gPlayer.shutdown.load()) return;
  if (gPlayer.connecting.load()) return;
  // A previous worker that has cleared `connecting` may still be in its last wait or
  // about to end. Nothing is started and nothing is left set: the next watchdog tick
  // tries again once it has ended, so there is never a second worker and never a
  // `connecting` that no worker will clear.
  int previous = gPlayer.workerThread.load();
  if (previous != 0 && IsThread(previous)) return;
  // A reconnect owed since a resume or the network's return goes first: the watchdog's
  // tick must not turn it into a walk to the next stream.
  const int owed = gPlayer.reconnectRequest.exchange(-1);
  if (owed >= 0) start = WorkerStart(owed);
  gPlayer.connecting = 1;
  int thread = CreateThread(RunPlaybackWorker, int(start));
  if (thread == 0) {
    gPlayer.connecting = 0;
    return;
  }
  gPlayer.workerThread = thread;
}

void StopStream() {
  HSTREAM h = gPlayer.streamHandle.load();
  if (h == 0) return;
  // Titles announced but not yet reached still happened: they go to the history.
  FlushTitleChanges();
  for (std::atomic<uint32_t>* sync : {&gPlayer.metaSync, &gPlayer.endSync, &gPlayer.deviceFailSync}) {
    HSYNC s = sync->exchange(0);
    if (s != 0) gBass.BASS_ChannelRemoveSync(h, s);
  }
  gBass.BASS_ChannelSlideAttribute(h, BASS_ATTRIB_VOL, 0.0f, 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (gBass.BASS_ChannelIsActive(h) != BASS_ACTIVE_STOPPED) gBass.BASS_ChannelStop(h);
  std::lock_guard<std::mutex> lock(gPlayer.streamLock);
  // Only free it when nobody (the exit path) has taken the handle meanwhile.
  uint32_t expected = h;
  if (gPlayer.streamHandle.compare_exchange_strong(expected, 0)) {
    gBass.BASS_StreamFree(h);
    // No more bytes come: a title asked for ends at the break.
    SongCaptureEnd();
  }
}

void PlaybackWorker(WorkerStart start) {
  PostToMain(EventTaskbarState);
  StopStream();
  // Asleep: nothing connects until the resume asks for the stream again.
  if (gPlayer.asleep.load() != 0) {
    EndAttempt();
    return;
  }
  // A reconnect after a resume or the network's return connects the current stream with
  // no pause; so does the attempt that waited for the network, which must not walk on.
  bool atOnce = start == WorkerStart::kReconnectAtOnce;
  if (gPlayer.networkState.load() == kNetworkDown) {
    if (!WaitForNetwork()) {
      EndAttempt();
      return;
    }
    atOnce = true;
  }
  if (atOnce) start = WorkerStart::kReconnectCurrent;

  StreamEntry entry;
  size_t position = 0, before = 0, listSize = 0;
  bool empty = false, sameEntry = false;
  {
    std::lock_guard<std::mutex> lock(gStreamList.lock);
    size_t n = gStreamList.entries.size();
    if (n == 0) {
      empty = true;
    } else {
      if (gStreamList.current >= n) gStreamList.current = 0;
      before = gStreamList.current;
      listSize = n;
      if (start == WorkerStart::kAdvanceToNext) {
        gStreamList.current = (before + 1) % n;
        sameEntry = gStreamList.current == before;
      }
      position = gStreamList.current;
      entry = gStreamList.entries[position];
    }
  }
  if (empty) {
    gPlayer.connecting = 0;
    if (IsWindow(WinMain)) {
      PlaybackWait(10000);
      PostToMain(EventTaskbarState);
    }
    return;
  }
  // A one-stream station is not hammered: each new attempt waits 10 s.
  if (!atOnce && sameEntry && PlaybackWaitWake(10000) == 0) {
    EndAttempt();
    return;
  }
  // When every stream of the list has failed in a row, the rounds space out; a resume
  // or the network's return ends the wait at once. Only a walk begins a round: a start
  // on the current stream (start-up, resume) goes at once.
  const int roundWait =
      atOnce || start != WorkerStart::kAdvanceToNext ? 0 : RoundWaitSeconds(gPlayer.failStreak.load(), listSize);
  if (roundWait > 0) {
    Log("Waiting " + std::to_string(roundWait) + " s before the next round.");
    SetWaiting(1);
    const int waited = PlaybackWaitWake(roundWait * 1000);
    SetWaiting(0);
    if (waited == 0 || gPlayer.asleep.load() != 0) {
      EndAttempt();
      return;
    }
  }

  // This attempt is the reconnect anyone was still owed.
  gPlayer.reconnectRequest = -1;
  if (Logging()) Log("Connecting to \"" + entry.id + "\" " + entry.url);
  SetPlayerString(&PlayerState::connectId, entry.id);
  SetPlayerString(&PlayerState::connectUrl, entry.url);
  gPlayer.connectTime = DateNow();
  gPlayer.connectCount.fetch_add(1);
  gPlayer.streamNumber = int64_t(position) + 1;

  // The download's bytes go to the song capture as they arrive; this connection's number
  // tells them from a late call of the stream before.
  const uint64_t capture = SongCaptureBegin();
  HSTREAM h = gBass.BASS_StreamCreateURL(entry.url.c_str(), 0, kStreamConnectFlags, SongCaptureDownload,
                                         reinterpret_cast<void*>(uintptr_t(capture)));
  {
    // Playback may have been halted while the server answered: the new stream is
    // freed, never stored or played. HaltPlayback takes the handle under this lock.
    std::lock_guard<std::mutex> lock(gPlayer.streamLock);
    // The same for a sleep that began meanwhile: the resume connects anew.
    if (h != 0 && (gPlayer.shutdown.load() || gPlayer.asleep.load())) {
      gBass.BASS_StreamFree(h);
      EndAttempt();
      return;
    }
    gPlayer.streamHandle = h;
  }
  if (h != 0) {
    gPlayer.metaSync = gBass.BASS_ChannelSetSync(h, BASS_SYNC_META | BASS_SYNC_MIXTIME, 0, StreamSyncCallback, nullptr);
    gPlayer.endSync = gBass.BASS_ChannelSetSync(h, BASS_SYNC_END | BASS_SYNC_ONETIME, 0, StreamSyncCallback, nullptr);
    gBass.BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.0f);
    gBass.BASS_ChannelSetDSP(h, LevelDsp, nullptr, 0);
    BASS_CHANNELINFO info{};
    if (gBass.BASS_ChannelGetInfo && gBass.BASS_ChannelGetInfo(h, &info))
      SongCaptureConnected(info.ctype, HasIcyMetadata(h));
    // The stream's first title may have come with the connect, before the sync existed.
    if (const char* meta = gBass.BASS_ChannelGetTags(h, BASS_TAG_META)) {
      const std::string text(meta, strnlen(meta, kMaxMetaBytes));
      SongCaptureTitle(text, 1);
      QueueTitleChange(text, 0);
    }
  } else {
    int err = gBass.BASS_ErrorGetCode();
    // An output that could not be reopened last time (the sound server was still away)
    // is tried again too, or the player would stay silent for good.
    if (err == -1 || (err == BASS_ERROR_INIT && gPlayer.audioReady.load() == 0)) {
      // The output itself failed: close it, give the device a second, open it again.
      SetAudioOutput(0);
      PlaybackWait(1000);
      if (!SetAudioOutput(1)) err = gBass.BASS_ErrorGetCode();
    }
    if (err == BASS_ERROR_FILEFORM) Log("Stream file format error.");
    if (err != 0 && Logging()) Log("Unable to connect, " + AudioErrorText(err));
    CountFailure(before, listSize, start == WorkerStart::kAdvanceToNext);
    PlaybackWait(1000);
    EndAttempt();
    return;
  }

  gSettings.bitrate = entry.bitrate;
  gSettings.SetCodec(entry.codec);
  gPlayer.streamNumber = int64_t(position) + 1;
  ReadStreamFormat();
  if (Logging())
    Log("Connected, " + std::to_string(gPlayer.channels.load()) + " Ch, " +
        std::to_string(RoundKiloHertz(gPlayer.sampleRate.load())) + " KHz " + PlayerString(&PlayerState::codecName) +
        ".");
  PostToMain(EventNowPlaying);
  // A halt since the store has taken the stream (to fade it and leave it to the exit):
  // it is not started, and the worker ends like the others. The test and the start are
  // one step under the lock the halt takes the stream under.
  bool halted = false, played = false;
  {
    std::lock_guard<std::mutex> lock(gPlayer.streamLock);
    halted = gPlayer.shutdown.load() != 0 || ThreadStopRequested() || gPlayer.streamHandle.load() != h;
    if (!halted) played = gBass.BASS_ChannelPlay(h, FALSE) != 0;
  }
  if (halted) {
    EndAttempt();
    return;
  }
  if (played) {
    Log("Playing.");
    gPlayer.failStreak = 0;
    SetVolume(gPlayer.volume.load(), 100);
  } else {
    Log("Unable to start playback, stopping stream.");
    StopStream();
    CountFailure(before, listSize, start == WorkerStart::kAdvanceToNext);
  }
  HSTREAM now = gPlayer.streamHandle.load();
  if (now != 0)
    gPlayer.deviceFailSync =
        gBass.BASS_ChannelSetSync(now, BASS_SYNC_DEV_FAIL | BASS_SYNC_ONETIME, 0, StreamSyncCallback, nullptr);
  EndAttempt();
}

void StreamSyncCallback(HSYNC handle, DWORD channel, DWORD data, void* user) {
  if (handle == 0) return;
  if (handle == gPlayer.metaSync.load()) {
    // The sync comes as the metadata is downloaded; the title it names starts when the
    // audio buffered before it has played through the DSP (which then posts the event).
    // The text is taken now: a later title may replace it before this one is heard.
    const char* meta = gBass.BASS_ChannelGetTags ? gBass.BASS_ChannelGetTags(channel, BASS_TAG_META) : nullptr;
    const std::string text = meta ? std::string(meta, strnlen(meta, kMaxMetaBytes)) : std::string();
    // On the download thread, right after the bytes before the metadata block: the new
    // title's bytes start here.
    SongCaptureTitle(text, 0);
    QueueTitleChange(text, BufferedSamplesAhead());
  } else if (handle == gPlayer.endSync.load() || handle == gPlayer.deviceFailSync.load()) {
    StartPlaybackWorker(WorkerStart::kAdvanceToNext);
  }
}

void MeasureSamples(const float* samples, size_t count) {
  MeasureLevels(samples, count);
  AdvanceTitleQueue(count);
}

void MeasureLevels(const float* samples, size_t count) {
  if (gPlayer.measureReset.exchange(0) != 0) {
    gPlayer.titlePeak = 0.0;
    gPlayer.sumSquares = 0.0;
    gPlayer.sampleCount = 0;
    gPlayer.loudnessRestart = 1;
  }
  if (gPlayer.longPeakReset.exchange(0) != 0) gPlayer.longPeak = 0.0;
  // One writer (the mixing thread): work on copies, store once per buffer.
  double longPeak = gPlayer.longPeak.load(std::memory_order_relaxed);
  double titlePeak = gPlayer.titlePeak.load(std::memory_order_relaxed);
  double sumSquares = gPlayer.sumSquares.load(std::memory_order_relaxed);
  int64_t sampleCount = gPlayer.sampleCount.load(std::memory_order_relaxed);
  for (size_t i = 0; i < count; ++i) {
    float s = samples[i];
    // Digital silence does not lower the measured level; a NaN or infinite sample
    // would poison the title's whole measurement.
    if (s == 0.0f || !std::isfinite(s)) continue;
    float a = std::fabs(s);
    if (a > longPeak) longPeak = a;
    sumSquares += double(a) * double(a);
    ++sampleCount;
    if (a > titlePeak) titlePeak = a;
  }
  gPlayer.longPeak.store(longPeak, std::memory_order_relaxed);
  gPlayer.titlePeak.store(titlePeak, std::memory_order_relaxed);
  gPlayer.sumSquares.store(sumSquares, std::memory_order_relaxed);
  gPlayer.sampleCount.store(sampleCount, std::memory_order_relaxed);
}

void AdvanceTitleQueue(size_t count) {
  // Titles announced ahead of their audio: tell the main thread once the audio is here.
  int reached = 0;
  {
    std::lock_guard<std::mutex> lock(gTitleQueue.lock);
    gTitleQueue.measured += int64_t(count);
    while (!gTitleQueue.waiting.empty() && gTitleQueue.waiting.front().at <= gTitleQueue.measured) {
      gTitleQueue.due.push_back(std::move(gTitleQueue.waiting.front().meta));
      gTitleQueue.waiting.pop_front();
      ++reached;
    }
  }
  for (int i = 0; i < reached; ++i) PostEvent(EventStreamMeta, WinMain, 0);
}

void QueueTitleChange(const std::string& meta, int64_t ahead) {
  {
    std::lock_guard<std::mutex> lock(gTitleQueue.lock);
    if (ahead > 0) {
      gTitleQueue.waiting.push_back({gTitleQueue.measured + ahead, meta});
      return;
    }
    // Not before the ones still waiting: the order of the titles is kept.
    for (auto& w : gTitleQueue.waiting) gTitleQueue.due.push_back(std::move(w.meta));
    const size_t posts = gTitleQueue.waiting.size() + 1;
    gTitleQueue.waiting.clear();
    gTitleQueue.due.push_back(meta);
    for (size_t i = 0; i < posts; ++i) PostEvent(EventStreamMeta, WinMain, 0);
  }
}

void FlushTitleChanges() {
  size_t posts;
  {
    std::lock_guard<std::mutex> lock(gTitleQueue.lock);
    posts = gTitleQueue.waiting.size();
    for (auto& w : gTitleQueue.waiting) gTitleQueue.due.push_back(std::move(w.meta));
    gTitleQueue.waiting.clear();
    gTitleQueue.measured = 0;
  }
  for (size_t i = 0; i < posts; ++i) PostEvent(EventStreamMeta, WinMain, 0);
}

void LevelDsp(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user) {
  if (!buffer) return;
  const float* samples = static_cast<const float*>(buffer);
  const size_t count = length / sizeof(float);
  MeasureLevels(samples, count);
  double rate;
  int64_t channels;
  DspFormat(channel, &rate, &channels);
  MeasureLoudness(samples, count, rate, channels);
  gPlayer.heardSeconds.store(gPlayer.heardSeconds.load() + double(count) / (rate * double(channels)));
  // Last, so that a title change the main thread handles finds all of its measurement.
  AdvanceTitleQueue(count);
}

uint32_t WatchdogActivity(uint32_t handle, uint32_t active, int64_t nowMs) {
  static std::mutex lock;
  static uint32_t seenHandle = 0;
  static bool seenStalled = false;
  static int64_t lastTickMs = 0, lastStallMs = 0, stalledMs = 0;
  std::lock_guard<std::mutex> guard(lock);
  const bool stalled = active == BASS_ACTIVE_STALLED && handle != 0;
  if (handle != seenHandle) {
    seenHandle = handle;
    seenStalled = false;
    lastTickMs = lastStallMs = nowMs;
    stalledMs = 0;
  }
  // A stream that has played without a break for a while is forgiven its old stalls.
  if (nowMs - lastStallMs > kStallForgetMs) stalledMs = 0;
  // Between two ticks the stream was stalled for the whole interval when both saw it
  // stalled, for about half of it when one did.
  stalledMs += (nowMs - lastTickMs) * (int64_t(seenStalled) + int64_t(stalled)) / 2;
  lastTickMs = nowMs;
  seenStalled = stalled;
  if (stalled) lastStallMs = nowMs;
  if (!stalled || stalledMs <= kStallLimitMs) return active;
  seenHandle = 0;
  return BASS_ACTIVE_STOPPED;
}

void NextStreamCommand() {
  StopStream();
  StreamEntry entry;
  if (CurrentStreamEntry(entry)) {
    gSettings.bitrate = entry.bitrate;
    gSettings.SetCodec(entry.codec);
  }
  gPlayer.connectCount = 0;
  StartPlaybackWorker(WorkerStart::kAdvanceToNext);
}
