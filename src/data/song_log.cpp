// The song log: the recorder that turns each heard title into a row, the one writer
// thread that stores the rows in batches, the window's reads, favourites and the export.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/base.h"
#include "data/data.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kWriterBusyMs = 2000;  // longest wait for another connection's lock
constexpr int kReaderBusyMs = 100;   // the window never waits longer than this
constexpr int kBusyRetries = 5;      // rounds a busy batch is kept before it is given up
constexpr size_t kQueueLimit = 10000;
// Rows that arrive together (a burst at exit, a stalled disk) are written in one go,
// and a lone row waits this long for company before it is written alone.
constexpr auto kBatchWait = std::chrono::milliseconds(200);

struct WriteItem {
  int kind = 0;  // kWriteRow or kWriteFavourite
  SongRow row;
  int64_t id = 0;  // the row (favourites)
  int favourite = 0;
};
constexpr int kWriteRow = 0;
constexpr int kWriteFavourite = 1;

// The writer's side. Written under lock by the main thread (queue, stop, pending) and the
// writer (pending after commits); ready and generation are atomic.
struct Writer {
  std::mutex lock;
  std::condition_variable signal;
  std::deque<WriteItem> queue;
  bool stop = false;
  std::thread thread;
  std::string database;
  // Favourite changes not yet committed: the reads show them at once.
  std::map<int64_t, int> pending;
  std::atomic<int> running{0};
  std::atomic<int> ready{0};
  std::atomic<uint64_t> generation{0};
  std::string folder;  // set by SongLogInit (main thread) before the thread starts
};
Writer gWriter;

// The recorder: main thread only.
struct Recorder {
  int playing = 0;
  SongRow now;
  SteadyClock::time_point startedAt;
  double audioAt = -1.0;
};
Recorder gRecorder;

// The window's connection: main thread only.
SongStore* gReader = nullptr;
uint64_t gReaderTried = ~uint64_t(0);

std::string IsoDate(int64_t utcSeconds) { return FormatDate("%yyyy-%mm-%ddT%hh:%ii:%ssZ", utcSeconds); }

void Bump() { gWriter.generation.fetch_add(1); }

// Stores one batch; returns the SongStoreResult of the rows' transaction.
int WriteBatch(SongStore* store, std::vector<WriteItem>& items, int* fullLogged) {
  std::vector<SongRow> rows;
  for (WriteItem& item : items)
    if (item.kind == kWriteRow) rows.push_back(item.row);
  std::string error;
  int result = SongStoreAppend(store, rows, nullptr, &error);
  if (result == SongStoreBusy) return result;
  if (result != SongStoreOk) {
    // The rows already stored stay; these are given up so playback never waits on a
    // failing disk. One line until writing works again.
    if (!*fullLogged) Log("Song log: " + std::to_string(rows.size()) + " title(s) not kept: " + error);
    *fullLogged = 1;
  } else if (!rows.empty()) {
    if (*fullLogged) Log("Song log: titles are kept again.");
    *fullLogged = 0;
  }
  for (WriteItem& item : items) {
    if (item.kind != kWriteFavourite) continue;
    int r = SongStoreSetFavourite(store, item.id, item.favourite, &error);
    if (r != SongStoreOk)
      Log("Song log: the favourite of row " + std::to_string(item.id) + " was not changed: " + error);
    std::lock_guard<std::mutex> lock(gWriter.lock);
    auto found = gWriter.pending.find(item.id);
    if (found != gWriter.pending.end() && found->second == item.favourite) gWriter.pending.erase(found);
  }
  return result;
}

