// Saving songs: the stream's own bytes (metadata removed) are kept as the download hands
// them over, with the byte at which each title was announced, so the title the listener
// hears is written from its first byte, bit-exact, without re-encoding. The file itself is
// built by BuildSongFile and written by a worker thread, never the window thread.
#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/base.h"
#include "base/text.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

namespace {

// The ring is kept in pieces: a piece that is full never changes again, so a save in
// progress shares the pieces it needs while the download goes on and the ring moves past.
constexpr size_t kPieceBytes = 64 * 1024;
// Titles kept at most: a station that changes its title in every metadata block (a
// "storm") must not grow the list while the listener's position lags behind.
constexpr size_t kMaxTitles = 256;
// Bytes of "Artist - Title" in a file name: well inside the 255 bytes a file name may
// have on every file system, with room for " (999)" and the extension.
constexpr size_t kMaxNameBytes = 180;
// " (2)" to " (999)": then the folder is taken to be unusable.
constexpr int kMaxNameTries = 999;

struct CaptureTitle {
  uint64_t id = 0;
  uint64_t offset = 0;  // where it was announced; the connection's start for its first title
  std::string meta;
  bool startKnown = false;  // announced within this connection: its first byte came here
  bool requested = false;   // "Save This Song" waits for its end
  bool saved = false;       // handed to the writer (once per title)
};

using Piece = std::shared_ptr<std::string>;

// Written by the download thread (bytes, titles), the playback worker (connections) and
// the main thread (the title heard, requests); guarded by lock.
struct Capture {
  std::mutex lock;
  uint64_t connection = 0;  // number of the connection the bytes belong to
  bool open = false;        // the connection may still send bytes
  std::string codec;        // "mp3", "aac", "ogg"; "" while unknown or not saveable
  std::string streamStart;  // the connection's first kStreamStartBytes
  std::deque<Piece> pieces;
  uint64_t begin = 0;  // stream offset of the oldest byte kept (the first piece's first)
  uint64_t end = 0;    // stream offset after the newest byte
  std::deque<CaptureTitle> titles;
  uint64_t nextId = 1;
  uint64_t heardId = 0;       // the title the listener hears; 0 none yet
  uint64_t recordFromId = 0;  // "Record Every Song" saves titles from this one on
  uint64_t peakBytes = 0;     // most bytes ever kept at once (the benchmark's figure)
  // An Ogg stream without ICY metadata (Icecast sends none for Ogg) names its titles in
  // itself: each new logical stream's comment header. Its pages are followed here.
  bool oggTitles = false;
  std::string oggPending;     // bytes after the last whole page (at most one page)
  uint64_t oggPendingAt = 0;  // stream offset of oggPending's first byte
  bool bosWaiting = false;    // a logical stream began; its comment header is next
  uint32_t bosSerial = 0;
  uint64_t bosAt = 0;  // where its first page began
};
Capture gCapture;

// One file to write: the bytes of a title, shared pieces and all.
struct SaveJob {
  std::vector<Piece> pieces;
  uint64_t piecesBegin = 0;  // stream offset of the first piece's first byte
  uint64_t from = 0, to = 0;
  std::string codec, streamStart, meta;
  int fromTitleStart = 0;
  int cutByBreak = 0;  // the connection ended inside the title
  int recorded = 0;    // saved by "Record Every Song" (else asked for)
};

// The writer's queue. Written by whoever completes a title and by the writer thread.
std::mutex gSaveLock;
std::deque<SaveJob> gSaveJobs;  // guarded by gSaveLock
int gSaveWorkerRunning = 0;     // guarded by gSaveLock
int gSaveWorkerThread = 0;      // guarded by gSaveLock
// A full disk is told once, until a save succeeds again. Writer thread only.
bool gWriteFailureTold = false;

std::mutex gNoticeLock;
std::deque<std::string> gNotices;  // guarded by gNoticeLock; taken by the main thread

void Notice(const std::string& text) {
  {
    std::lock_guard<std::mutex> g(gNoticeLock);
    // The tooltip shows the newest; a few are enough to keep the order of a burst.
    if (gNotices.size() >= 8) gNotices.pop_front();
    gNotices.push_back(text);
  }
  if (IsWindow(WinMain)) PostEvent(EventSongSaved, WinMain, 0);
}

std::string CodecOfChannelType(uint32_t ctype) {
  switch (ctype) {
    case BASS_CTYPE_STREAM_MP3:
      return "mp3";
    case BASS_CTYPE_STREAM_AAC:
      return "aac";
    case BASS_CTYPE_STREAM_OPUS:
    case BASS_CTYPE_STREAM_VORBIS:
      return "ogg";
    default:
      return std::string();
  }
}

std::string TitleText(const std::string& meta) {
  NowPlaying value;
  if (!ParseStreamTitleText(meta, int(gPlayer.legacyServer.load()), value)) return std::string();
  return value.artist.empty() ? value.title : value.artist + " - " + value.title;
}

void StartSaveWorker();

// Takes what the job needs out of the ring. Caller holds gCapture.lock.
SaveJob MakeJob(const CaptureTitle& t, uint64_t to, int cutByBreak, int recorded) {
  Capture& c = gCapture;
  SaveJob job;
  job.from = std::max(t.offset, c.begin);
  job.to = std::max(job.from, std::min(to, c.end));
  job.fromTitleStart = t.startKnown && t.offset >= c.begin ? 1 : 0;
  job.codec = c.codec;
  job.streamStart = c.streamStart;
  job.meta = t.meta;
  job.cutByBreak = cutByBreak;
  job.recorded = recorded;
  uint64_t at = c.begin;
  for (const Piece& p : c.pieces) {
    const uint64_t pieceEnd = at + p->size();
    if (pieceEnd > job.from && at < job.to) {
      if (job.pieces.empty()) job.piecesBegin = at;
      // Only the newest piece still grows: a copy of it, the full ones shared.
      job.pieces.push_back(p->size() < kPieceBytes ? std::make_shared<std::string>(*p) : p);
    }
    at = pieceEnd;
  }
  return job;
}

// A title has ended at `to` (the next title's announcement or the connection's break):
// it is saved when it was asked for or is recorded. Caller holds gCapture.lock; log lines
// and jobs go out through the lists.
void CompleteTitle(CaptureTitle& t, uint64_t to, int cutByBreak, std::vector<SaveJob>& jobs,
                   std::vector<std::string>& lines) {
  Capture& c = gCapture;
  if (t.saved) return;
  const bool record = gSettings.recordAll.load() == 1 && t.id >= c.recordFromId;
  if (!t.requested && !record) return;
  if (c.codec.empty()) {
    t.saved = true;
    lines.push_back("Song not saved, the stream's format cannot be saved: " + TitleText(t.meta));
    return;
  }
  if (!t.requested) {
    // Recording keeps whole titles only: one joined midway, or longer than the ring, is
    // left out (the listener can still save it by hand).
    if (!t.startKnown || t.offset < c.begin) {
      t.saved = true;
      lines.push_back("Song not recorded, its start was not received: " + TitleText(t.meta));
      return;
    }
  }
  t.saved = true;
  jobs.push_back(MakeJob(t, to, cutByBreak, t.requested ? 0 : 1));
}

void QueueJobs(std::vector<SaveJob>& jobs, const std::vector<std::string>& lines) {
  for (const std::string& l : lines) Log(l);
  if (jobs.empty()) return;
  {
    std::lock_guard<std::mutex> g(gSaveLock);
    for (SaveJob& j : jobs) gSaveJobs.push_back(std::move(j));
  }
  StartSaveWorker();
}

// Ends the connection's last title at the break. Caller holds gCapture.lock.
void CloseConnection(std::vector<SaveJob>& jobs, std::vector<std::string>& lines, bool atExit = false) {
  Capture& c = gCapture;
  if (!c.open) return;
  c.open = false;
  // At exit only a title the listener asked for is written as far as it came; recording
  // keeps complete titles, and a reconnect's break is a title's end, an exit is not.
  if (!c.titles.empty() && (!atExit || c.titles.back().requested))
    CompleteTitle(c.titles.back(), c.end, 1, jobs, lines);
}

// Drops what neither the title heard nor the one before it needs. Caller holds the lock.
void TrimCapture() {
  Capture& c = gCapture;
  size_t keep = 0;  // index of the first title kept
  for (size_t i = 0; i < c.titles.size(); ++i)
    if (c.titles[i].id == c.heardId) keep = i == 0 ? 0 : i - 1;
  if (c.titles.size() - keep > kMaxTitles) keep = c.titles.size() - kMaxTitles;
  c.titles.erase(c.titles.begin(), c.titles.begin() + ptrdiff_t(keep));
  const uint64_t keepFrom = c.titles.empty() ? c.end : c.titles.front().offset;
  while (!c.pieces.empty() && c.begin + c.pieces.front()->size() <= keepFrom && c.pieces.size() > 1) {
    c.begin += c.pieces.front()->size();
    c.pieces.pop_front();
  }
}

// The title file's name: "Artist - Title" without controls, invisible characters, path
// separators or the characters Windows refuses, within kMaxNameBytes, never a name the
// system reserves or one of dots only.
std::string SongFileBaseName(const std::string& text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t length = 1;
    const int32_t cp = DecodeUtf8(text, pos, &length);
    const std::string_view piece(text.data() + pos, length);
    pos += length;
    if (cp < 0 || IsInvisibleCodePoint(uint32_t(cp))) continue;
    if (cp < 0x80 && std::strchr("/\\:*?\"<>|", char(cp))) continue;
    if (out.size() + piece.size() > kMaxNameBytes) break;
    out.append(piece);
  }
  // Leading blanks hide a name; trailing dots and blanks are dropped by Windows.
  size_t a = 0;
  while (a < out.size() && (out[a] == ' ' || out[a] == '.')) ++a;
  out.erase(0, a);
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  if (out.empty()) out = "Untitled";
  static const char* const kReserved[] = {"con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4",
                                          "com5", "com6", "com7", "com8", "com9", "lpt1", "lpt2", "lpt3",
                                          "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  const std::string lower = LowerAscii(out.substr(0, out.find('.')));
  for (const char* r : kReserved)
    if (lower == r) out = "_" + out;
  return out;
}

std::string Folder() {
  std::string folder = gSettings.GetRecordSavePath();
  if (folder.empty()) folder = DefaultRecordSavePath();
  if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';
  return folder;
}

// Writes the file under a free name; 1 and *path, or 0 and *error (the partial file gone).
int WriteSongFile(const std::string& folder, const std::string& base, const std::string& ext, const std::string& bytes,
                  std::string* path, std::string* error, bool* writeFailed) {
  *writeFailed = false;
  if (folder.empty()) {
    *error = "there is no folder for saved songs";
    return 0;
  }
  if (!FolderExists(folder) && !CreateFolder(folder) && !FolderExists(folder)) {
    *error = "the folder " + folder + " cannot be made";
    return 0;
  }
  std::string name;
  for (int n = 1; n <= kMaxNameTries; ++n) {
    name = folder + base + (n == 1 ? std::string() : " (" + std::to_string(n) + ")") + ext;
    if (!FileExists(name)) break;
    if (n == kMaxNameTries) {
      *error = "every name for it is taken in " + folder;
      return 0;
    }
  }
  const int file = CreateBufferedFile(name);
  if (!file) {
    *error = "the file " + name + " cannot be made";
    return 0;
  }
  bool ok = true;
  for (size_t at = 0; ok && at < bytes.size(); at += 1 << 20)
    ok = WriteBufferedFile(file, std::string_view(bytes).substr(at, 1 << 20)) != 0;
  ok = CloseBufferedFile(file) != 0 && ok;
  if (!ok) {
    DeleteFileAt(name);
    *writeFailed = true;
    *error = "the disk is full or cannot be written (" + name + " removed)";
    return 0;
  }
  *path = name;
  return 1;
}

void SaveOne(const SaveJob& job) {
  std::string audio;
  audio.reserve(size_t(job.to - job.from));
  uint64_t at = job.piecesBegin;
  for (const Piece& p : job.pieces) {
    const uint64_t a = std::max(at, job.from), b = std::min(at + p->size(), job.to);
    if (b > a) audio.append(*p, size_t(a - at), size_t(b - a));
    at += p->size();
  }
  NowPlaying value;
  ParseStreamTitleText(job.meta, int(gPlayer.legacyServer.load()), value);
  SongTags tags;
  tags.artist = value.artist;
  tags.title = value.title;
  tags.album = value.album;
  // The server's station name; without one the player's station, unless a stream of the
  // user's own plays.
  tags.publisher = PlayerString(&PlayerState::serverName);
  if (tags.publisher.empty() && PlayerString(&PlayerState::customUrl).empty()) tags.publisher = gStation.name;
  tags.date = FormatDate("%yyyy-%mm-%dd", DateNow());
  const std::string shown = value.artist.empty() ? value.title : value.artist + " - " + value.title;

  std::string bytes, error, path;
  bool writeFailed = false;
  int ok = BuildSongFile(job.codec, job.streamStart, audio, tags, job.fromTitleStart, &bytes, &error);
  if (ok) {
    const std::string ext = SongFileExtension(job.codec, job.streamStart);
    ok = WriteSongFile(Folder(), SongFileBaseName(shown), ext, bytes, &path, &error, &writeFailed);
  }
  if (!ok) {
    // A full disk fails every save after it: said once, until one succeeds.
    if (writeFailed && gWriteFailureTold) return;
    gWriteFailureTold = gWriteFailureTold || writeFailed;
    Log("Song not saved, " + error + ": " + shown);
    Notice(writeFailed ? "Saving stopped: the disk is full" : "Song not saved: " + shown);
    return;
  }
  gWriteFailureTold = false;
  std::string how;
  if (!job.fromTitleStart) how += " (from the oldest byte kept, its start was not)";
  if (job.cutByBreak) how += " (cut by the connection's end)";
  Log(std::string(job.recorded ? "Song recorded" : "Song saved") + how + ": " + path + ", " +
      std::to_string(bytes.size()) + " bytes.");
  Notice((job.fromTitleStart ? "Saved: " : "Saved (from the middle): ") + shown);
}

void SaveWorker(int) {
  for (;;) {
    SaveJob job;
    {
      std::lock_guard<std::mutex> g(gSaveLock);
      if (gSaveJobs.empty()) {
        gSaveWorkerRunning = 0;
        return;
      }
      job = std::move(gSaveJobs.front());
      gSaveJobs.pop_front();
    }
    SaveOne(job);
  }
}

// A title announced at `offset` (the newest byte, or an Ogg stream's first page). Caller
// holds gCapture.lock. 1 when it is a new title.
int AnnounceLocked(const std::string& meta, uint64_t offset, std::vector<SaveJob>& jobs,
                   std::vector<std::string>& lines) {
  Capture& c = gCapture;
  if (!c.titles.empty()) {
    if (c.titles.back().meta == meta) return 0;
    CompleteTitle(c.titles.back(), offset, 0, jobs, lines);
  }
  CaptureTitle t;
  t.id = c.nextId++;
  t.meta = meta;
  // The first title was playing before the connection: its bytes start with the
  // connection's, its own start was never received.
  t.startKnown = !c.titles.empty();
  t.offset = c.titles.empty() ? 0 : offset;
  c.titles.push_back(std::move(t));
  if (c.titles.size() > kMaxTitles) TrimCapture();
  return 1;
}

uint32_t Le32(std::string_view b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}

// "StreamTitle='Artist - Title';" from a Vorbis or Opus comment header (as much of it as
// the page holds); "" when it names no title.
std::string OggCommentMeta(std::string_view p) {
  size_t at;
  if (p.substr(0, 7) == std::string_view("\x03vorbis", 7))
    at = 7;
  else if (p.substr(0, 8) == "OpusTags")
    at = 8;
  else
    return std::string();
  if (p.size() - at < 4) return std::string();
  const size_t vendor = Le32(p, at);
  at += 4;
  if (vendor > p.size() - at || p.size() - at - vendor < 4) return std::string();
  at += vendor;
  const uint32_t count = Le32(p, at);
  at += 4;
  std::string artist, title;
  for (uint32_t i = 0; i < count && p.size() - at >= 4; ++i) {
    const size_t length = Le32(p, at);
    at += 4;
    if (length > p.size() - at) break;
    const std::string_view field = p.substr(at, length);
    at += length;
    const size_t eq = field.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string key = LowerAscii(field.substr(0, eq));
    if (key == "artist" && artist.empty()) artist = field.substr(eq + 1);
    if (key == "title" && title.empty()) title = field.substr(eq + 1);
  }
  if (title.empty()) return std::string();
  return "StreamTitle='" + (artist.empty() ? title : artist + " - " + title) + "';";
}

// Follows the Ogg pages of the newest bytes; a new logical stream's comment header
// announces its title at the stream's first page. Caller holds gCapture.lock; the titles
// go to `announced` for the title queue.
void ScanOggPages(std::vector<SaveJob>& jobs, std::vector<std::string>& lines, std::vector<std::string>& announced) {
  Capture& c = gCapture;
  std::string& b = c.oggPending;
  size_t at = 0;
  for (;;) {
    const size_t sync = b.find("OggS", at);
    if (sync == std::string::npos) {
      at = std::max(at, b.size() > 3 ? b.size() - 3 : size_t(0));  // a pattern may be cut at the end
      break;
    }
    at = sync;
    if (b.size() - at < 27) break;
    const size_t segments = uint8_t(b[at + 26]);
    if (b.size() - at < 27 + segments) break;
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += uint8_t(b[at + 27 + i]);
    if (b.size() - at < 27 + segments + body) break;
    const uint8_t flags = uint8_t(b[at + 5]);
    const uint32_t serial = Le32(b, at + 14);
    const std::string_view data(b.data() + at + 27 + segments, body);
    const uint64_t pageAt = c.oggPendingAt + at;
    if (b[at + 4] == 0 && (flags & 0x02)) {
      c.bosWaiting = true;
      c.bosSerial = serial;
      c.bosAt = pageAt;
    } else if (c.bosWaiting && serial == c.bosSerial) {
      c.bosWaiting = false;
      const std::string meta = OggCommentMeta(data);
      if (!meta.empty() && AnnounceLocked(meta, c.bosAt, jobs, lines)) announced.push_back(meta);
    }
    at += 27 + segments + body;
  }
  b.erase(0, at);
  c.oggPendingAt += at;
}

// Titles an Ogg stream named in itself go to the title queue as ICY metadata would.
void QueueOggTitles(const std::vector<std::string>& announced, int atOnce) {
  for (const std::string& meta : announced) QueueTitleChange(meta, atOnce ? 0 : BufferedSamplesAhead());
}

void StartSaveWorker() {
  std::lock_guard<std::mutex> g(gSaveLock);
  if (gSaveWorkerRunning) return;
  // A worker that has said it ends may still be unwinding: it is joined first.
  if (gSaveWorkerThread && IsThread(gSaveWorkerThread)) WaitThread(gSaveWorkerThread, 1000);
  const int thread = CreateThread(SaveWorker, 0);
  if (!thread) {
    Log("Unable to start the song writer; " + std::to_string(gSaveJobs.size()) + " songs not saved.");
    gSaveJobs.clear();
    return;
  }
  gSaveWorkerThread = thread;
  gSaveWorkerRunning = 1;
}

}  // namespace

