// Saving songs end to end: the station simulator streams and writes what it sent under
// each announced title (--dump-dir); the real audio library plays it; the saved files
// are compared with those bytes and checked by FFmpeg's own tools.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "playback_test_util.h"
#include "runtime/runtime.h"
#include "station_sim_fixture.h"

using namespace playtest;

namespace {

constexpr double kTitleSeconds = 5.0;

bool WaitIdle(int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    if (gPlayer.connecting.load() == 0 && !IsThread(gPlayer.workerThread.load())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string RunTool(const std::string& command, int* status = nullptr) {
  std::string out;
  if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  return out;
}

// A path as one shell word, whatever quotes the title put in it.
std::string Quote(const std::string& path) {
  std::string out = "'";
  for (char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

double ProbeDuration(const std::string& path, const std::string& format = "") {
  std::string out = RunTool("ffprobe -v error " + (format.empty() ? "" : "-f " + format + " ") +
                            "-show_entries format=duration -of default=nw=1:nk=1 " + Quote(path));
  return std::atof(out.c_str());
}

// The sizes of a file's audio frames as FFmpeg reads them (MP3 packets with their headers,
// ADTS packets without theirs).
std::vector<size_t> FrameSizes(const std::string& path) {
  std::istringstream lines(RunTool("ffprobe -v error -show_entries packet=size -of csv=p=0 " + Quote(path)));
  std::vector<size_t> sizes;
  for (size_t size = 0; lines >> size;) sizes.push_back(size);
  return sizes;
}

std::string ProbeTag(const std::string& path, const std::string& tag) {
  std::string out = RunTool("ffprobe -v error -show_entries format_tags=" + tag + ":stream_tags=" + tag +
                            " -of default=nw=1:nk=1 " + Quote(path));
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  const size_t nl = out.find('\n');
  return nl == std::string::npos ? out : out.substr(0, nl);
}

// The bytes after an ID3v2 tag (its size is four 7-bit bytes after the header's six).
std::string WithoutId3(const std::string& file) {
  if (file.size() < 10 || file.compare(0, 3, "ID3") != 0) return file;
  const size_t size = (size_t(file[6] & 0x7F) << 21) | (size_t(file[7] & 0x7F) << 14) | (size_t(file[8] & 0x7F) << 7) |
                      size_t(file[9] & 0x7F);
  const bool footer = (file[5] & 0x10) != 0;
  return file.substr(std::min(file.size(), 10 + size + (footer ? 10 : 0)));
}

// The packet data of each Ogg page (header and segment table left out: granule positions
// and checksums may be rewritten, the audio never).
std::vector<std::string> OggPageBodies(const std::string& bytes) {
  std::vector<std::string> bodies;
  size_t at = 0;
  while ((at = bytes.find("OggS", at)) != std::string::npos && at + 27 <= bytes.size()) {
    const size_t segments = static_cast<unsigned char>(bytes[at + 26]);
    if (at + 27 + segments > bytes.size()) break;
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += static_cast<unsigned char>(bytes[at + 27 + i]);
    const size_t start = at + 27 + segments;
    if (start + body > bytes.size()) break;
    bodies.push_back(bytes.substr(start, body));
    at = start + body;
  }
  return bodies;
}

struct Dump {
  std::string meta;  // up to its first NUL
  std::string audio;
};

// What the simulator sent, by announced title, for the newest listener of a title.
std::map<std::string, Dump> ReadDumps(const std::string& folder) {
  std::map<std::string, std::pair<int, Dump>> newest;
  static const std::regex name("l([0-9]+)-([0-9]+)\\.txt");
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    std::smatch m;
    const std::string file = e.path().filename().string();
    if (!std::regex_match(file, m, name)) continue;
    Dump d;
    d.meta = ReadFile(e.path().string());
    d.meta = d.meta.substr(0, d.meta.find('\0'));
    const std::string bin = e.path().string();
    d.audio = ReadFile(bin.substr(0, bin.size() - 4) + ".bin");
    const int listener = std::stoi(m[1]);
    auto it = newest.find(d.meta);
    if (it == newest.end() || it->second.first <= listener) newest[d.meta] = {listener, d};
  }
  std::map<std::string, Dump> out;
  for (auto& [k, v] : newest) out[k] = v.second;
  return out;
}

std::string TitleOfMeta(const std::string& meta) {
  NowPlaying v;
  ParseStreamTitleText(meta, 0, v);
  return v.title;
}

std::vector<std::string> SavedFiles(const std::string& folder) {
  std::vector<std::string> files;
  if (!std::filesystem::is_directory(folder)) return files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

class SongCapture : public PlayerEnv {
 protected:
  static StationSim* sim_;
  static ScratchFolder* output_;
  static ScratchFolder* dumps_;
  static std::string libraryError_;

  static void SetUpTestSuite() {
    output_ = new ScratchFolder;
    dumps_ = new ScratchFolder;
    sim_ = new StationSim;
    if (!sim_->Start(
            {"--title-seconds", "5", "--no-tls", "--metaint", "4000", "--burst", "1", "--dump-dir", dumps_->Path()}))
      libraryError_ = "station-sim: " + sim_->startError;
    if (libraryError_.empty()) libraryError_ = OpenAudioLibrary("file:" + output_->Path() + "out.raw");
  }
  static void TearDownTestSuite() {
    StopStream();
    WaitIdle(30);
    SetAudioOutput(0);
    delete sim_;
    delete dumps_;
    delete output_;
  }

  void SetUp() override {
    ASSERT_EQ(libraryError_, "");
    SetRecordAll(0);
    gSettings.SetRecordSavePath(songs_.Path());
    SimGet(sim_->port, "/control/clear");
  }
  void TearDown() override {
    StopStream();
    WaitIdle(30);
    SetRecordAll(0);
    for (int i = 0; i < 3000 && SongSavesPending(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  void Play(const std::string& path) {
    SetStreamList({Entry("s", sim_->Url(path))});
    StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  }

  // Stands in for the main loop until `done` holds on the log or `seconds` pass.
  template <typename Done>
  bool Drive(LogCapture& log, int seconds, Done done) {
    auto start = std::chrono::steady_clock::now();
    int meta = PendingEventCount();
    for (;;) {
      if (std::chrono::steady_clock::now() - start > std::chrono::seconds(seconds)) return false;
      while (PendingEventCount() != meta) {
        ++meta;
        HandleTrackChange();
      }
      if (SongSavesPending() == 0 && done(log.Lines())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  static int Count(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
    return n;
  }

  ScratchFolder songs_;
};

StationSim* SongCapture::sim_ = nullptr;
ScratchFolder* SongCapture::output_ = nullptr;
ScratchFolder* SongCapture::dumps_ = nullptr;
std::string SongCapture::libraryError_;

struct CodecCase {
  const char* path;
  const char* ext;
  double frameSeconds;  // one frame (or Ogg page) of the codec
};

// Catches, per codec: bytes lost, doubled or shifted at a title change (the audio is not
// the simulator's), a title that is not cut where a frame starts (FFmpeg reports errors),
// a wrong length, missing tags, and recording that saves a title joined midway.
TEST_F(SongCapture, RecordEverySongKeepsEachTitleBitExact) {
  const CodecCase cases[] = {
      {"/stream/mp3", ".mp3", 1152.0 / 44100},
      {"/stream/aac", ".aac", 1024.0 / 44100},
      {"/stream/opus", ".opus", 1.1},
      {"/stream/vorbis", ".ogg", 1.1},
  };
  for (const CodecCase& c : cases) {
    SCOPED_TRACE(c.path);
    LogCapture log;
    ScratchFolder songs;
    gSettings.SetRecordSavePath(songs.Path());
    SetRecordAll(1);
    Play(c.path);
    ASSERT_TRUE(Drive(log, 60, [](const std::vector<std::string>& l) { return Count(l, "Song recorded") >= 3; }));
    SetRecordAll(0);
    StopStream();
    ASSERT_TRUE(WaitIdle(30));
    const std::vector<std::string> lines = log.Lines();
    // The title joined midway is never recorded.
    EXPECT_GE(Count(lines, "Song not recorded, its start was not received"), 1);
    const std::map<std::string, Dump> dumps = ReadDumps(dumps_->Path());
    std::vector<std::string> files = SavedFiles(songs.Path());
    ASSERT_GE(files.size(), 3u);
    files.resize(3);
    for (const std::string& f : files) {
      SCOPED_TRACE(f);
      EXPECT_EQ(std::filesystem::path(f).extension().string(), c.ext);
      int status = 0;
      EXPECT_EQ(RunTool("ffmpeg -nostdin -v error -i " + Quote(f) + " -f null -", &status), "");
      EXPECT_EQ(status, 0);
      const std::string title = ProbeTag(f, "title");
      const Dump* sent = nullptr;
      for (const auto& [meta, d] : dumps)
        if (TitleOfMeta(meta) == title) sent = &d;
      ASSERT_NE(sent, nullptr) << "no title of the simulator is called \"" << title << "\"";
      const std::string file = ReadFile(f);
      if (c.ext == std::string(".mp3") || c.ext == std::string(".aac")) {
        // Frames as sent, cut at most a frame in from either end of what came under the title.
        const std::string audio = WithoutId3(file);
        const size_t at = sent->audio.find(audio);
        ASSERT_NE(at, std::string::npos) << "the audio is not a run of the bytes sent";
        const std::string sentPath = songs.Path() + "sent" + c.ext;
        WriteFile(sentPath, sent->audio);
        const std::vector<size_t> sentFrames = FrameSizes(sentPath);
        ASSERT_FALSE(sentFrames.empty());
        // Encoders vary frame sizes, so an average frame is no bound for a torn one; the
        // largest has room for an ADTS header.
        const size_t frameBytes = *std::max_element(sentFrames.begin(), sentFrames.end()) + 7;
        EXPECT_LE(at, frameBytes);
        EXPECT_LE(sent->audio.size() - (at + audio.size()), frameBytes);
        // The length in frames: ffprobe's duration of raw MP3 and ADTS is an estimate from
        // the bitrate of the first frames, which differ between the two files.
        EXPECT_NEAR(double(FrameSizes(f).size()), double(sentFrames.size()), 2.0);
        std::filesystem::remove(sentPath);
      } else {
        // Every audio page's packets are the simulator's, in order.
        std::vector<std::string> saved = OggPageBodies(file), all = OggPageBodies(sent->audio);
        ASSERT_GT(saved.size(), 3u);
        size_t from = 0, matched = 0;
        for (size_t i = 3; i < saved.size(); ++i) {
          auto it = std::find(all.begin() + ptrdiff_t(from), all.end(), saved[i]);
          if (it != all.end()) {
            from = size_t(it - all.begin()) + 1;
            ++matched;
          }
        }
        EXPECT_GE(matched + 1, saved.size() - 3) << "audio pages not sent under this title";
        EXPECT_NEAR(ProbeDuration(f), kTitleSeconds, c.frameSeconds);
      }
    }
  }
}

// Catches an Ogg stream without ICY metadata (as Icecast serves Ogg) whose titles go
// unseen: each logical stream's comment header names its title, which is saved whole from
// its first page, its length the title's.
TEST_F(SongCapture, OggWithoutIcyMetadataNamesItsTitles) {
  LogCapture log;
  SetRecordAll(1);
  Play("/stream/vorbis?badmetaint=0");
  ASSERT_TRUE(Drive(log, 60, [](const std::vector<std::string>& l) { return Count(l, "Song recorded") >= 2; }));
  SetRecordAll(0);
  const std::vector<std::string> files = SavedFiles(songs_.Path());
  ASSERT_GE(files.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(files[i]);
    EXPECT_NE(ProbeTag(files[i], "title"), "");
    EXPECT_NEAR(ProbeDuration(files[i]), kTitleSeconds, 0.03);
    int status = 0;
    EXPECT_EQ(RunTool("ffmpeg -nostdin -v error -i " + Quote(files[i]) + " -f null -", &status), "");
  }
  // The titles reach the listener too, in order.
  ASSERT_GE(TrackHistorySize(), 2u);
}

// Catches a save asked for in the middle of a title that starts at the ask, or one that
// waits for nothing: the file begins where the title's announced bytes begin.
TEST_F(SongCapture, SaveInTheMiddleKeepsTheTitleStart) {
  LogCapture log;
  Play("/stream/mp3");
  // The second title is heard from its start.
  ASSERT_TRUE(Drive(log, 40, [](const std::vector<std::string>&) { return TrackHistorySize() >= 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  const int result = SaveHeardSong();
  EXPECT_TRUE(result == kSaveSongAtEnd || result == kSaveSongWriting) << result;
  EXPECT_EQ(SaveHeardSong(), kSaveSongAlready);
  ASSERT_TRUE(Drive(log, 30, [](const std::vector<std::string>& l) { return Count(l, "Song saved") >= 1; }));
  const std::vector<std::string> lines = log.Lines();
  for (const auto& l : lines)
    if (l.rfind("Song saved", 0) == 0) EXPECT_EQ(l.find("oldest byte"), std::string::npos) << l;
  const std::vector<std::string> files = SavedFiles(songs_.Path());
  ASSERT_EQ(files.size(), 1u);
  const std::string audio = WithoutId3(ReadFile(files[0]));
  const std::string title = ProbeTag(files[0], "title");
  bool found = false;
  for (const auto& [meta, d] : ReadDumps(dumps_->Path())) {
    if (TitleOfMeta(meta) != title) continue;
    found = true;
    EXPECT_LE(d.audio.find(audio), size_t(420)) << "the file does not start at the title's first frame";
  }
  EXPECT_TRUE(found);
}

// Catches a save entry that is on before the station named any title, or a save that
// writes something for a station that never does.
TEST_F(SongCapture, NoTitleNothingToSave) {
  // No metadata at all, and announcements that name nothing.
  for (const char* path : {"/stream/mp3?badmetaint=0", "/stream/mp3?meta=empty"}) {
    SCOPED_TRACE(path);
    LogCapture log;
    Play(path);
    ASSERT_TRUE(Drive(log, 20, [](const std::vector<std::string>& l) { return Count(l, "Playing.") >= 1; }));
    // Until the nameless announcement has reached the output and is the title heard.
    Drive(log, 2, [](const std::vector<std::string>&) { return false; });
    EXPECT_EQ(SongSaveAvailable(), 0);
    EXPECT_EQ(SaveHeardSong(), kSaveSongNoTitle);
    StopStream();
    ASSERT_TRUE(WaitIdle(30));
    EXPECT_TRUE(SavedFiles(songs_.Path()).empty());
  }
}

// Catches a title cut by a dropped connection that is lost, or written past the break:
// the file ends at the last good frame and FFmpeg reads it without error.
TEST_F(SongCapture, DropMidTitleEndsAtTheBreak) {
  LogCapture log;
  Play("/stream/mp3");
  ASSERT_TRUE(Drive(log, 40, [](const std::vector<std::string>&) { return TrackHistorySize() >= 2; }));
  const int result = SaveHeardSong();
  ASSERT_TRUE(result == kSaveSongAtEnd || result == kSaveSongWriting) << result;
  if (result == kSaveSongAtEnd) SimGet(sim_->port, "/control/drop");
  ASSERT_TRUE(Drive(log, 30, [](const std::vector<std::string>& l) { return Count(l, "Song saved") >= 1; }));
  const std::vector<std::string> files = SavedFiles(songs_.Path());
  ASSERT_EQ(files.size(), 1u);
  int status = 0;
  EXPECT_EQ(RunTool("ffmpeg -nostdin -v error -i " + Quote(files[0]) + " -f null -", &status), "");
  EXPECT_EQ(status, 0);
}

// Catches a hostile title that reaches the file system as a path: separators, controls,
// direction overrides and 4 KiB of text give one file inside the folder, its name bounded.
TEST_F(SongCapture, HostileTitlesStayInTheFolder) {
  for (const char* meta : {"paths", "long"}) {
    SCOPED_TRACE(meta);
    LogCapture log;
    ScratchFolder songs;
    gSettings.SetRecordSavePath(songs.Path() + "sub/");
    Play(std::string("/stream/mp3?meta=") + meta);
    ASSERT_TRUE(Drive(log, 30, [](const std::vector<std::string>& l) {
      return Count(l, "Playing.") >= 1 && SongSaveAvailable() == 1;
    }));
    StopStream();
    ASSERT_TRUE(WaitIdle(30));
    EXPECT_EQ(SaveHeardSong(), kSaveSongWriting);
    ASSERT_TRUE(Drive(log, 30, [](const std::vector<std::string>& l) { return Count(l, "Song saved") >= 1; }));
    const std::vector<std::string> files = SavedFiles(songs.Path() + "sub/");
    ASSERT_EQ(files.size(), 1u);
    const std::string name = std::filesystem::path(files[0]).filename().string();
    EXPECT_LE(name.size(), 200u);
    EXPECT_EQ(name.find_first_of("/\\:*?\"<>|\x1b"), std::string::npos) << name;
    EXPECT_EQ(name.find("\xE2\x80\xAE"), std::string::npos) << name;
  }
}

// The file name of a title: what must never reach the file system, and what must stay.
TEST(SongFileNameTest, Table) {
  struct Case {
    const char* title;
    const char* name;
  } cases[] = {
      // Catches path separators that would leave the folder.
      {"../../etc/passwd - x", "etcpasswd - x"},
      // Catches the characters Windows refuses in a name.
      {"AC\\DC: Back <In> Black? - T|*\"", "ACDC Back In Black - T"},
      // Catches controls and a direction override that makes a name read reversed.
      {"A\x1b[31m - B\xE2\x80\xAEgpj.exe", "A[31m - Bgpj.exe"},
      // Catches letters beyond ASCII being dropped.
      {"Café Müller - Inês", "Café Müller - Inês"},
      // Catches a name of dots or blanks only (".." is the folder above).
      {" .. ", "Untitled"},
      // Catches the names Windows reserves for devices.
      {"CON", "_CON"},
      {"nul.txt", "_nul.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(SongFileName(c.title), c.name) << c.title;
  // Catches a 4 KiB title passed on whole, or cut inside a UTF-8 sequence.
  std::string longTitle;
  for (int i = 0; i < 2048; ++i) longTitle += "é";
  const std::string cut = SongFileName(longTitle);
  EXPECT_LE(cut.size(), 180u);
  EXPECT_TRUE(IsValidUtf8(cut));
}

#if defined(PLAYER_BINARY) && !defined(_WIN32)
// Catches a second start that does not reach the running player, that starts a player of
// its own, or that stays silent (and succeeds) when none runs.
TEST(SaveSongCommandLine, HandsOverOrSaysNoneRuns) {
  ScratchFolder run;
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string before = saved ? saved : "";
  const std::string dir = run.Path().substr(0, run.Path().size() - 1);
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  const std::string command = "XDG_RUNTIME_DIR=" + Quote(dir) + " " + Quote(PLAYER_BINARY) + " --save-song";
  int status = 0;
  std::string out = RunTool(command, &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out, "Corvale Player is not running: there is no song to save.\n");

  const int listener = InstanceListenerOpen(kProgramId);
  ASSERT_GE(listener, 0);
  out = RunTool(command, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "");
  std::vector<int> commands;
  for (int i = 0; i < 100 && commands.empty(); ++i) {
    EXPECT_EQ(InstanceListenerRead(listener, &commands), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(commands, std::vector<int>{MenuSaveSong});
  InstanceListenerClose(listener);
  if (saved)
    setenv("XDG_RUNTIME_DIR", before.c_str(), 1);
  else
    unsetenv("XDG_RUNTIME_DIR");
}
#endif