void WriterThread() {
  int result = 0;
  std::string note;
  SongStore* store = SongStoreOpen(gWriter.database, 1, kWriterBusyMs, &result, &note);
  if (!note.empty()) Log("Song log: " + note);
  if (!store) {
    Log("Song log: " + gWriter.database + " cannot be used; titles are not kept in this run.");
  } else {
    gWriter.ready = 1;
    Bump();
  }
  int fullLogged = 0;
  int busyRounds = 0;
  std::unique_lock<std::mutex> lock(gWriter.lock);
  for (;;) {
    gWriter.signal.wait(lock, [] { return gWriter.stop || !gWriter.queue.empty(); });
    if (!gWriter.stop && busyRounds == 0) gWriter.signal.wait_for(lock, kBatchWait, [] { return gWriter.stop; });
    std::vector<WriteItem> items(std::make_move_iterator(gWriter.queue.begin()),
                                 std::make_move_iterator(gWriter.queue.end()));
    gWriter.queue.clear();
    bool stopping = gWriter.stop;
    lock.unlock();
    int r = store ? WriteBatch(store, items, &fullLogged) : SongStoreError;
    if (r == SongStoreBusy && ++busyRounds <= kBusyRetries && !stopping) {
      // Another program holds the file: the batch goes back in front and waits a round.
      lock.lock();
      for (auto it = items.rbegin(); it != items.rend(); ++it) gWriter.queue.push_front(std::move(*it));
      gWriter.signal.wait_for(lock, std::chrono::seconds(1), [] { return gWriter.stop; });
      continue;
    }
    if (r == SongStoreBusy)
      Log("Song log: the database stayed locked; " + std::to_string(items.size()) + " change(s) not kept.");
    busyRounds = 0;
    if (store) Bump();
    lock.lock();
    if (gWriter.stop && gWriter.queue.empty()) break;
  }
  gWriter.ready = 0;
  lock.unlock();
  SongStoreClose(store);
}

void Enqueue(WriteItem item) {
  {
    std::lock_guard<std::mutex> lock(gWriter.lock);
    if (!gWriter.running.load()) return;
    if (gWriter.queue.size() >= kQueueLimit) return;
    gWriter.queue.push_back(std::move(item));
  }
  gWriter.signal.notify_all();
}

SongStore* Reader() {
  if (gReader) return gReader;
  if (!gWriter.ready.load()) return nullptr;
  // A failed open is tried again only after the writer has done something.
  uint64_t generation = gWriter.generation.load();
  if (gReaderTried == generation) return nullptr;
  gReaderTried = generation;
  int result = 0;
  std::string note;
  gReader = SongStoreOpen(gWriter.database, 0, kReaderBusyMs, &result, &note);
  if (!gReader) Log("Song log: cannot be read: " + note);
  return gReader;
}

std::string DatabasePath(const std::string& folder) {
  std::string f = folder.empty() ? UserDataFolder() : folder;
  return f.empty() ? std::string() : f + kSongLogFile;
}

std::string Figure(double value, int decimals) { return std::isfinite(value) ? FormatFixed(value, decimals) : ""; }

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

constexpr const char* kColumns[] = {"id",    "started",     "ended",     "seconds",    "artist",   "title",
                                    "album", "streamTitle", "stationId", "streamName", "codec",    "bitrate",
                                    "rms",   "peak",        "lufs",      "luRange",    "truePeak", "favourite"};

struct ExportState {
  std::string out;
  int json = 0;
  int64_t count = 0;
};

int AppendCsv(const SongRow& r, void* user) {
  auto* state = static_cast<ExportState*>(user);
  std::string& o = state->out;
  const std::string fields[] = {std::to_string(r.id),
                                r.started,
                                r.ended,
                                Figure(r.seconds, 3),
                                r.artist,
                                r.title,
                                r.album,
                                r.streamTitle,
                                r.stationId,
                                r.streamName,
                                r.codec,
                                std::to_string(r.bitrate),
                                Figure(r.rms, 2),
                                Figure(r.peak, 2),
                                Figure(r.lufs, 2),
                                Figure(r.luRange, 2),
                                Figure(r.truePeak, 2),
                                std::to_string(r.favourite)};
  for (size_t i = 0; i < std::size(fields); ++i) {
    if (i) o += ',';
    o += CsvField(fields[i]);
  }
  o += "\r\n";
  ++state->count;
  return 1;
}

// Levels to the hundredth, as the CSV and the debug log give them: the figures were
// measured in single precision, so further digits are noise.
void SetNumber(JsonValue& object, const char* name, double value) {
  if (std::isfinite(value))
    object.SetMemberDouble(name, std::round(value * 100.0) / 100.0);
  else
    object.SetMember(name, JsonKind::Null);
}

