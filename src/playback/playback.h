// Streaming and playback: the audio library binding, playlists, stream information,
// the connection and playback worker, stream format and metadata, volume and loudness.
// This header is the whole surface of the subsystem for the others.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <cstdint>
#include <limits>
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
  // EBU R128 figures of the title; NaN when it was not measured.
  float lufs = std::numeric_limits<float>::quiet_NaN();      // integrated loudness, LUFS
  float luRange = std::numeric_limits<float>::quiet_NaN();   // loudness range, LU
  float truePeak = std::numeric_limits<float>::quiet_NaN();  // dBTP
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
  // 1 from StartPlaybackWorker until the worker has made its attempt.
  std::atomic<int64_t> connecting{0};
  // Runtime thread number of the last playback worker started; 0 for none.
  std::atomic<int> workerThread{0};
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
  // Set by MeasureLevels when it restarted the title (and by ResetTitleLoudness); cleared
  // by MeasureLoudness when its meter starts anew.
  std::atomic<int64_t> loudnessRestart{0};
  // Accumulators; written only by LevelDsp on the library's mixing thread.
  std::atomic<double> sumSquares{0.0};  // of the non-zero samples of this title
  std::atomic<double> titlePeak{0.0};   // largest absolute sample of this title
  std::atomic<int64_t> sampleCount{0};  // non-zero samples of this title
  std::atomic<double> longPeak{0.0};    // largest since the last long-peak reset
  // The title's EBU R128 figures so far (NaN until measured); written only by LevelDsp
  // on the library's mixing thread after each buffer, read by HandleTrackChange.
  std::atomic<double> titleLufs{std::numeric_limits<double>::quiet_NaN()};
  std::atomic<double> titleLuRange{std::numeric_limits<double>::quiet_NaN()};
  std::atomic<double> titleTruePeak{std::numeric_limits<double>::quiet_NaN()};
  // Seconds of audio the DSP has passed on since the program started, every stream
  // counted: the song log's clock of what was heard (a stall adds nothing). Written only
  // by LevelDsp on the mixing thread.
  std::atomic<double> heardSeconds{0.0};

  // Strings shared across threads: copy in and out under this lock.
  mutable std::mutex stringLock;
  std::string customUrl;  // command-line stream or playlist; core at start-up
  std::string connectId;  // id and URL of the stream being connected (worker)
  std::string connectUrl;
  std::string serverName;    // "icy-name" (worker)
  std::string codecName;     // "MP3", "(HE-)AAC", "?" (worker)
  std::string showName;      // programme name (stream-information worker, or
  std::string showInfo;      // the server's station name with a custom URL)
  std::string lastTrackKey;  // artist + title of the last title entered (main)

  // Held while the stream is freed and while its tag texts are copied, so that a
  // reader never copies text the library has just released.
  std::mutex streamLock;

  // Written by the main thread from the sleep and network signals; read by the worker.
  std::atomic<int> asleep{0};                   // 1 from the sleep signal to the resume
  std::atomic<int> networkState{-1};            // kNetworkUnknown, kNetworkDown or kNetworkUp
  std::atomic<int> reconnectRequest{-1};        // WorkerStart of a start still owed; -1 none
  // Written by the playback worker; read by the main thread.
  std::atomic<int64_t> failStreak{0};  // attempts in a row that failed for the stream itself
  std::atomic<int> waiting{0};         // 1 while it waits for the network or the next round
  // Bumped under waitLock by WakePlayback: a worker's wait for a round or the network ends.
  std::atomic<uint64_t> wakeSerial{0};

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
// Song capture: "Save This Song" and "Record Every Song"
// =====================================================================================

