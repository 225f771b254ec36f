// Data files and settings: the JSON facility every file and download goes through,
// the installed station and version files, the stream-list cache and the settings
// file. This header is the whole surface of the subsystem for the others.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// =====================================================================================
// JSON documents
// =====================================================================================
//
// A value has one of six kinds. A number written without fraction and exponent is held
// as a 64-bit integer, any other number as a double (an integer form beyond the 64-bit
// range is held as a double). Strings are UTF-16 code units, so positions and "\u"
// escapes behave as in the file; the UTF-8 accessors serve the rest of the player.
// Object members keep their insertion order; setting a member whose name is present
// replaces its value in place (a later duplicate in a file wins).
//
// Pointers returned by the accessors and the creation routines stay valid until the
// value itself is replaced or the document is freed. Documents can be nested as deep as
// kJsonMaxDepth; the reader, the writer and the destructor never recurse.

enum class JsonKind : uint8_t { Null, String, Number, Boolean, Array, Object };

// Deeper nesting is rejected by the reader with "Out of memory".
constexpr int kJsonMaxDepth = 512;

class JsonValue {
 public:
  JsonValue();
  explicit JsonValue(JsonKind kind);
  ~JsonValue();
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(JsonValue&& other) noexcept;
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;

  JsonKind Kind() const { return kind_; }
  bool IsNull() const { return kind_ == JsonKind::Null; }
  bool IsString() const { return kind_ == JsonKind::String; }
  bool IsNumber() const { return kind_ == JsonKind::Number; }
  bool IsBoolean() const { return kind_ == JsonKind::Boolean; }
  bool IsArray() const { return kind_ == JsonKind::Array; }
  bool IsObject() const { return kind_ == JsonKind::Object; }
  // A number held as a 64-bit integer (written without fraction and exponent).
  bool IsInteger() const { return kind_ == JsonKind::Number && isInteger_; }

  // Scalar getters; a value of another kind yields "", 0, 0.0 or false.
  std::string GetString() const;              // UTF-8
  const std::u16string& GetString16() const;  // the code units as held
  // A double is truncated toward zero and saturated to the 64-bit range (NaN gives 0).
  int64_t GetInteger() const;
  double GetDouble() const;
  bool GetBool() const;

  // Arrays: elements; objects: members. 0 for the other kinds.
  size_t Size() const;
  JsonValue* Element(size_t index) const;  // nullptr when out of range or not an array
  // Member by exact, case-sensitive name; nullptr when absent or not an object.
  JsonValue* Member(std::string_view name) const;
  JsonValue* Member16(std::u16string_view name) const;
  // Member iteration in insertion order (index < Size()).
  std::string MemberName(size_t index) const;
  const std::u16string& MemberName16(size_t index) const;
  JsonValue* MemberValue(size_t index) const;

  // Setters turn the value into the given kind (dropping what it held).
  void SetNull();
  void SetBool(bool value);
  void SetInteger(int64_t value);
  void SetDouble(double value);
  void SetString(std::string_view utf8);
  void SetString16(std::u16string value);
  void SetArray();   // empty array
  void SetObject();  // empty object

  // Creation for the writer. Each returns the new value, or nullptr when out of memory
  // or when this value is not of the container kind the call needs.
  JsonValue* SetMember(std::string_view name, JsonKind kind);  // add or replace
  JsonValue* SetMember16(std::u16string name, JsonKind kind);
  JsonValue* AddElement(JsonKind kind);
  // Shorthands: a member of the given kind already set to the value.
  JsonValue* SetMemberString(std::string_view name, std::string_view utf8);
  JsonValue* SetMemberInteger(std::string_view name, int64_t value);
  JsonValue* SetMemberDouble(std::string_view name, double value);
  JsonValue* SetMemberBool(std::string_view name, bool value);
  JsonValue* SetMemberObject(std::string_view name);
  JsonValue* SetMemberArray(std::string_view name);

 private:
  friend struct JsonAccess;
  void Clear();

  JsonKind kind_ = JsonKind::Null;
  bool isInteger_ = false;
  bool boolean_ = false;
  int64_t integer_ = 0;
  double double_ = 0.0;
  std::u16string text_;
  // Elements of an array, member values of an object (names in names_, same order).
  std::vector<std::unique_ptr<JsonValue>> children_;
  std::vector<std::u16string> names_;
  // Name -> index, built once an object grows large so lookups stay cheap.
  std::unique_ptr<struct JsonIndex> index_;
};

// A document owns its root value and everything below it.
struct JsonDocument {
  JsonValue root;
};

