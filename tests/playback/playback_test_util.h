// Shared pieces of the playback tests: fixture paths, scratch folders, a log capture
// and a stand-in audio library table whose calls the tests can steer and observe.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"
#include "data/data.h"
#include "installed_player.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "player_env.h"
#include "runtime/runtime.h"
#include "test_env.h"
#include "test_files.h"

namespace playtest {

inline std::string FixturePath(const std::string& name) {
  return std::string(CORVALE_SOURCE_DIR) + "/tests/playback/fixtures/" + name;
}

using testfiles::FsPath;
using testfiles::ReadFile;
using testfiles::WriteFile;

// A fresh folder under the system's temporary folder, ending with "/" (UTF-8, as the
// player's paths are), removed at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    // create_directory is false when the name is taken: only a folder made here is used.
    for (;;) {
      const std::filesystem::path p = std::filesystem::temp_directory_path() /
                                      ("corvale-play-" + std::to_string(random()) + "-" + std::to_string(counter++));
      if (std::filesystem::create_directory(p)) {
        const std::u8string u = p.generic_u8string();
        path_ = std::string(u.begin(), u.end()) + "/";
        break;
      }
    }
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(FsPath(path_), ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// The lines of a debug log file, without their "yyyymmddhhiiss hh:ii:ss " prefix.
inline std::vector<std::string> LogFileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(path));
  std::string record;
  while (std::getline(in, record)) {
    if (!record.empty() && record.back() == '\r') record.pop_back();
    if (record.size() >= 24) lines.push_back(record.substr(24));
  }
  return lines;
}

// The lines of every debug log file in `folder`.
inline std::vector<std::string> LogFolderLines(const std::string& folder) {
  std::vector<std::string> lines;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(FsPath(folder), ec)) {
    const std::u8string u = e.path().u8string();
    const std::vector<std::string> file = LogFileLines(std::string(u.begin(), u.end()));
    lines.insert(lines.end(), file.begin(), file.end());
  }
  return lines;
}

// Turns logging on and collects the log's lines (without the time prefix) through a log
// file in a scratch folder.
class LogCapture {
 public:
  LogCapture() {
    OpenLogFile(folder_.Path(), DateNow());
    gApp.debugLogging = 1;
  }
  ~LogCapture() {
    gApp.debugLogging = 0;
    CloseLogFile();
  }
  // Everything logged so far; ends the capture's file (later lines start a new one).
  std::vector<std::string> Lines() {
    std::string path = LogFilePath();
    CloseLogFile();
    const std::vector<std::string> lines = LogFileLines(path);
    all_.insert(all_.end(), lines.begin(), lines.end());
    OpenLogFile(folder_.Path(), DateNow() + int64_t(++files_));
    return all_;
  }
  bool Contains(const std::string& line) {
    for (const auto& l : Lines())
      if (l == line) return true;
    return false;
  }

 private:
  ScratchFolder folder_;
  std::vector<std::string> all_;
  int files_ = 0;
};

// Index of the first line equal to `line` at or after `from`; -1 when none.
inline int FindLine(const std::vector<std::string>& lines, const std::string& line, int from = 0) {
  for (size_t i = size_t(from); i < lines.size(); ++i)
    if (lines[i] == line) return int(i);
  return -1;
}