// The download's bytes (metadata removed) of the title heard and the one before it are
// kept, with the byte each title was announced at. 64 MiB bounds them: over an hour of a
// 128 kbit/s stream and 27 minutes at 320 kbit/s, more than a title and the one before
// it take, yet fixed for a stream that never ends; a longer title is saved from the
// oldest byte kept.
constexpr uint64_t kSongRingBytes = uint64_t(64) << 20;
// The connection's first bytes, kept for BuildSongFile (Ogg's header pages).
constexpr size_t kStreamStartBytes = size_t(256) << 10;
// The playback worker before each connection attempt: the capture starts afresh (the
// last connection's unfinished title is completed at its break). Returns the number to
// hand to BASS_StreamCreateURL as the download callback's user value.
uint64_t SongCaptureBegin();
// The download callback (DOWNLOADPROC) of the stream: bytes as they arrive, length 0 at
// the end; a connection other than the newest is ignored. Download thread.
void SongCaptureDownload(const void* buffer, DWORD length, void* user);
// After the connect: the stream's channel type (MP3, ADTS AAC, Opus and Vorbis are
// saved) and whether the server interleaves ICY metadata. An Ogg stream without it names
// its titles in each new logical stream's comment header: the capture announces them at
// that stream's first page and queues them as titles (QueueTitleChange).
void SongCaptureConnected(uint32_t ctype, int icyMetadata);
// The stream was freed (no more bytes): the title being received ends at the break. At
// exit (atExit 1) only a title asked for is written, as far as it came.
void SongCaptureEnd(int atExit = 0);
// The song writer's runtime thread (0 when none was started): the exit waits for it.
int SongWriterThread();
// A title announced at the newest byte (the metadata sync, download thread). first = 1
// for the title the connect read before any sync: taken only when no title came yet.
void SongCaptureTitle(const std::string& meta, int first);
// The listener hears the title with this metadata now (main thread, in title order).
void SongCaptureHeard(const std::string& meta);
// 1 when the title heard can be saved (the menu entry's state).
int SongSaveAvailable();
// "Save This Song" (main thread): the title heard is written when complete, from its
// first byte or the oldest kept. Logs and notices what happens.
enum SaveSongResult : int {
  kSaveSongNoTitle = 0,  // the station has sent no title (or none is heard yet)
  kSaveSongWriting = 1,  // complete: the writer has it
  kSaveSongAtEnd = 2,    // written when the next title begins
  kSaveSongAlready = 3,  // asked for or saved before
  kSaveSongFormat = 4,   // the stream's format is not one that is saved
};
int SaveHeardSong();
// "Record Every Song" on or off (settings' record.all): from the title heard now on,
// every complete title is saved.
void SetRecordAll(int on);
// The newest notice for the tray tooltip ("" when none); main thread after EventSongSaved.
std::string TakeSongNotice();
// Saves queued or being written (tests and the exit wait for 0).
int SongSavesPending();
struct SongCaptureFigures {
  uint64_t keptBytes = 0, peakBytes = 0, receivedBytes = 0;
  size_t titles = 0;
};
SongCaptureFigures GetSongCaptureFigures();
// "Artist - Title" as a file name without its extension (see song_capture.cpp).
std::string SongFileName(const std::string& artistTitle);

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

// What a connection attempt connects to. The values are kept in
// PlayerState::reconnectRequest, where -1 means none is owed.
enum class WorkerStart : int {
  kAdvanceToNext = 0,     // the next stream of the list, after a round's wait if due
  kReconnectCurrent = 1,  // the current stream again
  kReconnectAtOnce = 2,   // the current stream, without any pause (resume, network back)
};
// The only way a connection attempt starts.
void StartPlaybackWorker(WorkerStart start);
// One connection attempt (run on its own thread by StartPlaybackWorker).
void PlaybackWorker(WorkerStart start);
// Fades out, stops and frees the stream with its syncs; nothing when none.
void StopStream();
// The preferences' next-stream command.
void NextStreamCommand();

// Sleep, network and the pause between rounds. A sleep or an outage is nobody's fault:
// the stream that played is taken up again and the stream list is not walked.
constexpr int kNetworkUnknown = -1;  // nothing tells the state: connect as always
constexpr int kNetworkDown = 0;
constexpr int kNetworkUp = 1;
constexpr int kRoundWaitLimitSeconds = 60;
// Seconds to wait before the attempt that follows `failStreak` failed attempts in a row
// on a list of `streams` entries: 2, 4, 8 ... up to the limit after each full round of
// failures, 0 inside a round.
int RoundWaitSeconds(int64_t failStreak, size_t streams);
// Like PlaybackWait, but WakePlayback ends it too: 0 shutdown, 1 time out, 2 woken.
int PlaybackWaitWake(int ms);
void WakePlayback();
// Main thread. The system is about to sleep: the stream stops and nothing reconnects.
void SuspendPlayback();
// Main thread. Back from sleep: whatever is buffered is dropped unheard and the stream
// that played is connected again at once.
void ResumePlayback();
// Main thread. The network came or went (kNetworkUp, kNetworkDown); its return ends any
// wait and connects the current stream again at once.
void NetworkChanged(int state);
// Main thread, each idle pass: starts a reconnect that found the last worker still
// ending. 1 when one was started.
int ServiceReconnectRequest();
// 1 while the player has no stream to play and is waiting to reconnect (for the tray
// tooltip and the media controls).
int PlaybackReconnecting();
inline constexpr const char* kReconnectingText = "Reconnecting";
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
// The DSP's measurement over interleaved float samples (what LevelDsp runs): the levels,
// then the title changes whose audio has arrived.
void MeasureSamples(const float* samples, size_t count);
// Its two halves: the RMS and peaks (a reset there asks the loudness meter to start
// anew too), and the title changes due after count more samples.
void MeasureLevels(const float* samples, size_t count);
void AdvanceTitleQueue(size_t count);
// The EBU R128 part of the DSP, between the two: the title's loudness over interleaved
// float samples in the DSP's rate and channels, published in PlayerState titleLufs,
// titleLuRange and titleTruePeak after each buffer, so a title change posted after it
// finds the figures of all its audio. A change of rate or channels carries the title's
// measurement over to the new format. Mixing thread only (its meter is its own).
void MeasureLoudness(const float* samples, size_t count, double rate, int64_t channels);
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
// The title field of the metadata as the station sent it ("Artist - Title"), decoded and
// without the "StreamTitle='...';" around it; "" when it holds none.
std::string StreamTitleField(std::string_view meta, int legacy);
// The field of the last title ParseStreamTitle read (main thread): the song log's raw
// stream title.
std::string LastStreamTitleText();
// Metadata and header text: UTF-8 when valid (legacy = 0), else Windows-1252; control
// characters are dropped so no escape sequence reaches the log or a window.
std::string DecodeStreamText(std::string_view bytes, int legacy);

