// The stream-information worker: fetches the station's stream-information document
// (programme, streams, recently played titles) or, with a custom URL, loads that URL as
// a stream or playlist, and fills the stream list for the playback worker.
#include <atomic>
#include <string>
#include <vector>

#include "base/base.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

namespace {

constexpr const char* kDocumentDateMask = "%yyyy-%mm-%ddT%hh:%ii:%ssZ";

// Counts the runs of this program; the first one is the start-up run.
std::atomic<int> gStreamInfoRuns{0};

int64_t ParseDocumentDate(const std::string& text, int64_t fallback) {
  if (text.empty()) return fallback;
  int64_t date = ParseDate(kDocumentDateMask, text);
  // A date that does not fit the pattern would put the title in 1970.
  return date != 0 ? date : fallback;
}

void MakeFirstEntryCurrent() {
  std::lock_guard<std::mutex> lock(gStreamList.lock);
  gStreamList.current = 0;
}

void RunCustomUrl(const std::string& url) {
  std::vector<StreamEntry> list;
  int ok = LoadPlaylist(url, list);
  SetStreamList(std::move(list));
  if (!ok) {
    Log("Unable to get custom playlist.");
    return;
  }
  Log("Using custom playlist.");
}

}  // namespace

int64_t UtcNow() {
  // The offset can change between the two readings (a daylight-saving switch); take it
  // again until two readings agree so the date and the offset belong together.
  for (;;) {
    int64_t bias = TimeZoneBias();
    int64_t now = DateNow();
    if (TimeZoneBias() == bias) return now - bias;
  }
}

int ReadStreamInfoDocument(const char* buffer, size_t length, std::vector<StreamEntry>* streams) {
  std::unique_ptr<JsonDocument> doc = ParseJson(buffer, length);
  if (!doc) {
    if (Logging())
      Log("Streaminfo JSON error: " + JsonErrorMessage() + ", line " + std::to_string(JsonErrorLine()) + " pos " +
          std::to_string(JsonErrorPosition()) + ".");
    return 0;
  }
  const JsonValue* root = &doc->root;
  if (root->IsNull()) {
    Log("Streaminfo empty.");
    return 0;
  }

  if (const JsonValue* info = root->Member("info"); info && info->IsString()) {
    std::string value = info->GetString();
    SetPlayerString(&PlayerState::showInfo, value);
    if (Logging()) Log("Info = " + value);
  }
  if (const JsonValue* name = root->Member("name"); name && name->IsString()) {
    std::string value = name->GetString();
    SetPlayerString(&PlayerState::showName, value);
    if (Logging()) Log("Show = " + value);
    if (IsWindow(WinMain)) PostEvent(EventNowPlaying, WinMain, 0);
  }
  if (const JsonValue* live = root->Member("live"); live && live->IsNumber())
    if (Logging()) Log("Live = " + std::to_string(live->GetInteger()));
  if (const JsonValue* status = root->Member("status"); status && status->IsNumber())
    if (Logging()) Log("Status = " + std::to_string(status->GetInteger()));

  std::vector<StreamEntry> list;
  ReadStreamArray(list, root);
  if (streams) *streams = std::move(list);

  int64_t reference = ParseDocumentDate(GetJsonString(root, "date", ""), UtcNow());

  // The history comes from the document once per run of the program; afterwards the
  // stream's own metadata keeps it.
  if (TrackHistorySize() == 0) {
    const JsonValue* history = GetJsonArray(root, "history");
    if (!history) {
      Log("Streaminfo history array not found.");
    } else {
      std::vector<TrackHistoryEntry> entries;
      int64_t end = reference;
      for (size_t i = 0; i < history->Size(); ++i) {
        const JsonValue* item = history->Element(i);
        if (!item || !item->IsObject()) continue;
        TrackHistoryEntry e;
        e.start = ParseDocumentDate(GetJsonString(item, "date", ""), reference);
        e.artist = GetJsonString(item, "artist", "");
        e.title = GetJsonString(item, "title", "");
        e.year = GetJsonString(item, "year", "");
        e.artwork = GetJsonString(item, "artwork", "");
        e.album = GetJsonString(item, "album", "");
        if (e.artist.empty() || e.title.empty()) continue;
        if (i == 0) SetTrackInfo(NowPlaying{e.artist, e.title, ""});
        e.end = end;
        end = e.start;
        entries.push_back(std::move(e));
      }
      std::lock_guard<std::mutex> lock(gTrackHistory.lock);
      if (gTrackHistory.entries.empty()) gTrackHistory.entries.swap(entries);
    }
  }
  return 1;
}

void StreamInfoWorker(int argument) {
  bool firstRun = gStreamInfoRuns.fetch_add(1) == 0;
  bool onePass = argument == kStreamInfoStartup || firstRun;

  std::string custom = PlayerString(&PlayerState::customUrl);
  if (!custom.empty()) {
    RunCustomUrl(custom);
    return;
  }

  const std::vector<std::string>& urls = gStation.infoUrls;
  std::vector<char> buffer(kPlaylistBufferSize);
  if (!urls.empty()) {
    size_t index = 0;
    size_t failures = 0;
    int64_t size = 0;
    int result = 0;
    for (;;) {
      const std::string& url = urls[index];
      if (Logging()) Log("Getting stream info from " + url);
      size = int64_t(buffer.size());
      result = DownloadToMemory(url, gApp.userAgent, 1024, buffer.data(), size, nullptr, nullptr, 10000);
      if (result == 0) break;
      index = (index + 1) % urls.size();
      // The start-up run goes once round the URLs and then falls back to the cached
      // streams, so the player starts even when the service is down; the thread keeps
      // trying until one answers.
      if (onePass && ++failures >= urls.size()) break;
      if (!PlaybackWait(1000)) return;
    }
    if (result == 0 && size > 0) {
      std::vector<StreamEntry> fetched;
      if (ReadStreamInfoDocument(buffer.data(), size_t(size), &fetched)) SetStreamList(std::move(fetched));
    }
  }

  std::vector<StreamEntry> list = GetStreamList();
  if (!list.empty()) {
    SaveStreamListCache(list);
  } else {
    LoadStreamListCache(list);
    SetStreamList(std::move(list));
  }
  MakeFirstEntryCurrent();
  if (Logging()) Log(std::to_string(StreamListSize()) + " entries in playlist.");
}