// --- Reading ---------------------------------------------------------------------------
// Parses UTF-8 bytes (converted to UTF-16 first; invalid UTF-8 becomes U+FFFD). Returns
// nullptr on failure and leaves the calling thread's error record set. Every parse
// resets the record first (message "", line and position -1).
std::unique_ptr<JsonDocument> ParseJson(const void* data, size_t size);
inline std::unique_ptr<JsonDocument> ParseJson(std::string_view text) { return ParseJson(text.data(), text.size()); }
// Reads the whole file and parses it. An unreadable file fails with the message
// "Unable to read file" (line and position -1).
std::unique_ptr<JsonDocument> LoadJsonFile(const std::string& path);

// The calling thread's error record after a failed parse. The position is 1-based
// (a failure before the first character of a line reports 1).
std::string JsonErrorMessage();
int64_t JsonErrorLine();
int64_t JsonErrorPosition();

// --- Writing ---------------------------------------------------------------------------
// Pretty form: CR LF line breaks, members two spaces in, colons aligned, values four in.
// Compact form: no line breaks, indentation or alignment, no space after the colon.
std::string ComposeJson(const JsonValue& value, int pretty = 1);
// Writes the document as UTF-8 (no byte-order mark) through a 4096-byte buffered writer
// into a temporary file in the same folder, then renames it over `path`, so a failed or
// interrupted save leaves the old file intact. 1 only when every byte was written.
int SaveJsonFile(const JsonDocument& document, const std::string& path, int pretty = 1);

// --- Member getters with defaults --------------------------------------------------------
// All accept a missing parent (nullptr) and then yield the default; an empty name means
// the parent value itself. Integer and float getters need a JSON number, the string
// getter a JSON string; any other kind yields the default.
int64_t GetJsonInteger(const JsonValue* parent, std::string_view name, int64_t def);
double GetJsonFloat(const JsonValue* parent, std::string_view name, double def);
std::string GetJsonString(const JsonValue* parent, std::string_view name, std::string_view def);
const JsonValue* GetJsonObject(const JsonValue* parent, std::string_view name);  // nullptr if not
const JsonValue* GetJsonArray(const JsonValue* parent, std::string_view name);   // nullptr if not
// Element `index` of an array when it is a string, else "".
std::string GetJsonArrayString(const JsonValue* array, size_t index);

// --- Text conversion ---------------------------------------------------------------------
std::u16string Utf8ToUtf16(std::string_view utf8);   // invalid sequences become U+FFFD
std::string Utf16ToUtf8(std::u16string_view utf16);  // lone surrogates become U+FFFD

// =====================================================================================
// Station and version files
// =====================================================================================

// Filled once by LoadProgramData on the main thread before any worker exists;
// read-only afterwards, so no lock.
struct StationInfo {
  std::string name;
  std::string id;
  std::string website;
  int64_t refreshInterval = 0;           // milliseconds, 60000 .. 86400000
  std::vector<std::string> infoUrls;     // stream-information service, tried in order
  std::vector<std::string> versionUrls;  // version lists, tried in order
};

extern StationInfo gStation;

// Splits a version text at "." into its first two fields as decimal numbers; a missing
// or non-numeric field is 0 ("5.4" -> 5, 4; "5" -> 5, 0).
void SplitVersion(std::string_view text, int64_t& major, int64_t& minor);

// Reads "version.json" and "station.json" from gApp.dataFolder into gStation, then the
// settings from gApp.userFolder (creating that folder when needed). Returns "" when the
// installed files were read, else the text of the fatal fault in them: the caller
// reports it and ends the program without saving anything. *settingsAccepted (when
// given) becomes 1 when "settings.json" was loaded and accepted, 0 when defaults are in use.
std::string LoadProgramData(int* settingsAccepted = nullptr);

// =====================================================================================
// Stream list entries and the stream-list cache ("streams.json")
// =====================================================================================

// One playable stream. The playback subsystem keeps the ordered list with its current
// position (StreamList); these routines work on plain lists of entries.
struct StreamEntry {
  std::string id;
  std::string url;  // never empty in a list
  std::string codec;
  int64_t bitrate = 0;
};

// Clears `list`, then appends one entry per object element of value's "stream" array
// that has a non-empty "url" (a fractional bitrate is truncated toward zero). Logs
// "Streaminfo stream array not found." when there is no such array. Returns the size.
int ReadStreamArray(std::vector<StreamEntry>& list, const JsonValue* value);

// True when both lists have the same entries in the same order (every field compared).
bool StreamListsEqual(const std::vector<StreamEntry>& a, const std::vector<StreamEntry>& b);

