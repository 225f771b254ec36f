// Times the song log window over a generated database (100 000 rows unless told):
// opening it with its first page painted, each step of typing a filter, the
// favourites-only switch, jumps through the list, and Ctrl+A with Ctrl+C. Offscreen, in a
// scratch folder; each figure is the median of five runs.
//   bench_song_log [rows]
//   bench_song_log --shot <png> [filter]   the window on the X display (song_log_shots.sh)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "ui/ui.h"

namespace {

#ifdef _WIN32
void SetVariable(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }
int ProcessId() { return _getpid(); }
#else
void SetVariable(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }
int ProcessId() { return getpid(); }
#endif

constexpr int kFilterField = 1;
constexpr int kFavouritesButton = 2;
constexpr int kSongList = 4;

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(const std::function<void()>& step, const std::function<void()>& reset = {}) {
  std::vector<double> runs;
  for (int i = 0; i < 5; ++i) {
    if (reset) reset();
    const auto start = std::chrono::steady_clock::now();
    step();
    runs.push_back(Ms(std::chrono::steady_clock::now() - start));
  }
  std::sort(runs.begin(), runs.end());
  return runs[2];
}

void Paint() {
  const int image = GrabWindowImage(WinSongLog, ImageAny);
  if (image) FreeImage(image);
}

// What a pause in typing does: the filter timer's tick, then the list painted.
void ApplyFilter(const std::string& text) {
  SetGadgetText(WinSongLog, kFilterField, text);
  DispatchEvent(EventTimer, WinSongLog, kSongLogFilterTimer, 0);
  Paint();
}

const char* const kArtists[] = {"Queen",     "ABBA",         "Beyonc\xC3\xA9", "Sigur R\xC3\xB3s", "The Beatles",
                                "Daft Punk", "Bj\xC3\xB6rk", "Radiohead",      "Miles Davis",      "Nina Simone"};
const char* const kWords[] = {"Night",  "River",   "Golden", "Electric", "Summer", "Heart", "Blue",     "Dancing",
                              "Silver", "Morning", "Lonely", "Fire",     "Paper",  "Ocean", "Midnight", "Glass"};

// The database of `total` rows in `folder`, written in batches of 10 000. 1 or 0.
int MakeDatabase(const std::string& folder, int total) {
  int rc = 0;
  std::string note, error;
  SongStore* store = SongStoreOpen(folder + kSongLogFile, 1, 5000, &rc, &note);
  if (!store) {
    std::fprintf(stderr, "cannot create the database: %s\n", note.c_str());
    return 0;
  }
  std::vector<SongRow> batch;
  for (int i = 0; i < total; ++i) {
    SongRow r;
    const int64_t t = MakeDate(2026, 12, 7, 22, 0, 0) - int64_t(total - i) * 200;
    r.started = FormatDate("%yyyy-%mm-%ddT%hh:%ii:%ssZ", t);
    r.ended = FormatDate("%yyyy-%mm-%ddT%hh:%ii:%ssZ", t + 190);
    r.seconds = 150 + (i * 37) % 170;
    r.artist = kArtists[i % 10];
    r.title = std::string(kWords[(i * 7) % 16]) + " " + kWords[(i * 11 + 3) % 16] + " (" + std::to_string(i) + ")";
    r.album = "Album " + std::to_string(i / 12);
    r.streamTitle = r.artist + " - " + r.title;
    r.stationId = "corvale";
    r.streamName = "MP3 128";
    r.codec = "MP3";
    r.bitrate = 128;
    r.rms = -18.0 - (i % 7);
    r.peak = -1.0;
    r.lufs = i % 9 == 4 ? NAN : -14.0 - (i % 5) - 0.3 * (i % 3);
    r.luRange = 6.0;
    r.truePeak = -0.8;
    r.favourite = i % 97 == 0 || i % 13 == 5;
    batch.push_back(std::move(r));
    if (batch.size() == 10000 || i + 1 == total) {
      if (SongStoreAppend(store, batch, nullptr, &error) != SongStoreOk) {
        std::fprintf(stderr, "append failed: %s\n", error.c_str());
        SongStoreClose(store);
        return 0;
      }
      batch.clear();
    }
  }
  SongStoreClose(store);
  return 1;
}

int OpenLog(const std::string& folder) {
  SongLogInit(folder);
  for (int i = 0; i < 1000 && !SongLogReady(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (SongLogReady()) return 1;
  std::fprintf(stderr, "the song log did not open\n");
  return 0;
}

std::filesystem::path ScratchFolder(const char* name) {
  const auto scratch = std::filesystem::temp_directory_path() / (name + std::to_string(ProcessId()));
  std::filesystem::create_directories(scratch);
  return scratch;
}

// The window as the listener sees it on the X display, a few rows selected, saved as PNG.
int Shot(const std::string& png, const std::string& filter) {
  const auto scratch = ScratchFolder("song-log-shot-");
  const std::string folder = scratch.string() + "/";
  if (!MakeDatabase(folder, 2000)) return 1;
  char arg0[] = "bench_song_log";
  char* args[] = {arg0, nullptr};
  RuntimeInit(1, args);
  const char* data = std::getenv("CORVALE_DATA_DIR");
  gApp.dataFolder = std::string(data ? data : "data") + "/";
  RegisterPrivateFont(gApp.dataFolder + "SourceSansPro-Regular.otf");
  if (!OpenLog(folder)) return 1;
  gSettings.songLogX = 40;
  gSettings.songLogY = 40;
  OpenSongLogWindow(kOpenWindow, kKeepLayout);
  if (!filter.empty()) ApplyFilter(filter);
  for (int row : {1, 2, 4}) SetListRowSelected(WinSongLog, kSongList, row, 1);
  DispatchEvent(EventGadget, WinSongLog, kSongList, GadgetSelectionChange);
  // CORVALE_SHOT_HOLD_MS keeps the window up for a grab of the screen from outside.
  const char* hold = std::getenv("CORVALE_SHOT_HOLD_MS");
  const int waits = std::max(50, (hold ? std::atoi(hold) : 0) / 10);
  for (int i = 0; i < waits; ++i) WaitWindowEvent(10);
  const int image = GrabWindowImage(WinSongLog, ImageAny);
  const int ok = image && SaveImagePng(image, png);
  std::printf("%s: scale %s, client %d x %d, %d rows\n", png.c_str(), FormatScale(WindowScale(WinSongLog)).c_str(),
              WindowClientWidth(WinSongLog), WindowClientHeight(WinSongLog), SongLogShownRows());
  OpenSongLogWindow(kCloseWindow, kKeepLayout);
  SongLogShutdown();
  RuntimeTeardown();
  std::filesystem::remove_all(scratch);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--shot") return Shot(argv[2], argc > 3 ? argv[3] : "");
  const int total = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100000;
  if (!std::getenv("QT_QPA_PLATFORM")) SetVariable("QT_QPA_PLATFORM", "offscreen");
  const auto scratch = ScratchFolder("bench-song-log-");
  const std::string folder = scratch.string() + "/";

  const auto start = std::chrono::steady_clock::now();
  if (!MakeDatabase(folder, total)) return 1;
  std::printf("database: %d rows written in %.0f ms, %.1f MB\n", total, Ms(std::chrono::steady_clock::now() - start),
              std::filesystem::file_size(folder + kSongLogFile) / 1048576.0);

  char arg0[] = "bench_song_log";
  char* args[] = {arg0, nullptr};
  RuntimeInit(1, args);
  if (!OpenLog(folder)) return 1;

  const double open = Median(
      [] {
        OpenSongLogWindow(kOpenWindow, kKeepLayout);
        Paint();
      },
      [] { OpenSongLogWindow(kCloseWindow, kKeepLayout); });
  std::printf("open the window, %d rows, first page painted: %.1f ms (median of 5)\n", SongLogShownRows(), open);

  // Typing "night" one key at a time, each step as if the keys paused after it.
  const std::string word = "night";
  for (size_t n = 1; n <= word.size(); ++n) {
    const std::string text = word.substr(0, n);
    const double ms = Median([&] { ApplyFilter(text); }, [] { ApplyFilter(""); });
    std::printf("filter \"%s\": %d rows, %.1f ms\n", text.c_str(), SongLogShownRows(), ms);
  }
  const double none = Median([] { ApplyFilter("no such title"); }, [] { ApplyFilter(""); });
  std::printf("filter \"no such title\": %d rows, %.1f ms\n", SongLogShownRows(), none);
  const double clear = Median([] { ApplyFilter(""); }, [] { ApplyFilter("night"); });
  std::printf("filter cleared: %d rows, %.1f ms\n", SongLogShownRows(), clear);

  const double favourites = Median(
      [] {
        DispatchEvent(EventGadget, WinSongLog, kFavouritesButton, GadgetLeftClick);
        Paint();
      },
      [] {
        if (SongLogShownQuery().favouritesOnly)
          DispatchEvent(EventGadget, WinSongLog, kFavouritesButton, GadgetLeftClick);
      });
  std::printf("favourites only: %d rows, %.1f ms\n", SongLogShownRows(), favourites);
  DispatchEvent(EventGadget, WinSongLog, kFavouritesButton, GadgetLeftClick);

  for (int row : {total / 2, total - 1}) {
    const double jump = Median(
        [row] {
          SetListCurrentRow(WinSongLog, kSongList, row);
          Paint();
        },
        [] {
          SetListCurrentRow(WinSongLog, kSongList, 0);
          Paint();
        });
    std::printf("jump to row %d and paint: %.1f ms\n", row, jump);
  }

  const double copy = Median([] {
    SetListRowSelected(WinSongLog, kSongList, -1, 1);
    DispatchEvent(EventMenu, WinSongLog, MenuCopy, 0);
  });
  std::printf("Ctrl+A, Ctrl+C of %d rows: %.1f ms, %.1f MB of text\n", total, copy,
              GetClipboardText().size() / 1048576.0);

  OpenSongLogWindow(kCloseWindow, kKeepLayout);
  SongLogShutdown();
  RuntimeTeardown();
  std::filesystem::remove_all(scratch);
  return 0;
}