uint64_t SongCaptureBegin() {
  std::vector<SaveJob> jobs;
  std::vector<std::string> lines;
  uint64_t number;
  {
    std::lock_guard<std::mutex> g(gCapture.lock);
    Capture& c = gCapture;
    CloseConnection(jobs, lines);
    number = ++c.connection;
    c.open = true;
    c.codec.clear();
    c.streamStart.clear();
    c.pieces.clear();
    c.begin = c.end = 0;
    c.titles.clear();
    c.heardId = 0;
    c.oggTitles = false;
    c.oggPending.clear();
    c.oggPendingAt = 0;
    c.bosWaiting = false;
  }
  QueueJobs(jobs, lines);
  return number;
}

void SongCaptureDownload(const void* buffer, DWORD length, void* user) {
  std::vector<SaveJob> jobs;
  std::vector<std::string> lines, announced;
  {
    std::lock_guard<std::mutex> g(gCapture.lock);
    Capture& c = gCapture;
    if (reinterpret_cast<uintptr_t>(user) != c.connection || !c.open) return;
    if (!buffer || length == 0) {
      CloseConnection(jobs, lines);
    } else {
      const char* data = static_cast<const char*>(buffer);
      size_t left = length;
      if (c.streamStart.size() < kStreamStartBytes)
        c.streamStart.append(data, std::min<size_t>(left, kStreamStartBytes - c.streamStart.size()));
      while (left > 0) {
        if (c.pieces.empty() || c.pieces.back()->size() == kPieceBytes) {
          c.pieces.push_back(std::make_shared<std::string>());
          c.pieces.back()->reserve(kPieceBytes);
        }
        std::string& p = *c.pieces.back();
        const size_t take = std::min(left, kPieceBytes - p.size());
        p.append(data, take);
        data += take;
        left -= take;
        c.end += take;
      }
      // The bound: the oldest pieces go, whatever title they hold.
      while (c.end - c.begin > kSongRingBytes && c.pieces.size() > 1) {
        c.begin += c.pieces.front()->size();
        c.pieces.pop_front();
      }
      c.peakBytes = std::max(c.peakBytes, c.end - c.begin);
      if (c.oggTitles) {
        c.oggPending.append(static_cast<const char*>(buffer), length);
        ScanOggPages(jobs, lines, announced);
      }
    }
  }
  QueueJobs(jobs, lines);
  QueueOggTitles(announced, 0);
}

