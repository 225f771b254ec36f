// Streaming and playback: the audio library binding, playlists, stream information,
// the connection and playback worker, stream format and metadata, volume and loudness.
// This header is the whole surface of the subsystem for the others.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "data/data.h"
#include "playback/bass_api.h"

// =====================================================================================
// Records
// =====================================================================================

// The now-playing title as a plain value (what readers get from GetTrackInfo).
struct NowPlaying {
  std::string artist;
  std::string title;
  std::string album;
};

// The title now playing. Written by ParseStreamTitle (main thread) and by the
// stream-information worker (newest history item); read by the window title, the
// information window and HandleTrackChange. Guarded by lock; use the accessors.
struct TrackInfo {
  mutable std::mutex lock;
  std::string artist;
  std::string title;
  std::string album;
};
extern TrackInfo gTrackInfo;
NowPlaying GetTrackInfo();
void SetTrackInfo(const NowPlaying& value);

// One played title. Dates are seconds since 1970 in UTC (kept 64-bit so they survive
// 2038); levels are 0 when the title was not measured.
struct TrackHistoryEntry {
  std::string artist;
  std::string title;
  std::string artwork;  // "" when none
  std::string album;
  std::string year;
  int64_t start = 0;
  int64_t end = 0;        // the start until the next title arrives
  float headroom = 0.0f;  // dB between RMS and peak
  float peak = 0.0f;      // dBFS
  float rms = 0.0f;       // dBFS
};

// The played titles, newest first. Written by HandleTrackChange (main thread) and by
// the stream-information worker (only while empty); read by the information window.
// Guarded by lock; readers take a copy.
struct TrackHistory {
  mutable std::mutex lock;
  std::vector<TrackHistoryEntry> entries;
};
extern TrackHistory gTrackHistory;
constexpr size_t kHistoryLimit = 50;  // entries kept before an insert
std::vector<TrackHistoryEntry> GetTrackHistory();
size_t TrackHistorySize();
void ClearTrackHistory();

// The station's streams in order with the current position. The stream-information
// worker builds a complete new list and swaps it in under lock; the playback worker
// moves the position under the same lock; everyone else reads copies. StreamEntry
// itself is the data subsystem's record (it is also the stream-list cache's).
struct StreamList {
  mutable std::mutex lock;
  std::vector<StreamEntry> entries;
  size_t current = 0;  // 0-based index of the current entry
};
extern StreamList gStreamList;
// Replaces the whole list; the first entry becomes current.
void SetStreamList(std::vector<StreamEntry> entries);
// A copy of the list; current (0-based) when asked for.
std::vector<StreamEntry> GetStreamList(size_t* current = nullptr);
size_t StreamListSize();
// Copies the current entry; 0 when the list is empty.
int CurrentStreamEntry(StreamEntry& entry, size_t* position = nullptr);

// The playback record shared by the main thread, the workers and the audio library's
// callback threads. Word-sized fields are atomic (no torn values, one writing side at
// a time); strings are copied in and out under stringLock with PlayerString and
// SetPlayerString.
struct PlayerState {
  // Written by SetAudioOutput (main thread at start-up, playback worker later).
  std::atomic<int64_t> audioReady{0};

  // Written by the playback worker (and the exit path); read by every thread.
  std::atomic<uint32_t> streamHandle{0};
  std::atomic<uint32_t> metaSync{0}, endSync{0}, deviceFailSync{0};
  std::atomic<uint32_t> levelDspHandle{0};
  // 1 from StartPlaybackWorker until the worker has made its attempt.
  std::atomic<int64_t> connecting{0};
  // Runtime thread number of the last playback worker started; 0 for none.
  std::atomic<int> workerThread{0};
  std::atomic<int64_t> startTime{0};     // program start (date, seconds); core
  std::atomic<int64_t> connectTime{0};   // start of the last connect attempt
  std::atomic<int64_t> connectCount{0};  // attempts; reset by the preferences
  std::atomic<int64_t> streamNumber{0};  // 1-based position of the current entry

  // Format of the connected stream; written by ReadStreamFormat on the worker.
  std::atomic<int64_t> bitrate{0};  // bit/s
  std::atomic<int64_t> sampleRate{0};
  std::atomic<int64_t> channels{0};
  std::atomic<int64_t> legacyServer{0};  // 1: SHOUTcast 1.9.8, metadata is 8-bit text

  // Target linear volume 0.0 .. 1.0; written by SetVolume and HandleTrackChange.
  std::atomic<float> volume{1.0f};

  // DSP requests: set by the main thread, cleared by the DSP when it restarts.
  std::atomic<int64_t> measureReset{0}, longPeakReset{0};
  // Accumulators; written only by LevelDsp on the library's mixing thread.
  std::atomic<double> sumSquares{0.0};  // of the non-zero samples of this title
  std::atomic<double> titlePeak{0.0};   // largest absolute sample of this title
  std::atomic<int64_t> sampleCount{0};  // non-zero samples of this title
  std::atomic<double> longPeak{0.0};    // largest since the last long-peak reset