// =====================================================================================
// Saved songs
// =====================================================================================

// The tags a saved song carries; empty fields are left out of the file.
struct SongTags {
  std::string artist, title, album, publisher, date;  // publisher: the station
};
// A title's file from the stream's own bytes, without re-encoding. codec: "mp3", "aac"
// (ADTS), "ogg" (Opus or Vorbis). streamStart: the first bytes of this connection's audio
// (up to 256 KiB; Ogg header pages live there). audio: the title's bytes as received,
// metadata removed, from the byte where the title was announced to the byte where the
// next was (or the newest byte kept); fromTitleStart: 0 when the title's first bytes were
// no longer kept. Returns 1 and the file's bytes; 0 and *error when nothing usable.
int BuildSongFile(std::string_view codec, std::string_view streamStart, std::string_view audio,
                  const SongTags& tags, int fromTitleStart, std::string* file, std::string* error);
// ".mp3", ".aac", ".opus", ".ogg" (Ogg Opus when the stream's first header says so).
std::string SongFileExtension(std::string_view codec, std::string_view streamStart);

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
// A new title from the stream's metadata: history, loudness, volume step, and the song
// log's rows (the title that ended, the one that starts).
void HandleTrackChange();
// Exit: the title playing now ends here for the song log, with the loudness measured so
// far (main thread, before SongLogShutdown).
void EndPlayingTitle();
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

// --- Even loudness: the step by EBU R128 instead of RMS (Settings measure = MeasureR128) ---
constexpr double kTargetLufs = -23.0;    // integrated loudness the step steers to
constexpr double kTruePeakLimit = -1.0;  // dBTP: no step plays a title's true peak above it
struct EvenLoudnessStep {
  int measured = 0;     // 0: no R128 measurement, the volume stays
  float volume = 0.0f;  // the volume after the step (the old one when not measured)
  float asked = 0.0f;   // what the loudness alone asked for (same clamp as the RMS step)
  int limited = 0;      // 1: the true peak held the volume below asked
};
// From the volume mode's own level, like ComputeTitleLevels: gain = -23 - LUFS (LUFS
// clamped to -100 .. 0), volume = base x 10^(gain / 20) within 0.01 .. 1.0, then at most
// the volume at which the title's true peak plays at -1 dBTP (never below 0.01).
EvenLoudnessStep ComputeEvenLoudnessStep(double lufs, double truePeak, float oldVolume, float baseVolume);
// The log lines of a finished title, name being "artist - title":
// "\"name\", -16.20 LUFS, 3.10 LU range, -14.90 dBTP true peak." (or "\"name\", no EBU
// R128 loudness." when not measured), and the line of a step the true peak held.
std::string LoudnessLogLine(const std::string& name, const TrackHistoryEntry& entry);
std::string TruePeakLimitLogLine(const std::string& name, const EvenLoudnessStep& step, double truePeak);
// The figures the DSP has published for the title so far, as the history keeps them.
void TakeTitleLoudness(TrackHistoryEntry& entry);
// Back to no measurement: the published figures NaN, and the DSP's meter starts anew
// with its next buffer (tests and the start of a run).
void ResetTitleLoudness();
