// The song log's SQLite database: opening with recovery, the schema steps, the writer's
// batches and the window's reads. The only file that includes sqlite3.h (both builds).
#include <sqlite3.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"

struct SongStore {
  sqlite3* db = nullptr;
  int version = 0;
  int writable = 0;
};

namespace {

constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();

// One statement per schema version: the step from version n to n + 1 is kSteps[n].
const char* const kSteps[] = {
    // 1: the heard titles.
    "CREATE TABLE songs("
    " id INTEGER PRIMARY KEY,"
    " started TEXT NOT NULL,"
    " ended TEXT NOT NULL,"
    " seconds REAL NOT NULL DEFAULT 0,"
    " artist TEXT NOT NULL DEFAULT '',"
    " title TEXT NOT NULL DEFAULT '',"
    " album TEXT NOT NULL DEFAULT '',"
    " stream_title TEXT NOT NULL DEFAULT '',"
    " station_id TEXT NOT NULL DEFAULT '',"
    " stream_name TEXT NOT NULL DEFAULT '',"
    " codec TEXT NOT NULL DEFAULT '',"
    " bitrate INTEGER NOT NULL DEFAULT 0,"
    " rms REAL,"
    " peak REAL,"
    " favourite INTEGER NOT NULL DEFAULT 0);"
    // The favourites-only list walks this index newest first.
    "CREATE INDEX songs_favourite ON songs(favourite, id);",
    // 2: the EBU R128 figures of a title (NULL when it was not measured).
    "ALTER TABLE songs ADD COLUMN lufs REAL;"
    "ALTER TABLE songs ADD COLUMN lu_range REAL;"
    "ALTER TABLE songs ADD COLUMN true_peak REAL;",
    // 3: the folded artist, title and album the filter searches, so that a search reads
    // one stored text per row instead of folding three at every keystroke.
    "ALTER TABLE songs ADD COLUMN search TEXT NOT NULL DEFAULT '';"
    "UPDATE songs SET search = song_fold(artist || char(10) || title || char(10) || album);"
    // A filter's count walks this narrow index instead of the whole table.
    "CREATE INDEX songs_search ON songs(search);",
};
static_assert(sizeof(kSteps) / sizeof(kSteps[0]) == kSongStoreVersion);

int ResultOf(int code) {
  switch (code & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return SongStoreOk;
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_READONLY:
      return SongStoreFull;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return SongStoreBusy;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return SongStoreCorrupt;
    default:
      return SongStoreError;
  }
}

std::string ErrorText(sqlite3* db, int code) {
  std::string text = sqlite3_errstr(code);
  if (db) {
    const char* message = sqlite3_errmsg(db);
    if (message && text != message) text += std::string(": ") + message;
  }
  return text;
}

void SongFoldFunction(sqlite3_context* context, int count, sqlite3_value** values) {
  if (count != 1 || sqlite3_value_type(values[0]) == SQLITE_NULL) {
    sqlite3_result_text(context, "", 0, SQLITE_STATIC);
    return;
  }
  const unsigned char* text = sqlite3_value_text(values[0]);
  int bytes = sqlite3_value_bytes(values[0]);
  std::string folded = SongSearchFold(std::string_view(reinterpret_cast<const char*>(text), size_t(bytes)));
  sqlite3_result_text(context, folded.data(), int(folded.size()), SQLITE_TRANSIENT);
}

// A statement that is finalised however the routine leaves.
struct Statement {
  sqlite3_stmt* s = nullptr;
  ~Statement() { sqlite3_finalize(s); }
};

int Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK && error) *error = ErrorText(db, rc);
  sqlite3_free(message);
  return rc;
}