void SongCaptureEnd(int atExit) {
  std::vector<SaveJob> jobs;
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> g(gCapture.lock);
    CloseConnection(jobs, lines, atExit != 0);
  }
  QueueJobs(jobs, lines);
}

int SongWriterThread() {
  std::lock_guard<std::mutex> g(gSaveLock);
  return gSaveWorkerThread;
}

void SongCaptureConnected(uint32_t ctype, int icyMetadata) {
  const std::string codec = CodecOfChannelType(ctype);
  std::vector<SaveJob> jobs;
  std::vector<std::string> lines, announced;
  {
    std::lock_guard<std::mutex> g(gCapture.lock);
    Capture& c = gCapture;
    c.codec = codec;
    if (codec == "ogg" && !icyMetadata && c.open) {
      // The pages received so far are followed from the connection's start.
      c.oggTitles = true;
      c.oggPending.clear();
      c.oggPendingAt = c.begin;
      for (const Piece& piece : c.pieces) c.oggPending += *piece;
      ScanOggPages(jobs, lines, announced);
    }
  }
  if (codec.empty() && Logging()) Log("Songs of this stream's format cannot be saved.");
  QueueJobs(jobs, lines);
  // The first is heard at once; a later one when the audio before it has played.
  for (size_t i = 0; i < announced.size(); ++i) QueueOggTitles({announced[i]}, i == 0);
}