// After a fetch that produced entries: rewrites "streams.json" in the per-user folder
// unless it already holds the same list. Returns 1 when the cache is current or was
// saved, 0 when the save failed (the old file is then left as it was).
int SaveStreamListCache(const std::vector<StreamEntry>& list);

// After a fetch that produced none: replaces `list` by the "stream" array of
// "streams.json" when that file loads, and if the list is then still empty by the one
// of "station.json" in the program data folder. Returns the list size.
int LoadStreamListCache(std::vector<StreamEntry>& list);

// =====================================================================================
// Settings ("settings.json")
// =====================================================================================

constexpr int32_t kNoPosition = -32000;  // window position not stored: centre on cursor

// The user's preferences and window placements; each is one member of the settings
// file, with its default, in the table of settings.cpp. Flags are 0 or 1.
//
// Fixed-size fields: written mostly by the main thread; bitrate by the playback worker,
// versionCheck by the version-check worker; read by any thread; atomic.
// Strings: written by the main thread, codec by the playback worker and
// downloadSavePath by the version-check worker; guarded by stringLock, so use the
// accessors below from any thread.
struct Settings {
  // "player"
  std::atomic<int64_t> versionCheck;  // automatic version check
  std::atomic<int64_t> streamInfo;    // fetch stream information
  std::atomic<int64_t> artwork;       // artwork in the information window
  std::atomic<int64_t> trayIcon;      // notification-area icon
  std::atomic<int64_t> bitrate;       // bitrate of the stream last connected
  // "volume"
  std::atomic<int64_t> preset;  // volume mode: 0 automatic, 1 preset 1, 2 preset 2
  std::atomic<float> preset1;   // volume factor of preset 1, 0.01 .. 1.0
  std::atomic<float> preset2;   // volume factor of preset 2, 0.01 .. 1.0
  std::atomic<int64_t> muted;
  std::atomic<int64_t> hotkey;   // register the media play/pause key
  std::atomic<int64_t> measure;  // "measure": what the volume step steers by (LoudnessMeasure)
  // "main"
  std::atomic<int32_t> mainX;
  std::atomic<int32_t> mainY;
  std::atomic<int64_t> mainSticky;  // main window kept above others
  // "stats"
  std::atomic<int64_t> statsState;  // statistics window open
  std::atomic<int32_t> statsX;
  std::atomic<int32_t> statsY;
  // "info"
  std::atomic<int64_t> infoState;  // information window open
  std::atomic<int32_t> infoX;
  std::atomic<int32_t> infoY;
  std::atomic<int32_t> infoW;
  std::atomic<int32_t> infoH;
  // "songlog": the song log window's frame position and client size
  std::atomic<int32_t> songLogX;
  std::atomic<int32_t> songLogY;
  std::atomic<int32_t> songLogW;
  std::atomic<int32_t> songLogH;
  // "prefs"
  std::atomic<int32_t> prefsX;
  std::atomic<int32_t> prefsY;
  // "debug"
  std::atomic<int32_t> debugX;
  std::atomic<int32_t> debugY;
  std::atomic<int32_t> debugShow;  // debug log window shown
  // "record"
  std::atomic<int64_t> recordAll;  // "Record Every Song": every complete title is saved

  // Strings; copy in and out under stringLock (see the accessors).
  mutable std::mutex stringLock;
  std::string codec;             // "player"."codec": codec of the stream last connected
  std::string downloadSavePath;  // "download"."savepath": folder of the last installer
  std::string debugSavePath;     // "debug"."savepath": folder of the debug log files
  std::string recordSavePath;    // "record"."savepath": folder of the saved songs

  Settings();  // every field at its default

  std::string GetCodec() const;
  void SetCodec(const std::string& value);
  std::string GetDownloadSavePath() const;
  void SetDownloadSavePath(const std::string& value);
  std::string GetDebugSavePath() const;
  void SetDebugSavePath(const std::string& value);
  std::string GetRecordSavePath() const;
  void SetRecordSavePath(const std::string& value);
};

extern Settings gSettings;

// Puts every field back to its default (start-up state and tests).
void ResetSettings();
// Where saved songs go by default: the user's Music folder + "Corvale Player" and the
// folder separator; "" when there is no Music folder.
std::string DefaultRecordSavePath();