int AppendJson(const SongRow& r, void* user) {
  auto* state = static_cast<ExportState*>(user);
  JsonValue o(JsonKind::Object);
  o.SetMemberInteger("id", r.id);
  o.SetMemberString("started", r.started);
  o.SetMemberString("ended", r.ended);
  o.SetMemberDouble("seconds", std::isfinite(r.seconds) ? std::round(r.seconds * 1000.0) / 1000.0 : 0.0);
  o.SetMemberString("artist", r.artist);
  o.SetMemberString("title", r.title);
  o.SetMemberString("album", r.album);
  o.SetMemberString("streamTitle", r.streamTitle);
  o.SetMemberString("stationId", r.stationId);
  o.SetMemberString("streamName", r.streamName);
  o.SetMemberString("codec", r.codec);
  o.SetMemberInteger("bitrate", r.bitrate);
  SetNumber(o, "rms", r.rms);
  SetNumber(o, "peak", r.peak);
  SetNumber(o, "lufs", r.lufs);
  SetNumber(o, "luRange", r.luRange);
  SetNumber(o, "truePeak", r.truePeak);
  o.SetMemberBool("favourite", r.favourite != 0);
  state->out += state->count ? ",\r\n  " : "\r\n  ";
  state->out += ComposeJson(o, 0);
  ++state->count;
  return 1;
}

std::string LowerExtension(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
  std::string ext = path.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return ext;
}

std::string TextField(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  return out;
}

}  // namespace

int SongLogInit(const std::string& folder) {
  if (gWriter.running.load()) return 1;
  std::string database = DatabasePath(folder);
  if (database.empty()) {
    Log("Song log: no per-user data folder; titles are not kept in this run.");
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(gWriter.lock);
    gWriter.folder = folder;
    gWriter.database = database;
    gWriter.stop = false;
    gWriter.queue.clear();
    gWriter.pending.clear();
  }
  gReaderTried = ~uint64_t(0);
  gWriter.running = 1;
  gWriter.thread = std::thread(WriterThread);
  return 1;
}

void SongLogShutdown() {
  if (gRecorder.playing) SongLogTitleEnded(0, NAN, NAN, NAN, NAN, NAN);
  if (gWriter.thread.joinable()) {
    {
      std::lock_guard<std::mutex> lock(gWriter.lock);
      gWriter.stop = true;
    }
    gWriter.signal.notify_all();
    gWriter.thread.join();
  }
  gWriter.running = 0;
  SongStoreClose(gReader);
  gReader = nullptr;
}

int SongLogReady() { return gWriter.ready.load(); }

uint64_t SongLogGeneration() { return gWriter.generation.load(); }

void SongLogTitleStarted(const SongRow& row, int64_t utcSeconds, double audioSeconds) {
  if (gRecorder.playing) SongLogTitleEnded(utcSeconds, NAN, NAN, NAN, NAN, NAN, audioSeconds);
  gRecorder.now = row;
  gRecorder.now.started = IsoDate(utcSeconds > 0 ? utcSeconds : DateNow() - TimeZoneBias());
  gRecorder.now.id = 0;
  gRecorder.now.favourite = 0;
  gRecorder.startedAt = SteadyClock::now();
  gRecorder.audioAt = audioSeconds;
  gRecorder.playing = 1;
}

void SongLogTitleEnded(int64_t utcSeconds, double rms, double peak, double lufs, double luRange, double truePeak,
                       double audioSeconds) {
  if (!gRecorder.playing) return;
  gRecorder.playing = 0;
  WriteItem item;
  item.kind = kWriteRow;
  item.row = gRecorder.now;
  // 0: now, by the wall clock the start was read from.
  if (utcSeconds <= 0) {
    item.row.ended = IsoDate(DateNow() - TimeZoneBias());
  } else {
    item.row.ended = IsoDate(utcSeconds);
  }
  if (gRecorder.audioAt >= 0.0 && audioSeconds >= gRecorder.audioAt)
    item.row.seconds = audioSeconds - gRecorder.audioAt;
  else
    item.row.seconds = std::chrono::duration<double>(SteadyClock::now() - gRecorder.startedAt).count();
  item.row.rms = rms;
  item.row.peak = peak;
  item.row.lufs = lufs;
  item.row.luRange = luRange;
  item.row.truePeak = truePeak;
  Enqueue(std::move(item));
}

int SongLogPlaying() { return gRecorder.playing; }

int SongLogToggleFavouriteNow() {
  if (!gRecorder.playing) return -1;
  gRecorder.now.favourite = gRecorder.now.favourite ? 0 : 1;
  return gRecorder.now.favourite;
}