// The first column of the first row of sql as text ("" when none); *rc gets the code.
std::string FirstText(sqlite3* db, const char* sql, int* rc) {
  Statement st;
  *rc = sqlite3_prepare_v2(db, sql, -1, &st.s, nullptr);
  if (*rc != SQLITE_OK) return std::string();
  int step = sqlite3_step(st.s);
  if (step == SQLITE_ROW) {
    const unsigned char* t = sqlite3_column_text(st.s, 0);
    *rc = SQLITE_OK;
    return t ? reinterpret_cast<const char*>(t) : "";
  }
  *rc = step == SQLITE_DONE ? SQLITE_OK : step;
  return std::string();
}

int Migrate(SongStore* store, std::string* error) {
  int rc;
  std::string v = FirstText(store->db, "PRAGMA user_version", &rc);
  if (rc != SQLITE_OK) {
    if (error) *error = ErrorText(store->db, rc);
    return rc;
  }
  store->version = std::atoi(v.c_str());
  // A newer player's file keeps its version: its added columns do not stop ours.
  while (store->version < kSongStoreVersion) {
    rc = Exec(store->db, "BEGIN IMMEDIATE", error);
    if (rc != SQLITE_OK) return rc;
    rc = Exec(store->db, kSteps[store->version], error);
    std::string bump = "PRAGMA user_version = " + std::to_string(store->version + 1);
    if (rc == SQLITE_OK) rc = Exec(store->db, bump.c_str(), error);
    if (rc == SQLITE_OK) rc = Exec(store->db, "COMMIT", error);
    if (rc != SQLITE_OK) {
      sqlite3_exec(store->db, "ROLLBACK", nullptr, nullptr, nullptr);
      return rc;
    }
    ++store->version;
  }
  return SQLITE_OK;
}

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Moves the file and its WAL companions out of the way; 1 when the database file went.
int MoveAside(const std::string& path, std::string* movedTo) {
  std::string base = path + ".corrupt-" + FormatDate("%yyyy%mm%dd-%hh%ii%ss", DateNow());
  std::string target = base;
  std::error_code ec;
  for (int n = 2; std::filesystem::exists(FsPath(target), ec) && n < 100; ++n) target = base + "-" + std::to_string(n);
  std::filesystem::rename(FsPath(path), FsPath(target), ec);
  if (ec && std::filesystem::exists(FsPath(path))) return 0;
  for (const char* suffix : {"-wal", "-shm"}) {
    std::error_code ignored;
    if (std::filesystem::exists(FsPath(path + suffix), ignored))
      std::filesystem::rename(FsPath(path + suffix), FsPath(target + suffix), ignored);
  }
  *movedTo = target;
  return 1;
}