// The volume modes (Settings preset). Any other stored value counts as Auto.
enum VolumeMode : int {
  VolumeAuto = 0,
  VolumePreset1 = 1,
  VolumePreset2 = 2,
};
// What the automatic volume step steers by (Settings measure, "volume"."measure" in the
// file): the title's RMS towards -23 dBFS ("rms"), or its EBU R128 integrated loudness
// towards -23 LUFS within a true-peak limit ("r128"). Any other text reads as "rms".
enum LoudnessMeasure : int {
  MeasureRms = 0,
  MeasureR128 = 1,
};
// The mode after "next volume mode": Preset 1 -> Preset 2 -> Auto -> Preset 1; any
// other value -> Preset 1.
int NextVolumeMode(int64_t mode);
// The volume factor the current mode selects: preset1 for Preset 1, preset2 for
// Preset 2, else 1.0. Start-up stores it as the player's volume after reading.
float SettingsVolumeFactor();

// Writes "settings.json" in the per-user folder. force = 1 writes unconditionally;
// force = 0 only when a field differs from the values last read or written. keep = 1
// keeps the built document in memory after the write. Returns 1 when nothing had to be
// written or the file was written, 0 on failure (the next regular save then retries).
// Main thread only.
constexpr int kFreeDocument = 0;  // keep
constexpr int kKeepDocument = 1;
constexpr int kSaveIfChanged = 0;  // force
constexpr int kSaveAlways = 1;
int SaveSettings(int keep, int force);

// =====================================================================================
// The song log ("songs.sqlite3" in the per-user data folder)
// =====================================================================================
//
// Every title the listener heard, written when it ends by one writer thread in batched
// transactions; the window reads through its own connection, which never waits for the
// writer (WAL). SongRow is the store's record (platform.h).

// Start-up (first instance only): opens the database in folder ("" = UserDataFolder())
// on the writer thread and starts recording. 1 when the writer runs.
int SongLogInit(const std::string& folder = std::string());
// Exit: the title playing now (when one was started and not ended) is ended at this
// moment, everything queued is written, the writer is joined and the connections
// closed. Safe to call twice and without SongLogInit.
void SongLogShutdown();
// 1 while the writer runs and its database is open (reads then see rows).
int SongLogReady();
// Bumped after every committed batch, favourite change and start-up: a window redraws
// its rows when it changed.
uint64_t SongLogGeneration();

// The recorder, called from the title path on the main thread. A title started at
// utcSeconds (a UTC date; 0 = now): the row with artist, title, album, streamTitle,
// stationId, streamName, codec and bitrate filled (the rest is filled when it ends). It
// ends the one before without levels when that was not ended. audioSeconds is the
// player's clock of audio heard (PlayerState heardSeconds): the seconds heard are its
// advance from start to end, so stalls and reconnects count nothing. A negative value
// at either end counts the monotonic clock's time between the calls instead.
void SongLogTitleStarted(const SongRow& row, int64_t utcSeconds, double audioSeconds = -1.0);
// The title playing now has ended at utcSeconds (0 = now) with these levels (NaN when
// not measured), audioSeconds as above; its row goes to the writer. Nothing when no
// title plays.
void SongLogTitleEnded(int64_t utcSeconds, double rms, double peak, double lufs, double luRange, double truePeak,
                       double audioSeconds = -1.0);
// 1 while a title started and has not ended.
int SongLogPlaying();
// "Love This Song": toggles the favourite of the title playing now; its row carries it
// when written. Returns the new state, -1 with no title.
int SongLogToggleFavouriteNow();
// The check mark of "Love This Song": 1 when the title playing now is a favourite.
int SongLogFavouriteNow();

// The window's reads (main thread). filter: case-insensitive substring of artist, title
// or album; "" = all. Rows newest first. Before the writer has opened the database they
// see no rows.
int SongLogCount(const std::string& filter, int favouritesOnly);
int SongLogRows(const std::string& filter, int favouritesOnly, int offset, int limit, std::vector<SongRow>* rows);
// Sets the favourite flag of row id through the writer; the reads above show it at once.
// 1 when queued.
int SongLogSetFavourite(int64_t id, int favourite);

// Writes every row (oldest first) to path: CSV (RFC 4180, UTF-8, CR LF, a header line)
// for ".csv", a JSON array of objects for ".json" (any letter case); anything else is
// refused with a message. Reads the database in the default folder (or the folder
// SongLogInit was given) through a read-only connection, so it works while a player
// runs. 1 or 0 with *error set.
int ExportSongLog(const std::string& path, std::string* error);
// The same for a given database file (the command line and tests).
int ExportSongLogFrom(const std::string& database, const std::string& path, std::string* error);
// The rows as Ctrl+C text: one line per row, fields tab-separated (time, artist, title,
// album, duration m:ss, RMS, peak, LUFS, favourite), CR LF after every line.
std::string SongRowsAsText(const std::vector<SongRow>& rows);
// The database file's name in the per-user data folder.
inline constexpr const char* kSongLogFile = "songs.sqlite3";