// --- A stand-in audio library ---------------------------------------------------------
// What the fake library is told to do and what it saw. Every field is atomic or guarded,
// because the worker, the test and the syncs run on different threads.
struct FakeAudio {
  std::atomic<uint32_t> nextHandle{100};
  std::atomic<int> createFails{0};  // error code to fail StreamCreateURL with; 0 = succeed
  std::atomic<int> createDelayMs{0};
  std::atomic<int> createHold{0};  // StreamCreateURL waits while it is 1
  std::atomic<int> dspHold{0};     // ChannelSetDSP (after the worker stored its stream) waits while it is 1
  std::atomic<int> dsps{0}, plays{0};
  std::atomic<int> creates{0};
  std::atomic<int> concurrentCreates{0};
  std::atomic<int> maxConcurrentCreates{0};
  std::atomic<int> lastError{0};
  std::atomic<int> playResult{1};
  std::atomic<uint32_t> active{BASS_ACTIVE_PLAYING};
  std::atomic<uint64_t> connected{1};
  std::atomic<uint64_t> bufferedBytes{0};  // BASS_FILEPOS_BUFFER
  std::atomic<uint32_t> decodedBytes{0};   // BASS_DATA_AVAILABLE
  std::atomic<int> frees{0}, stops{0}, removedSyncs{0}, inits{0}, releases{0};
  std::atomic<int> initResult{1};
  std::atomic<uint32_t> nextSync{1000};
  std::atomic<float> lastSlideValue{-1.0f};
  std::atomic<int> lastSlideMs{-1};
  std::atomic<int> slides{0};
  std::mutex lock;
  std::string lastUrl;
  std::vector<std::string> urls;
  std::string icyHeaders;  // NUL-separated, ends with an extra NUL
  std::string meta;
  DWORD ctype = BASS_CTYPE_STREAM_MP3;
  DWORD freq = 48000, chans = 2;
  float bitrateAttr = 0.0f;
  std::atomic<float> playRate{0.0f};  // BASS_ATTRIB_FREQ; 0 = not offered
};

inline FakeAudio& Fake() {
  static FakeAudio f;
  return f;
}