// Opens and prepares one connection; a SQLite code, the store filled on success.
int OpenOnce(const std::string& path, int writable, int busyMs, SongStore* store, std::string* error) {
  int flags = writable ? (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) : SQLITE_OPEN_READONLY;
  int rc = sqlite3_open_v2(path.c_str(), &store->db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = ErrorText(store->db, rc);
    sqlite3_close_v2(store->db);
    store->db = nullptr;
    return rc;
  }
  sqlite3_extended_result_codes(store->db, 1);
  sqlite3_busy_timeout(store->db, busyMs > 0 ? busyMs : 1);
  sqlite3_create_function(store->db, "song_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, SongFoldFunction,
                          nullptr, nullptr);
  if (writable) {
    std::string mode = FirstText(store->db, "PRAGMA journal_mode=WAL", &rc);
    if (rc == SQLITE_OK && mode != "wal") rc = SQLITE_ERROR;
    // Each title's row is the listener's data: a commit reaches the disk before it counts.
    if (rc == SQLITE_OK) rc = Exec(store->db, "PRAGMA synchronous=FULL", error);
    if (rc == SQLITE_OK) {
      std::string check = FirstText(store->db, "PRAGMA quick_check(1)", &rc);
      if (rc == SQLITE_OK && check != "ok") {
        rc = SQLITE_CORRUPT;
        if (error) *error = "integrity check: " + check;
      }
    }
    if (rc == SQLITE_OK) rc = Migrate(store, error);
  } else {
    std::string v = FirstText(store->db, "PRAGMA user_version", &rc);
    store->version = std::atoi(v.c_str());
    // The window's filter scans every row: mapped pages spare it a read call per page.
    if (rc == SQLITE_OK) sqlite3_exec(store->db, "PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    if (error && error->empty()) *error = ErrorText(store->db, rc);
    sqlite3_close_v2(store->db);
    store->db = nullptr;
  }
  return rc;
}

double ColumnDouble(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return kAbsent;
  return sqlite3_column_double(s, column);
}

std::string ColumnText(sqlite3_stmt* s, int column) {
  const unsigned char* t = sqlite3_column_text(s, column);
  return t ? std::string(reinterpret_cast<const char*>(t), size_t(sqlite3_column_bytes(s, column))) : std::string();
}

// The row's columns, with NULL in place of those an older file does not have.
std::string SelectList(int version) {
  std::string list =
      "id, started, ended, seconds, artist, title, album, stream_title, station_id, stream_name, codec, bitrate, "
      "rms, peak, ";
  list += version >= 2 ? "lufs, lu_range, true_peak, " : "NULL, NULL, NULL, ";
  list += "favourite";
  return list;
}

void ReadRow(sqlite3_stmt* s, SongRow* row) {
  row->id = sqlite3_column_int64(s, 0);
  row->started = ColumnText(s, 1);
  row->ended = ColumnText(s, 2);
  row->seconds = sqlite3_column_double(s, 3);
  row->artist = ColumnText(s, 4);
  row->title = ColumnText(s, 5);
  row->album = ColumnText(s, 6);
  row->streamTitle = ColumnText(s, 7);
  row->stationId = ColumnText(s, 8);
  row->streamName = ColumnText(s, 9);
  row->codec = ColumnText(s, 10);
  row->bitrate = sqlite3_column_int(s, 11);
  row->rms = ColumnDouble(s, 12);
  row->peak = ColumnDouble(s, 13);
  row->lufs = ColumnDouble(s, 14);
  row->luRange = ColumnDouble(s, 15);
  row->truePeak = ColumnDouble(s, 16);
  row->favourite = sqlite3_column_int(s, 17);
}

// The WHERE clause of the window's reads; ?1 is the folded filter.
std::string WhereClause(int version, const std::string& filter, int favouritesOnly) {
  std::string where;
  if (!filter.empty()) {
    where = version >= 3 ? "instr(search, ?1) > 0"
                         : "instr(song_fold(artist || char(10) || title || char(10) || album), ?1) > 0";
  }
  if (favouritesOnly) where += where.empty() ? "favourite = 1" : " AND favourite = 1";
  return where.empty() ? std::string() : " WHERE " + where;
}

void BindDouble(sqlite3_stmt* s, int index, double value) {
  if (std::isfinite(value))
    sqlite3_bind_double(s, index, value);
  else
    sqlite3_bind_null(s, index);
}

void BindText(sqlite3_stmt* s, int index, const std::string& text) {
  sqlite3_bind_text(s, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(char(c));
  } else if (c < 0x800) {
    out.push_back(char(0xC0 | (c >> 6)));
    out.push_back(char(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(char(0xE0 | (c >> 12)));
    out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(char(0x80 | (c & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (c >> 18)));
    out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(char(0x80 | (c & 0x3F)));
  }
}

uint32_t FoldCodePoint(uint32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c < 0xC0) return c;
  if (c <= 0xDE) return c == 0xD7 ? c : c + 32;
  if (c == 0x130) return 'i';
  if (c == 0x178) return 0xFF;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return (c % 2 == 0) ? c + 1 : c;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

}  // namespace

std::string SongSearchFold(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c = 0;
    size_t length = 0;
    if (b < 0x80) {
      c = b;
      length = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      length = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      length = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      length = 4;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      unsigned char n = static_cast<unsigned char>(text[i + k]);
      if ((n & 0xC0) != 0x80) valid = false;
      c = (c << 6) | (n & 0x3F);
    }
    // Anything that is not a well-formed character is kept byte for byte.
    if (!valid || (length == 2 && c < 0x80) || (length == 3 && c < 0x800)) {
      out.push_back(char(b));
      ++i;
      continue;
    }
    AppendUtf8(out, FoldCodePoint(c));
    i += length;
  }
  return out;
}

SongStore* SongStoreOpen(const std::string& path, int writable, int busyMs, int* result, std::string* note) {
  std::string error;
  auto* store = new SongStore;
  store->writable = writable;
  bool existed = FileExists(path);
  if (!writable && !existed) {
    if (result) *result = SongStoreMissing;
    if (note) *note = "no song log at " + path;
    delete store;
    return nullptr;
  }
  int rc = OpenOnce(path, writable, busyMs, store, &error);
  if (rc == SQLITE_OK) {
    if (result) *result = SongStoreOk;
    if (note) note->clear();
    return store;
  }
  int kind = ResultOf(rc);
  // Only a file that is there and cannot be used is moved aside: a missing folder or a
  // busy lock says nothing about the file.
  if (writable && existed && kind == SongStoreCorrupt) {
    std::string movedTo;
    if (MoveAside(path, &movedTo)) {
      std::string first = error;
      error.clear();
      rc = OpenOnce(path, writable, busyMs, store, &error);
      if (rc == SQLITE_OK) {
        if (result) *result = SongStoreOk;
        if (note) *note = "the song log could not be read (" + first + "); moved to " + movedTo + ", a new one started";
        return store;
      }
      kind = ResultOf(rc);
    } else {
      error += "; it could not be moved aside";
    }
  }
  if (result) *result = kind;
  if (note) *note = error;
  delete store;
  return nullptr;
}

void SongStoreClose(SongStore* store) {
  if (!store) return;
  if (store->db) {
    // The last writer folds the WAL back into the file so that it travels alone.
    if (store->writable) sqlite3_exec(store->db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close_v2(store->db);
  }
  delete store;
}

int SongStoreVersion(SongStore* store) { return store ? store->version : 0; }

int SongStoreAppend(SongStore* store, const std::vector<SongRow>& rows, std::vector<int64_t>* ids, std::string* error) {
  if (ids) ids->clear();
  if (!store || !store->db || !store->writable) return SongStoreError;
  if (rows.empty()) return SongStoreOk;
  int rc = Exec(store->db, "BEGIN IMMEDIATE", error);
  if (rc != SQLITE_OK) return ResultOf(rc);
  {
    Statement st;
    rc = sqlite3_prepare_v2(store->db,
                            "INSERT INTO songs(started, ended, seconds, artist, title, album, stream_title, station_id,"
                            " stream_name, codec, bitrate, rms, peak, lufs, lu_range, true_peak, favourite, search)"
                            " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)",
                            -1, &st.s, nullptr);
    for (size_t i = 0; rc == SQLITE_OK && i < rows.size(); ++i) {
      const SongRow& r = rows[i];
      sqlite3_reset(st.s);
      BindText(st.s, 1, r.started);
      BindText(st.s, 2, r.ended);
      sqlite3_bind_double(st.s, 3, std::isfinite(r.seconds) ? r.seconds : 0.0);
      BindText(st.s, 4, r.artist);
      BindText(st.s, 5, r.title);
      BindText(st.s, 6, r.album);
      BindText(st.s, 7, r.streamTitle);
      BindText(st.s, 8, r.stationId);
      BindText(st.s, 9, r.streamName);
      BindText(st.s, 10, r.codec);
      sqlite3_bind_int(st.s, 11, r.bitrate);
      BindDouble(st.s, 12, r.rms);
      BindDouble(st.s, 13, r.peak);
      BindDouble(st.s, 14, r.lufs);
      BindDouble(st.s, 15, r.luRange);
      BindDouble(st.s, 16, r.truePeak);
      sqlite3_bind_int(st.s, 17, r.favourite ? 1 : 0);
      BindText(st.s, 18, SongSearchFold(r.artist + "\n" + r.title + "\n" + r.album));
      rc = sqlite3_step(st.s);
      if (rc == SQLITE_DONE) {
        rc = SQLITE_OK;
        if (ids) ids->push_back(sqlite3_last_insert_rowid(store->db));
      }
    }
    if (rc != SQLITE_OK && error) *error = ErrorText(store->db, rc);
  }
  if (rc == SQLITE_OK) rc = Exec(store->db, "COMMIT", error);
  if (rc != SQLITE_OK) {
    sqlite3_exec(store->db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (ids) ids->clear();
  }
  return ResultOf(rc);
}

int SongStoreSetFavourite(SongStore* store, int64_t id, int favourite, std::string* error) {
  if (!store || !store->db || !store->writable) return SongStoreError;
  Statement st;
  int rc = sqlite3_prepare_v2(store->db, "UPDATE songs SET favourite = ?1 WHERE id = ?2", -1, &st.s, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_int(st.s, 1, favourite ? 1 : 0);
    sqlite3_bind_int64(st.s, 2, id);
    rc = sqlite3_step(st.s);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc != SQLITE_OK && error) *error = ErrorText(store->db, rc);
  return ResultOf(rc);
}

int64_t SongStoreCount(SongStore* store, const std::string& filter, int favouritesOnly) {
  if (!store || !store->db) return -1;
  std::string folded = SongSearchFold(filter);
  std::string sql = "SELECT count(*) FROM songs" + WhereClause(store->version, folded, favouritesOnly);
  Statement st;
  if (sqlite3_prepare_v2(store->db, sql.c_str(), -1, &st.s, nullptr) != SQLITE_OK) return -1;
  if (!folded.empty()) BindText(st.s, 1, folded);
  if (sqlite3_step(st.s) != SQLITE_ROW) return -1;
  return sqlite3_column_int64(st.s, 0);
}

int SongStoreRows(SongStore* store, const std::string& filter, int favouritesOnly, int64_t offset, int64_t limit,
                  std::vector<SongRow>* rows) {
  if (rows) rows->clear();
  if (!store || !store->db || !rows) return 0;
  std::string folded = SongSearchFold(filter);
  std::string sql = "SELECT " + SelectList(store->version) + " FROM songs" +
                    WhereClause(store->version, folded, favouritesOnly) + " ORDER BY id DESC LIMIT ?2 OFFSET ?3";
  Statement st;
  if (sqlite3_prepare_v2(store->db, sql.c_str(), -1, &st.s, nullptr) != SQLITE_OK) return 0;
  if (!folded.empty()) BindText(st.s, 1, folded);
  sqlite3_bind_int64(st.s, 2, limit < 0 ? 0 : limit);
  sqlite3_bind_int64(st.s, 3, offset < 0 ? 0 : offset);
  int rc;
  while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
    rows->emplace_back();
    ReadRow(st.s, &rows->back());
  }
  if (rc != SQLITE_DONE) {
    rows->clear();
    return 0;
  }
  return 1;
}

int SongStoreEach(SongStore* store, int (*visit)(const SongRow& row, void* user), void* user, std::string* error) {
  if (!store || !store->db) return SongStoreError;
  std::string sql = "SELECT " + SelectList(store->version) + " FROM songs ORDER BY id";
  Statement st;
  int rc = sqlite3_prepare_v2(store->db, sql.c_str(), -1, &st.s, nullptr);
  SongRow row;
  while (rc == SQLITE_OK && (rc = sqlite3_step(st.s)) == SQLITE_ROW) {
    ReadRow(st.s, &row);
    rc = visit(row, user) ? SQLITE_OK : SQLITE_DONE;
  }
  if (rc == SQLITE_DONE) rc = SQLITE_OK;
  if (rc != SQLITE_OK && error) *error = ErrorText(store->db, rc);
  return ResultOf(rc);
}