void SongCaptureTitle(const std::string& meta, int first) {
  std::vector<SaveJob> jobs;
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> g(gCapture.lock);
    Capture& c = gCapture;
    if (!c.open || c.oggTitles) return;
    // The title the connection began with: only when no change came before it.
    if (first && !c.titles.empty()) return;
    AnnounceLocked(meta, c.end, jobs, lines);
  }
  QueueJobs(jobs, lines);
}

void SongCaptureHeard(const std::string& meta) {
  std::lock_guard<std::mutex> g(gCapture.lock);
  Capture& c = gCapture;
  for (const CaptureTitle& t : c.titles) {
    if (t.id > c.heardId && t.meta == meta) {
      c.heardId = t.id;
      TrimCapture();
      return;
    }
  }
}

int SongSaveAvailable() {
  std::lock_guard<std::mutex> g(gCapture.lock);
  // An announcement without a name (Icecast's StreamTitle='' before a source sets one)
  // is no title to save.
  for (const CaptureTitle& t : gCapture.titles)
    if (t.id == gCapture.heardId) return gCapture.codec.empty() || TitleText(t.meta).empty() ? 0 : 1;
  return 0;
}

int SaveHeardSong() {
  std::vector<SaveJob> jobs;
  std::vector<std::string> lines;
  int result = kSaveSongNoTitle;
  std::string shown;
  {
    std::lock_guard<std::mutex> g(gCapture.lock);
    Capture& c = gCapture;
    for (size_t i = 0; i < c.titles.size(); ++i) {
      CaptureTitle& t = c.titles[i];
      if (t.id != c.heardId) continue;
      shown = TitleText(t.meta);
      if (shown.empty()) break;
      if (c.codec.empty()) {
        result = kSaveSongFormat;
      } else if (t.saved || t.requested) {
        result = kSaveSongAlready;
      } else {
        t.requested = true;
        const bool complete = i + 1 < c.titles.size() || !c.open;
        if (complete) CompleteTitle(t, i + 1 < c.titles.size() ? c.titles[i + 1].offset : c.end, !c.open, jobs, lines);
        result = complete ? kSaveSongWriting : kSaveSongAtEnd;
      }
      break;
    }
  }
  QueueJobs(jobs, lines);
  switch (result) {
    case kSaveSongNoTitle:
      Log("Save This Song: the station has sent no title.");
      Notice("No song to save: the station has sent no title");
      break;
    case kSaveSongFormat:
      Log("Save This Song: songs of this stream's format cannot be saved.");
      Notice("Songs of this stream cannot be saved");
      break;
    case kSaveSongAlready:
      Notice("Already saved: " + shown);
      break;
    case kSaveSongAtEnd:
      Log("Save This Song: " + shown + " is saved when it ends.");
      Notice("Saving when it ends: " + shown);
      break;
    default:
      break;
  }
  return result;
}