  // Strings shared across threads: copy in and out under this lock.
  mutable std::mutex stringLock;
  std::string customUrl;  // command-line stream or playlist; core at start-up
  std::string connectId;  // id and URL of the stream being connected (worker)
  std::string connectUrl;
  std::string serverName;    // "icy-name" (worker)
  std::string codecName;     // "MP3", "(HE-)AAC", "?" (worker)
  std::string codecExt;      // "mp3", may be "" (worker)
  std::string showName;      // programme name (stream-information worker, or
  std::string showInfo;      // the server's station name with a custom URL)
  std::string lastTrackKey;  // artist + title of the last title entered (main)

  // Held while the stream is freed and while its tag texts are copied, so that a
  // reader never copies text the library has just released.
  std::mutex streamLock;

  // Set once at exit (or by a test) so that the workers' waits and retries end at once.
  std::atomic<int> shutdown{0};
  std::mutex waitLock;
  std::condition_variable waitSignal;
};

extern PlayerState gPlayer;

// Title changes on their way to the listener. The stream's metadata arrives with the
// download, while the audio before it is still buffered on its way to the DSP. The
// metadata sync queues the new text with the DSP's sample count at which its audio
// arrives; the DSP moves it to `due` and posts EventStreamMeta when it gets there, so
// the title change (and the loudness of both titles) falls where the listener hears
// it. Every change is kept, in order; ParseStreamTitle takes them one at a time.
struct TitleQueue {
  struct Waiting {
    int64_t at;  // DSP samples of this stream
    std::string meta;
  };
  std::mutex lock;
  std::deque<Waiting> waiting;
  std::deque<std::string> due;
  int64_t measured = 0;  // samples the DSP has seen of the current stream
};
extern TitleQueue gTitleQueue;
// Queues the metadata text of the stream: due after `ahead` more DSP samples (at once
// when 0, then EventStreamMeta is posted here).
void QueueTitleChange(const std::string& meta, int64_t ahead);
// Makes every waiting change due (the stream stops; its titles still count) and starts
// the count of the next stream.
void FlushTitleChanges();

std::string PlayerString(std::string PlayerState::*field);
void SetPlayerString(std::string PlayerState::*field, std::string value);

// Waits up to ms milliseconds; returns early (0) when shutdown was requested, else 1.
int PlaybackWait(int ms);
// Ends every wait and the endless retries of the workers; for the exit path.
void PlaybackShutdown();


// =====================================================================================
// Playlists
// =====================================================================================

constexpr size_t kPlaylistBufferSize = 65536;  // larger playlists are refused

// Text formats of SplitLines.
constexpr int kTextUtf8 = 2;

// Turns a custom URL (stream, remote playlist or local playlist file) into entries.
// Clears list; returns 1 when it holds at least one entry.
int LoadPlaylist(const std::string& url, std::vector<StreamEntry>& list);
// The extension as the playlist rules read it ("" when none), and the playlist type it
// names ("m3u8", "pls", "xspf", "vclt", "jspf") or "" for anything else.
std::string UrlExtension(std::string_view url);
std::string PlaylistType(std::string_view extension);
// 1 when the URL starts with "http:", "https:" or "ftp:" (any letter case).
int IsRemoteUrl(std::string_view url);
// Parses a playlist of the given type from memory into entries (appended). Only
// http, https and ftp entries are taken. Returns the number added.
int ParsePlaylistBuffer(std::string_view type, const char* buffer, size_t length, std::vector<StreamEntry>& list);
// Appends the non-empty lines of the buffer (CR, LF and NUL end a line; NUL also ends
// the walk). Lines that are not valid UTF-8 are read as Windows-1252. 1 when the list
// is not empty.
int SplitLines(std::vector<std::string>& lines, const char* buffer, size_t length, int format);

// =====================================================================================
// Stream information
// =====================================================================================

// StreamInfoWorker arguments. The thread run (0) retries the service round its URLs
// until one answers; the start-up run on the main thread makes one pass over the URLs
// and then falls back to the cached or installed stream list, so a station whose
// service is down still starts. The first run of the program is always a single pass.
constexpr int kStreamInfoThread = 0;
constexpr int kStreamInfoStartup = 1;
void StreamInfoWorker(int argument);
// Reads one stream-information document into the records (show, streams, first
// history). Returns 1 when the document parsed, 0 otherwise (then logged). The list
// read from the document is stored in *streams (the caller stores it).
int ReadStreamInfoDocument(const char* buffer, size_t length, std::vector<StreamEntry>* streams);
// Now in UTC seconds: the local date minus the local offset, read until stable.
int64_t UtcNow();

// =====================================================================================
// Connection and playback worker
// =====================================================================================

