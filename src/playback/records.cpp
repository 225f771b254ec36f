// The playback records and their accessors. Lists and strings that cross threads are
// only ever copied or swapped whole under their lock, so no reader sees a half-written
// list or string.
#include <algorithm>
#include <chrono>
#include <utility>

#include "playback/playback.h"
#include "runtime/runtime.h"

PlayerState gPlayer;
TitleQueue gTitleQueue;
TrackInfo gTrackInfo;
TrackHistory gTrackHistory;
StreamList gStreamList;

std::string PlayerString(std::string PlayerState::*field) {
  std::lock_guard<std::mutex> lock(gPlayer.stringLock);
  return gPlayer.*field;
}

void SetPlayerString(std::string PlayerState::*field, std::string value) {
  std::lock_guard<std::mutex> lock(gPlayer.stringLock);
  (gPlayer.*field).swap(value);
}

NowPlaying GetTrackInfo() {
  std::lock_guard<std::mutex> lock(gTrackInfo.lock);
  return NowPlaying{gTrackInfo.artist, gTrackInfo.title, gTrackInfo.album};
}

void SetTrackInfo(const NowPlaying& value) {
  std::lock_guard<std::mutex> lock(gTrackInfo.lock);
  gTrackInfo.artist = value.artist;
  gTrackInfo.title = value.title;
  gTrackInfo.album = value.album;
}

std::vector<TrackHistoryEntry> GetTrackHistory() {
  std::lock_guard<std::mutex> lock(gTrackHistory.lock);
  return gTrackHistory.entries;
}

size_t TrackHistorySize() {
  std::lock_guard<std::mutex> lock(gTrackHistory.lock);
  return gTrackHistory.entries.size();
}

void ClearTrackHistory() {
  std::vector<TrackHistoryEntry> old;
  std::lock_guard<std::mutex> lock(gTrackHistory.lock);
  old.swap(gTrackHistory.entries);
}

void SetStreamList(std::vector<StreamEntry> entries) {
  std::lock_guard<std::mutex> lock(gStreamList.lock);
  gStreamList.entries.swap(entries);
  gStreamList.current = 0;
}

std::vector<StreamEntry> GetStreamList(size_t* current) {
  std::lock_guard<std::mutex> lock(gStreamList.lock);
  if (current) *current = gStreamList.current;
  return gStreamList.entries;
}

size_t StreamListSize() {
  std::lock_guard<std::mutex> lock(gStreamList.lock);
  return gStreamList.entries.size();
}

int CurrentStreamEntry(StreamEntry& entry, size_t* position) {
  std::lock_guard<std::mutex> lock(gStreamList.lock);
  if (gStreamList.entries.empty()) return 0;
  if (gStreamList.current >= gStreamList.entries.size()) gStreamList.current = 0;
  entry = gStreamList.entries[gStreamList.current];
  if (position) *position = gStreamList.current;
  return 1;
}

int PlaybackWait(int ms) {
  // The runtime's teardown asks its threads to stop without knowing this wait, so the
  // wait also looks at that request a few times a second.
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
  std::unique_lock<std::mutex> lock(gPlayer.waitLock);
  for (;;) {
    if (gPlayer.shutdown.load() != 0 || ThreadStopRequested()) return 0;
    auto now = Clock::now();
    if (now >= end) return 1;
    auto slice = std::min<Clock::duration>(end - now, std::chrono::milliseconds(100));
    gPlayer.waitSignal.wait_for(lock, slice);
  }
}

void PlaybackShutdown() {
  {
    std::lock_guard<std::mutex> lock(gPlayer.waitLock);
    gPlayer.shutdown = 1;
  }
  gPlayer.waitSignal.notify_all();
}