void SetRecordAll(int on) {
  std::vector<SaveJob> jobs;
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> g(gCapture.lock);
    Capture& c = gCapture;
    gSettings.recordAll = on ? 1 : 0;
    // From the title heard now: it is kept only if its start was received.
    if (on) {
      // A connection that has ended has nothing left to record.
      c.recordFromId = c.open && c.heardId ? c.heardId : c.nextId;
      for (size_t i = 0; c.open && i + 1 < c.titles.size(); ++i)
        if (c.titles[i].id >= c.recordFromId) CompleteTitle(c.titles[i], c.titles[i + 1].offset, 0, jobs, lines);
    }
  }
  Log(on ? "Record Every Song is on." : "Record Every Song is off.");
  QueueJobs(jobs, lines);
}

std::string TakeSongNotice() {
  std::lock_guard<std::mutex> g(gNoticeLock);
  if (gNotices.empty()) return std::string();
  std::string text = std::move(gNotices.back());
  gNotices.clear();
  return text;
}

int SongSavesPending() {
  std::lock_guard<std::mutex> g(gSaveLock);
  return int(gSaveJobs.size()) + gSaveWorkerRunning;
}

SongCaptureFigures GetSongCaptureFigures() {
  std::lock_guard<std::mutex> g(gCapture.lock);
  SongCaptureFigures f;
  f.keptBytes = gCapture.end - gCapture.begin;
  f.peakBytes = gCapture.peakBytes;
  f.receivedBytes = gCapture.end;
  f.titles = gCapture.titles.size();
  return f;
}

std::string SongFileName(const std::string& artistTitle) { return SongFileBaseName(artistTitle); }