int SongLogFavouriteNow() { return gRecorder.playing && gRecorder.now.favourite ? 1 : 0; }

int SongLogCount(const std::string& filter, int favouritesOnly) {
  SongStore* store = Reader();
  if (!store) return 0;
  int64_t n = SongStoreCount(store, filter, favouritesOnly);
  return n < 0 ? 0 : int(std::min<int64_t>(n, INT32_MAX));
}

int SongLogRows(const std::string& filter, int favouritesOnly, int offset, int limit, std::vector<SongRow>* rows) {
  if (!rows) return 0;
  rows->clear();
  SongStore* store = Reader();
  if (!store) return 0;
  if (!SongStoreRows(store, filter, favouritesOnly, offset, limit, rows)) return 0;
  std::lock_guard<std::mutex> lock(gWriter.lock);
  if (!gWriter.pending.empty())
    for (SongRow& row : *rows) {
      auto found = gWriter.pending.find(row.id);
      if (found != gWriter.pending.end()) row.favourite = found->second;
    }
  return 1;
}

int SongLogSetFavourite(int64_t id, int favourite) {
  if (id <= 0 || !gWriter.running.load()) return 0;
  favourite = favourite ? 1 : 0;
  {
    std::lock_guard<std::mutex> lock(gWriter.lock);
    gWriter.pending[id] = favourite;
  }
  WriteItem item;
  item.kind = kWriteFavourite;
  item.id = id;
  item.favourite = favourite;
  Enqueue(std::move(item));
  Bump();
  return 1;
}

int ExportSongLog(const std::string& path, std::string* error) {
  std::string database = DatabasePath(gWriter.folder);
  if (database.empty()) {
    if (error) *error = "the per-user data folder cannot be found";
    return 0;
  }
  return ExportSongLogFrom(database, path, error);
}

int ExportSongLogFrom(const std::string& database, const std::string& path, std::string* error) {
  std::string ext = LowerExtension(path);
  ExportState state;
  if (ext == "json") {
    state.json = 1;
  } else if (ext != "csv") {
    if (error) *error = "\"" + path + "\": the song log is exported as .csv or .json only";
    return 0;
  }
  int result = 0;
  std::string note;
  SongStore* store = SongStoreOpen(database, 0, kWriterBusyMs, &result, &note);
  if (!store && result != SongStoreMissing) {
    if (error) *error = "the song log " + database + " cannot be read: " + note;
    return 0;
  }
  if (!state.json) {
    for (size_t i = 0; i < std::size(kColumns); ++i) {
      if (i) state.out += ',';
      state.out += kColumns[i];
    }
    state.out += "\r\n";
  } else {
    state.out = "[";
  }
  // No database yet means no title was heard: the export is empty, not an error.
  if (store) {
    std::string readError;
    int r = SongStoreEach(store, state.json ? AppendJson : AppendCsv, &state, &readError);
    SongStoreClose(store);
    if (r != SongStoreOk) {
      if (error) *error = "the song log " + database + " cannot be read: " + readError;
      return 0;
    }
  }
  if (state.json) state.out += state.count ? "\r\n]\r\n" : "]\r\n";
  std::string temp = path + ".part";
  if (!WriteWholeFile(temp, state.out) || !ReplaceFileDurably(temp, path)) {
    DeleteFileAt(temp);
    if (error) *error = "\"" + path + "\" cannot be written";
    return 0;
  }
  return 1;
}

std::string SongRowsAsText(const std::vector<SongRow>& rows) {
  std::string out;
  for (const SongRow& r : rows) {
    long total = std::isfinite(r.seconds) && r.seconds > 0 ? std::lround(r.seconds) : 0;
    std::string duration = std::to_string(total / 60) + ":" + (total % 60 < 10 ? "0" : "") + std::to_string(total % 60);
    out += TextField(r.started) + "\t" + TextField(r.artist) + "\t" + TextField(r.title) + "\t" + TextField(r.album) +
           "\t" + duration + "\t" + Figure(r.rms, 2) + "\t" + Figure(r.peak, 2) + "\t" + Figure(r.lufs, 1) + "\t" +
           (r.favourite ? "favourite" : "") + "\r\n";
  }
  return out;
}