// Installs the stand-in in gBass for the life of the object and restores the table after.
class FakeBassScope {
 public:
  FakeBassScope() : saved_(gBass) {
    FakeAudio& f = Fake();
    f.createFails = 0;
    f.createDelayMs = 0;
    f.createHold = 0;
    f.dspHold = 0;
    f.dsps = f.plays = 0;
    f.creates = 0;
    f.concurrentCreates = 0;
    f.maxConcurrentCreates = 0;
    f.lastError = 0;
    f.playResult = 1;
    f.active = BASS_ACTIVE_PLAYING;
    f.connected = 1;
    f.bufferedBytes = 0;
    f.decodedBytes = 0;
    f.frees = f.stops = f.removedSyncs = f.inits = f.releases = 0;
    f.initResult = 1;
    f.lastSlideValue = -1.0f;
    f.lastSlideMs = -1;
    f.slides = 0;
    {
      std::lock_guard<std::mutex> l(f.lock);
      f.urls.clear();
      f.lastUrl.clear();
      f.icyHeaders = std::string("icy-name:Test Radio\0icy-br:128\0\0", 32);
      f.meta.clear();
      f.ctype = BASS_CTYPE_STREAM_MP3;
      f.freq = 48000;
      f.chans = 2;
      f.bitrateAttr = 0.0f;
    }
    f.playRate = 0.0f;
    gBass.BASS_ErrorGetCode = [] { return Fake().lastError.load(); };
    gBass.BASS_StreamCreateURL = [](const char* url, DWORD, DWORD, DOWNLOADPROC*, void*) -> HSTREAM {
      FakeAudio& f = Fake();
      int now = ++f.concurrentCreates;
      int seen = f.maxConcurrentCreates.load();
      while (now > seen && !f.maxConcurrentCreates.compare_exchange_weak(seen, now)) {
      }
      ++f.creates;
      {
        std::lock_guard<std::mutex> l(f.lock);
        f.lastUrl = url;
        f.urls.push_back(url);
      }
      if (f.createDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(f.createDelayMs.load()));
      while (f.createHold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      --f.concurrentCreates;
      if (f.createFails != 0) {
        f.lastError = f.createFails.load();
        return 0;
      }
      f.lastError = 0;
      return f.nextHandle++;
    };
    gBass.BASS_ChannelSetSync = [](DWORD, DWORD, QWORD, SYNCPROC*, void*) -> HSYNC { return Fake().nextSync++; };
    gBass.BASS_ChannelRemoveSync = [](DWORD, HSYNC) -> BOOL {
      ++Fake().removedSyncs;
      return TRUE;
    };
    gBass.BASS_ChannelSetAttribute = [](DWORD, DWORD, float) -> BOOL { return TRUE; };
    gBass.BASS_ChannelSetDSP = [](DWORD, DSPPROC*, void*, int) -> HDSP {
      ++Fake().dsps;
      while (Fake().dspHold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return 77;
    };
    gBass.BASS_ChannelSlideAttribute = [](DWORD, DWORD, float value, DWORD ms) -> BOOL {
      Fake().lastSlideValue = value;
      Fake().lastSlideMs = int(ms);
      ++Fake().slides;
      return TRUE;
    };
    gBass.BASS_ChannelIsActive = [](DWORD) -> DWORD { return Fake().active.load(); };
    gBass.BASS_ChannelStop = [](DWORD) -> BOOL {
      ++Fake().stops;
      return TRUE;
    };
    gBass.BASS_StreamFree = [](HSTREAM) -> BOOL {
      ++Fake().frees;
      return TRUE;
    };
    gBass.BASS_StreamGetFilePosition = [](HSTREAM, DWORD mode) -> QWORD {
      if (mode == BASS_FILEPOS_BUFFER) return Fake().bufferedBytes.load();
      return Fake().connected.load();
    };
    gBass.BASS_ChannelGetData = [](DWORD, void*, DWORD length) -> DWORD {
      return length == BASS_DATA_AVAILABLE ? Fake().decodedBytes.load() : DWORD(-1);
    };
    gBass.BASS_ChannelPlay = [](DWORD, BOOL) -> BOOL {
      ++Fake().plays;
      return Fake().playResult.load();
    };
    gBass.BASS_ChannelGetInfo = [](DWORD, BASS_CHANNELINFO* info) -> BOOL {
      FakeAudio& f = Fake();
      std::lock_guard<std::mutex> l(f.lock);
      *info = BASS_CHANNELINFO{};
      info->freq = f.freq;
      info->chans = f.chans;
      info->ctype = f.ctype;
      return TRUE;
    };
    gBass.BASS_ChannelGetTags = [](DWORD, DWORD tags) -> const char* {
      FakeAudio& f = Fake();
      std::lock_guard<std::mutex> l(f.lock);
      if (tags == BASS_TAG_ICY) return f.icyHeaders.empty() ? nullptr : f.icyHeaders.c_str();
      if (tags == BASS_TAG_META) return f.meta.empty() ? nullptr : f.meta.c_str();
      return nullptr;
    };
    gBass.BASS_ChannelGetAttribute = [](DWORD, DWORD attrib, float* value) -> BOOL {
      if (attrib == BASS_ATTRIB_FREQ) {
        *value = Fake().playRate;
        return Fake().playRate > 0.0f;
      }
      *value = Fake().bitrateAttr;
      return Fake().bitrateAttr > 0.0f;
    };
    gBass.BASS_Init = [](int, DWORD, DWORD, void*, const void*) -> BOOL {
      ++Fake().inits;
      if (!Fake().initResult) Fake().lastError = BASS_ERROR_DRIVER;
      return Fake().initResult.load();
    };
    gBass.BASS_Free = []() -> BOOL {
      ++Fake().releases;
      return TRUE;
    };
  }
  ~FakeBassScope() { gBass = saved_; }

 private:
  BassApi saved_;
};

// One tick of the main window's reconnect timer, through the loop's own dispatch.
inline void WatchdogTick() { DispatchEvent(EventTimer, WinMain, TimerReconnect, 0); }

inline StreamEntry Entry(const std::string& id, const std::string& url, const std::string& codec = "",
                         int64_t bitrate = 0) {
  StreamEntry e;
  e.id = id;
  e.url = url;
  e.codec = codec;
  e.bitrate = bitrate;
  return e;
}

// --- What the file output captured: stereo floats at 48 kHz ----------------------------
// The samples of the file from frame `first` on, left and right interleaved.
inline std::vector<float> ReadFrames(const std::string& path, size_t first = 0) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(std::streamoff(first * 2 * sizeof(float)));
  std::vector<float> out;
  float buf[4096];
  while (f.read(reinterpret_cast<char*>(buf), sizeof buf) || f.gcount() > 0) {
    out.insert(out.end(), buf, buf + f.gcount() / std::streamsize(sizeof(float)));
    if (!f) break;
  }
  out.resize(out.size() / 2 * 2);
  return out;
}

// RMS of frames [from, to) referred to a full-scale sine, as the station states loudness;
// -200 for silence.
inline double Level(const std::vector<float>& s, size_t from, size_t to) {
  to = std::min(to, s.size() / 2);
  if (to <= from) return -200.0;
  double sum = 0.0;
  for (size_t i = from * 2; i < to * 2; ++i) sum += double(s[i]) * s[i];
  double ms = sum / double((to - from) * 2);
  return ms > 0.0 ? 20.0 * std::log10(std::sqrt(2.0 * ms)) : -200.0;
}

inline bool Quiet(const std::vector<float>& s, size_t frame) {
  return std::fabs(s[frame * 2]) < 1e-4f && std::fabs(s[frame * 2 + 1]) < 1e-4f;
}

// Level of the sound in frames [from, to): frames of digital silence, which the output
// writes while a starved stream has run dry, are left out, so a loaded machine does not
// lower the level of the music around them. -200 when nothing but silence is there.
inline double SoundLevel(const std::vector<float>& s, size_t from, size_t to) {
  to = std::min(to, s.size() / 2);
  double sum = 0.0;
  size_t n = 0;
  for (size_t f = from; f < to; ++f) {
    if (s[f * 2] == 0.0f && s[f * 2 + 1] == 0.0f) continue;
    sum += double(s[f * 2]) * s[f * 2] + double(s[f * 2 + 1]) * s[f * 2 + 1];
    n += 2;
  }
  return n && sum > 0.0 ? 20.0 * std::log10(std::sqrt(2.0 * sum / double(n))) : -200.0;
}

// Frames written so far to a capture.
inline size_t CapturedFrames(const std::string& path) {
  std::error_code ec;
  auto n = std::filesystem::file_size(path, ec);
  return ec ? 0 : size_t(n) / (2 * sizeof(float));
}

// The capture is the clock of the captured tests: a state they set lasts a fixed stretch
// of the played audio, however slowly a loaded machine writes it. Waits until the file
// holds `frames` frames; false when it stopped growing for a minute.
inline bool WaitForFrames(const std::string& path, size_t frames) {
  size_t seen = 0;
  for (int idle = 0; idle < 3000;) {
    size_t now = CapturedFrames(path);
    if (now >= frames) return true;
    idle = now == seen ? idle + 1 : 0;
    seen = now;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Waits (bounded) until no attempt is running and the last worker thread has ended.
inline bool WaitWorkerIdle() {
  for (int i = 0; i < 1000; ++i) {
    if (gPlayer.connecting.load() == 0 && !IsThread(gPlayer.workerThread.load())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Checks the start-up path's log lines in their order: the stream information fetched
// from `info`, the show, the playlist's two entries, the connection to the MP3 stream at
// `mp3`, its format, and "Playing.". Returns the index of "Playing." (-1 when missing).
inline int ExpectStartupPathInOrder(const std::vector<std::string>& lines, const std::string& info,
                                    const std::string& mp3) {
  const int fetch = FindLine(lines, "Getting stream info from " + info);
  int show = -1;
  for (size_t i = 0; i < lines.size() && show < 0; ++i)
    if (lines[i].rfind("Show = ", 0) == 0) show = int(i);
  const int count = FindLine(lines, "2 entries in playlist.");
  const int connect = FindLine(lines, "Connecting to \"MP3 128k\" " + mp3);
  const int connected = FindLine(lines, "Connected, 2 Ch, 44 KHz MP3.");
  const int playing = FindLine(lines, "Playing.");
  EXPECT_GE(fetch, 0);
  EXPECT_GT(show, fetch);
  EXPECT_GT(count, show);
  EXPECT_GT(connect, count);
  EXPECT_GT(connected, connect);
  EXPECT_GT(playing, connected);
  return playing;
}

// --- A capture test's player ---------------------------------------------------------
#ifdef TEST_DATA_DIR
// The real audio library, loaded once and configured, playing to `output` ("null", or
// "file:" and the path of the capture): "" when ready, else what failed.
inline std::string OpenAudioLibrary(const std::string& output) {
  setenv("CORVALE_AUDIO_OUTPUT", output.c_str(), 1);
  if (!AudioLibraryLoaded() && !LoadAudioLibrary(std::string(TEST_DATA_DIR) + kAudioLibraryFile))
    return "cannot load the audio library from " TEST_DATA_DIR;
  return ConfigureAudioLibrary(TEST_DATA_DIR, "Corvale Player/5.4");
}
#endif

// Stops the stream, waits (bounded) until its worker has ended and closes the output.
inline void CloseCapture() {
  StopStream();
  for (int i = 0; i < 3000 && (gPlayer.connecting.load() != 0 || IsThread(gPlayer.workerThread.load())); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  SetAudioOutput(0);
}

// The player's per-user and program data folders are scratch folders while this lives;
// the earlier ones come back after.
class ScratchPlayerFolders {
 public:
  ScratchPlayerFolders() : savedUser_(gApp.userFolder), savedData_(gApp.dataFolder) {
    gApp.userFolder = user.Path();
    gApp.dataFolder = data.Path();
  }
  ~ScratchPlayerFolders() {
    gApp.userFolder = savedUser_;
    gApp.dataFolder = savedData_;
  }

 private:
  std::string savedUser_, savedData_;

 public:
  ScratchFolder user, data;
};

// Starts the station's stream as start-up does (the stream information, then the
// playback worker) and waits up to 30 s for the log's "Playing.".
inline bool StartPlaying(LogCapture& log) {
  StreamInfoWorker(kStreamInfoStartup);
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  for (int i = 0; i < 300; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (log.Contains("Playing.")) return true;
  }
  std::string lines;
  for (const std::string& l : log.Lines()) lines += l + "\n";
  ADD_FAILURE() << "not playing after 30 s; the debug log:\n" << lines;
  return false;
}

// Starts the station's stream as start-up does and, once the stream is there (30 s at
// most), runs `dsp` with `user` after the player's own measuring DSP on every buffer:
// the test's stand-in for the main loop. False when the stream never came.
inline bool StartPlayingWithLoopDsp(DSPPROC* dsp, void* user) {
  StreamInfoWorker(kStreamInfoStartup);
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  for (int i = 0; i < 3000 && gPlayer.streamHandle.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return gPlayer.streamHandle.load() != 0 && gBass.BASS_ChannelSetDSP(gPlayer.streamHandle.load(), dsp, user, -1) != 0;
}

// A row of the song log: a song of the demo station's MP3 stream heard for three
// minutes, without loudness measures.
inline SongRow SongLogRow(const std::string& artist, const std::string& title, const std::string& album = "") {
  SongRow r;
  r.started = "2026-12-07T20:00:00Z";
  r.ended = "2026-12-07T20:03:00Z";
  r.seconds = 180.0;
  r.artist = artist;
  r.title = title;
  r.album = album;
  r.streamTitle = artist + " - " + title;
  r.stationId = "corvale-demo";
  r.streamName = "MP3 128k";
  r.codec = "MP3";
  r.bitrate = 128;
  r.rms = -20.5;
  r.peak = -1.25;
  r.lufs = r.luRange = r.truePeak = NAN;
  return r;
}

}  // namespace playtest