// The only way a connection attempt starts. advance 0: next stream; 1: the current.
constexpr int kNextStream = 0;     // advance: go on with the next stream of the list
constexpr int kCurrentStream = 1;  // advance: connect the current stream again
void StartPlaybackWorker(int advance);
// One connection attempt (thread procedure).
void PlaybackWorker(int advance);
// Fades out, stops and frees the stream with its syncs; nothing when none.
void StopStream();
// The preferences' next-stream command.
void NextStreamCommand();
// The stream's activity as the reconnect watchdog should see it: a stream stalled (its
// buffer empty while connected) for more than kStallLimitMs counts as stopped, so that
// a server sending slower than real time does not hold the player for good. Such a
// server lets the stream play a few seconds whenever its buffer has refilled, so the
// stalls add up until the stream has played kStallForgetMs without one. Called at each
// watchdog tick with the library's answer and a monotonic time in milliseconds.
constexpr int64_t kStallLimitMs = 10000;
constexpr int64_t kStallForgetMs = 60000;
uint32_t WatchdogActivity(uint32_t handle, uint32_t active, int64_t nowMs);
void StreamSyncCallback(HSYNC handle, DWORD channel, DWORD data, void* user);
void LevelDsp(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user);
// The DSP's measurement over interleaved float samples (what LevelDsp runs).
void MeasureSamples(const float* samples, size_t count);
// "48" for 48000 Hz: kHz rounded to the nearest integer, ties to even.
int64_t RoundKiloHertz(int64_t sampleRate);

// =====================================================================================
// Stream format and metadata
// =====================================================================================

// After a connect: codec, extension, rate, channels, bitrate, server name (and the show
// fields with a custom URL) of the stream.
void ReadStreamFormat();
// "Name|ext" for a wave format tag.
std::string CodecFromWaveFormat(int tag);
// Display name and extension for a channel type; 0 for the Media Foundation type, whose
// codec comes from its wave format.
int CodecFromChannelType(uint32_t ctype, std::string& name, std::string& ext);

// What the ICY/HTTP response headers tell.
struct StreamHeaders {
  std::string serverName;
  int64_t bitrate = 0;  // bit/s from "icy-br", 0 when absent
  int legacyServer = 0;
  int hasName = 0;       // an "icy-name" line was seen
  std::string showName;  // the two halves of the station name (custom URL only)
  std::string showInfo;
};
// Walks a header list: NUL-terminated strings ended by an empty one (at most
// maxBytes read). splitShow: fill showName/showInfo from "icy-name".
void ParseStreamHeaders(const char* list, size_t maxBytes, int splitShow, StreamHeaders& out);
void ParseStreamHeaderLine(std::string_view line, int splitShow, StreamHeaders& out);

// Reads the stream's metadata into gTrackInfo (main thread, after EventStreamMeta).
void ParseStreamTitle();
// The text part: metadata bytes (up to a NUL) into a title. 1 when value was set,
// 0 when the text is empty and the previous title stays.
int ParseStreamTitleText(std::string_view meta, int legacy, NowPlaying& value);
// Metadata and header text: UTF-8 when valid (legacy = 0), else Windows-1252; control
// characters are dropped so no escape sequence reaches the log or a window.
std::string DecodeStreamText(std::string_view bytes, int legacy);

// =====================================================================================
// Volume and loudness
// =====================================================================================

constexpr double kTargetLoudness = -23.0;  // dBFS RMS
// The quietest level any loudness or volume text shows: silence reads as this, never as
// "-inf".
constexpr double kSilenceFloorDb = -100.0;
// 20·log10(amplitude), never below kSilenceFloorDb (0, negative and NaN give the floor).
double LevelDb(double amplitude);

// The only way a volume change reaches the stream. level 0.0 .. 1.0, slide 1 .. 5000 ms.
void SetVolume(float level, int slideMs);
// A window that shows the volume while it is open (the preferences window) is handed
// every level SetVolume sets, on the caller's thread; nullptr when none.
using VolumeDisplay = void (*)(float level);
void SetVolumeDisplay(VolumeDisplay display);
// A new title from the stream's metadata: history, loudness, volume step.
void HandleTrackChange();
// Interleaved samples still buffered between the stream's download and the DSP: how
// long after its metadata arrived a new title's audio reaches the measurement. Counted
// in the rate and channels the DSP receives (DspFormat).
int64_t BufferedSamplesAhead();
// The sample rate and channel count the stream's DSP receives: the rate the stream is
// played at (BASS_ATTRIB_FREQ, else the channel's) and the channel's channel count, at
// most the output's (the output is opened in stereo; the audio library mixes a source
// with more channels down to it before its DSPs).
constexpr int64_t kOutputChannels = 2;
void DspFormat(HSTREAM h, double* rate, int64_t* channels);

// The loudness of a finished title and the automatic volume step.
struct TitleLevels {
  int measured = 0;   // 0: no valid measurement
  float rms = 0.0f;   // dBFS, unclamped
  float peak = 0.0f;  // dBFS, unclamped
  float headroom = 0.0f;
  float volume = 0.0f;  // the volume after the step (the old one when not measured)
};
// baseVolume is the volume mode's own level (SettingsVolumeFactor): the step steers the
// level the listener hears to the target from there, it never compounds.
TitleLevels ComputeTitleLevels(double sumSquares, int64_t sampleCount, double titlePeak, float baseVolume);
