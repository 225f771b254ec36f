// The song log window against a real database in a scratch per-user data folder: the
// rows it shows and reads, the filter as typed, the favourites-only switch, hearts and
// Ctrl+D, Ctrl+C, new titles coming in, the export and its failure, and the stored size;
// events go through the player's own dispatch. The cell texts on plain values.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTableView>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "data/data.h"
#include "platform/platform.h"
#include "runtime/rt_internal.h"
#include "ui/ui.h"
#include "ui_test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFilterField = 1;
constexpr int kFavouritesButton = 2;
constexpr int kExportButton = 3;
constexpr int kSongList = 4;
constexpr int kRows = 250;

// Takes events through the player's dispatch until `done` holds or time runs out.
template <typename F>
bool RunLoopUntil(F done, int ms = 4000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    const int kind = WaitWindowEvent(10);
    if (kind) DispatchEvent(kind, EventWindow(), EventObject(), EventType());
    if (done()) return true;
  }
  return done();
}

void Click(int gadget) { DispatchEvent(EventGadget, WinSongLog, gadget, GadgetLeftClick); }

SongRow MakeRow(int i) {
  SongRow r;
  // One a minute, 2026-01-01 00:00 UTC on; every 10th is Queen, every 50th on a "Queen" album.
  const int minute = i % 60, hour = (i / 60) % 24, day = 1 + i / 1440;
  char date[32];
  std::snprintf(date, sizeof date, "2026-01-%02dT%02d:%02d:00Z", day, hour, minute);
  r.started = date;
  r.ended = date;
  r.seconds = 180 + i % 60;
  r.artist = i % 10 == 0 ? "Queen" : "Artist " + std::to_string(i);
  r.title = "Song " + std::to_string(i);
  r.album = i % 50 == 7 ? "Queen Tribute" : "Album";
  r.streamTitle = r.artist + " - " + r.title;
  r.stationId = "corvale";
  r.streamName = "MP3 128";
  r.codec = "MP3";
  r.bitrate = 128;
  r.rms = -18.5;
  r.peak = -1.0;
  r.lufs = i % 2 ? -14.25 : NAN;
  r.luRange = NAN;
  r.truePeak = NAN;
  r.favourite = i % 100 == 3 ? 1 : 0;
  return r;
}

class SongLogWindowTest : public PlayerEnv {
 protected:
  static void SetUpTestSuite() {
    UiTestRuntime();
    scratch = fs::temp_directory_path() / ("songlog-window-" + std::to_string(::getpid()));
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    setenv("XDG_DATA_HOME", scratch.string().c_str(), 1);
    folder = UserDataFolder();
    ASSERT_FALSE(folder.empty());
    int rc = 0;
    std::string note;
    SongStore* store = SongStoreOpen(folder + kSongLogFile, 1, 2000, &rc, &note);
    ASSERT_NE(store, nullptr) << note;
    std::vector<SongRow> rows;
    for (int i = 0; i < kRows; ++i) rows.push_back(MakeRow(i));
    std::string error;
    ASSERT_EQ(SongStoreAppend(store, rows, nullptr, &error), SongStoreOk) << error;
    SongStoreClose(store);
    ASSERT_EQ(SongLogInit(folder), 1);
    for (int i = 0; i < 500 && !SongLogReady(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(SongLogReady(), 1);
  }
  static void TearDownTestSuite() {
    SongLogShutdown();
    fs::remove_all(scratch);
  }
  void SetUp() override { ASSERT_EQ(OpenSongLogWindow(kOpenWindow, kKeepLayout), 1); }
  void TearDown() override {
    OpenSongLogWindow(kCloseWindow, kKeepLayout);
    RunLoopUntil([] { return false; }, 50);
  }
  static void Paint() {
    const int image = GrabWindowImage(WinSongLog, ImageAny);
    if (image) FreeImage(image);
  }
  static std::vector<SongRow> Query(const std::string& filter, int favouritesOnly) {
    std::vector<SongRow> rows;
    SongLogRows(filter, favouritesOnly, 0, 100000, &rows);
    return rows;
  }
  static void Type(const std::string& text) {
    SetGadgetText(WinSongLog, kFilterField, text);
    DispatchEvent(EventGadget, WinSongLog, kFilterField, GadgetChange);
  }
  static inline fs::path scratch;
  static inline std::string folder;
};

// Catches a window that reads every row on opening (100 000 rows would stall it), that
// shows the oldest title first, or that counts wrongly.
TEST_F(SongLogWindowTest, OpensNewestFirstReadingOnlyThePageShown) {
  EXPECT_EQ(SongLogShownRows(), kRows);
  EXPECT_EQ(ListRowCount(WinSongLog, kSongList), kRows);
  Paint();
  EXPECT_GE(SongLogPageReads(), 1);
  EXPECT_LE(SongLogPageReads(), 1);
  SetListCurrentRow(WinSongLog, kSongList, 0);
  DispatchEvent(EventMenu, WinSongLog, MenuCopy, 0);
  const std::vector<SongRow> newest = Query("", 0);
  ASSERT_FALSE(newest.empty());
  EXPECT_EQ(newest.front().title, "Song 249");
  EXPECT_EQ(GetClipboardText(), SongRowsAsText({newest.front()}));
}

// Catches a filter applied on every key (typing stalls on a large log), one that misses
// albums or letter case, and a favourites switch that ignores the filter.
TEST_F(SongLogWindowTest, FilterAsTypedAndFavouritesOnly) {
  Type("QUEEN");
  EXPECT_EQ(SongLogShownQuery().filter, "");  // not before the keys pause
  ASSERT_TRUE(RunLoopUntil([] { return SongLogShownQuery().filter == "QUEEN"; }));
  // 25 by the artist, 5 by the album (one row of them is both: i = 7 + 50k never ends in 0).
  EXPECT_EQ(SongLogShownRows(), 30);
  EXPECT_EQ(ListRowCount(WinSongLog, kSongList), 30);
  Click(kFavouritesButton);
  EXPECT_EQ(GetGadgetText(WinSongLog, kFavouritesButton), "\xE2\x99\xA5 Favourites");
  EXPECT_EQ(SongLogShownRows(), static_cast<int>(Query("QUEEN", 1).size()));
  Type("");
  ASSERT_TRUE(RunLoopUntil([] { return SongLogShownQuery().filter.empty(); }));
  EXPECT_EQ(SongLogShownRows(), 3);  // rows 3, 103, 203
  Click(kFavouritesButton);
  EXPECT_EQ(GetGadgetText(WinSongLog, kFavouritesButton), "All Songs");
  EXPECT_EQ(SongLogShownRows(), kRows);
}

// Catches a heart click that toggles another row or needs the heart column to be missed,
// Ctrl+D that does not reach the database, and a favourites-only list that does not
// follow.
TEST_F(SongLogWindowTest, HeartsAndCtrlDToggleFavourites) {
  Paint();
  auto* view = static_cast<QTableView*>(rt::FindGadget(WinSongLog, kSongList)->widget.data());
  ASSERT_NE(view, nullptr);
  // Row 1 (Song 248) in the heart column, then the same row in the title column.
  const QRect heart = view->visualRect(view->model()->index(1, kSongLogHeartColumn));
  const QRect title = view->visualRect(view->model()->index(1, kSongLogTitleColumn));
  ASSERT_FALSE(heart.isEmpty());
  auto click = [view](QPoint p) {
    QMouseEvent press(QEvent::MouseButtonPress, p, view->viewport()->mapToGlobal(p), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, p, view->viewport()->mapToGlobal(p), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &press);
    QApplication::sendEvent(view->viewport(), &release);
  };
  auto favourite = [](const std::string& title) {
    std::vector<SongRow> rows = Query(title, 0);
    return rows.size() == 1 ? rows.front().favourite : -1;
  };
  QCursor::setPos(view->viewport()->mapToGlobal(title.center()));
  click(title.center());
  RunLoopUntil([] { return false; }, 100);
  EXPECT_EQ(favourite("Song 248"), 0);
  QCursor::setPos(view->viewport()->mapToGlobal(heart.center()));
  click(heart.center());
  ASSERT_TRUE(RunLoopUntil([&] { return favourite("Song 248") == 1; }));
  EXPECT_EQ(favourite("Song 247"), 0);

  // Ctrl+D over rows 0..2: not all are favourites, so all become favourites; again: none.
  SetListRowSelected(WinSongLog, kSongList, -1, 0);
  for (int row : {0, 1, 2}) SetListRowSelected(WinSongLog, kSongList, row, 1);
  DispatchEvent(EventMenu, WinSongLog, kSongLogToggleFavourite, 0);
  ASSERT_TRUE(RunLoopUntil([&] { return SongLogCount("", 1) == 6; }));
  EXPECT_EQ(favourite("Song 249"), 1);
  EXPECT_EQ(favourite("Song 248"), 1);
  EXPECT_EQ(favourite("Song 247"), 1);
  Click(kFavouritesButton);
  EXPECT_EQ(SongLogShownRows(), 6);  // 3, 103, 203 and the three new ones
  for (int row : {0, 1, 2}) SetListRowSelected(WinSongLog, kSongList, row, 1);
  DispatchEvent(EventMenu, WinSongLog, kSongLogToggleFavourite, 0);
  ASSERT_TRUE(RunLoopUntil([&] { return favourite("Song 249") == 0 && favourite("Song 248") == 0; }));
  // The list follows once the store has it (the window's refresh tick).
  EXPECT_TRUE(RunLoopUntil([] { return SongLogShownRows() == 3; }, 3000));
}

// Catches an export that ignores the chosen file, loses rows, or fails without telling.
TEST_F(SongLogWindowTest, ExportWritesTheFileOrSaysWhy) {
  const std::string out = (scratch / "exported").string();
  setenv("CORVALE_DIALOG_FILE", out.c_str(), 1);
  Click(kExportButton);
  ASSERT_TRUE(RunLoopUntil([] { return IsGadgetDisabled(WinSongLog, kExportButton) == 0; }, 10000));
  std::ifstream in(out + ".csv", std::ios::binary);
  ASSERT_TRUE(in.good());
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t lines = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++lines;
  EXPECT_GE(lines, static_cast<size_t>(kRows + 1));  // the header and every row
  EXPECT_EQ(SongLogShownStatus(), "Exported to " + out + ".csv");
  SetListCurrentRow(WinSongLog, kSongList, 3);
  DispatchEvent(EventGadget, WinSongLog, kSongList, GadgetSelectionChange);
  EXPECT_EQ(SongLogShownStatus(), std::to_string(kRows) + " songs, 1 selected");

  setenv("CORVALE_DIALOG_FILE", (scratch / "missing-folder" / "x.json").string().c_str(), 1);
  testing::internal::CaptureStderr();
  Click(kExportButton);
  RunLoopUntil([] { return IsGadgetDisabled(WinSongLog, kExportButton) == 0; }, 10000);
  RunLoopUntil([] { return false; }, 100);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("dialog: Corvale Player: The song log could not be exported to"), std::string::npos) << err;
  unsetenv("CORVALE_DIALOG_FILE");
}

// Catches a size or place that is not remembered, or a stored size that is not used.
TEST_F(SongLogWindowTest, SizeIsRemembered) {
  ResizeWindow(WinSongLog, 30, 40, 640, 420);
  ASSERT_TRUE(RunLoopUntil([] { return gSettings.songLogW.load() == 640 && gSettings.songLogH.load() == 420; }));
  // The list fills the new size.
  EXPECT_GT(GadgetWidth(WinSongLog, kSongList), 600);
  EXPECT_GT(GadgetY(WinSongLog, kSongList) + GadgetHeight(WinSongLog, kSongList), 360);
  OpenSongLogWindow(kCloseWindow, kKeepLayout);
  ASSERT_EQ(OpenSongLogWindow(kOpenWindow, kKeepLayout), 1);
  EXPECT_EQ(WindowClientWidth(WinSongLog), 640);
  EXPECT_EQ(WindowClientHeight(WinSongLog), 420);
}

// Catches a window that keeps its scale-1 layout on a 144 DPI screen (tiny text and
// bar), and a timer tick or click still queued at the close that opens it again.
TEST_F(SongLogWindowTest, FollowsTheDpiAndStaysClosed) {
  const int barHeight = GadgetHeight(WinSongLog, kFilterField);
  const int listTop = GadgetY(WinSongLog, kSongList);
  const int timeWidth = ListColumnWidth(WinSongLog, kSongList, kSongLogTimeColumn);
  WindowMessage m;
  m.kind = MsgDpiChanged;
  m.window = WinSongLog;
  m.dpi = 144;
  m.x = 20;
  m.y = 20;
  m.width = 1080;
  m.height = 690;
  EXPECT_EQ(SongLogWindowCallback(m), 1);
  EXPECT_EQ(WindowClientWidth(WinSongLog), 1080);
  EXPECT_GE(GadgetHeight(WinSongLog, kFilterField), barHeight * 14 / 10);
  EXPECT_GE(GadgetY(WinSongLog, kSongList), listTop * 14 / 10);
  EXPECT_GE(ListColumnWidth(WinSongLog, kSongList, kSongLogTimeColumn), timeWidth * 13 / 10);
  m.dpi = 96;
  m.width = 720;
  m.height = 460;
  SongLogWindowCallback(m);
  EXPECT_EQ(GadgetHeight(WinSongLog, kFilterField), barHeight);

  DispatchEvent(EventCloseWindow, WinSongLog, 0, 0);
  EXPECT_EQ(IsWindow(WinSongLog), 0);
  DispatchEvent(EventTimer, WinSongLog, kSongLogFilterTimer, 0);
  DispatchEvent(EventGadget, WinSongLog, kFavouritesButton, GadgetLeftClick);
  EXPECT_EQ(IsWindow(WinSongLog), 0);
  EXPECT_EQ(SongLogShownRows(), 0);
}

// Catches pages read again while cached, a cache that grows without end, and a copy of
// many rows read one page at a time.
TEST_F(SongLogWindowTest, PageCache) {
  SongLogPageCache cache;
  SongLogQuery all;
  ASSERT_NE(cache.Row(all, 0), nullptr);
  EXPECT_EQ(cache.Row(all, 0)->title, "Song 249");
  EXPECT_EQ(cache.Row(all, 99)->title, "Song 150");
  EXPECT_EQ(cache.reads, 1);
  EXPECT_EQ(cache.Row(all, 249)->title, "Song 0");
  EXPECT_EQ(cache.Row(all, 250), nullptr);
  EXPECT_EQ(cache.Row(all, -1), nullptr);
  EXPECT_EQ(cache.reads, 2);
  for (int page = 0; page <= kSongLogCachedPages + 1; ++page) cache.Row(SongLogQuery{"Song", 0}, page * 100);
  EXPECT_LE(cache.pages.size(), static_cast<size_t>(kSongLogCachedPages));
  cache.Clear();
  cache.reads = 0;
  std::vector<int> rows;
  for (int i = 0; i < kRows; ++i) rows.push_back(i);
  std::vector<SongRow> fetched = cache.Fetch(all, rows);
  ASSERT_EQ(fetched.size(), static_cast<size_t>(kRows));
  EXPECT_EQ(fetched.back().title, "Song 0");
  EXPECT_EQ(cache.reads, 1);
}

// Catches new titles that are missed until the window reopens, or that shift the
// selection onto other titles.
TEST_F(SongLogWindowTest, NewTitlesComeInAtTheTop) {
  SetListCurrentRow(WinSongLog, kSongList, 5);
  SongRow r = MakeRow(kRows);
  r.title = "Brand New";
  SongLogTitleStarted(r, 0);
  SongLogTitleEnded(0, -20, -3, NAN, NAN, NAN);
  ASSERT_TRUE(RunLoopUntil([] { return SongLogShownRows() == kRows + 1; }, 5000));
  std::vector<int> selected;
  ListSelectedRows(WinSongLog, kSongList, &selected);
  EXPECT_EQ(selected, std::vector<int>{6});
  DispatchEvent(EventMenu, WinSongLog, MenuCopy, 0);
  EXPECT_NE(GetClipboardText().find("Song 244"), std::string::npos);
}

// Catches times shown in UTC or unparsed, lengths rounded the wrong way, loudness that
// shows "nan", and titles that lose the raw stream title when the tags are empty.
TEST(SongLogTexts, Cells) {
  EXPECT_EQ(SongLogTimeText("2026-12-07T22:05:57Z", 3600), "2026-12-07 23:05");
  EXPECT_EQ(SongLogTimeText("2026-12-31T23:30:00Z", 3600), "2027-01-01 00:30");
  EXPECT_EQ(SongLogTimeText("yesterday", 0), "yesterday");
  struct {
    double seconds;
    const char* text;
  } lengths[] = {{0, "0:00"}, {0.4, "0:00"}, {59.6, "1:00"}, {185, "3:05"}, {3725, "1:02:05"}, {NAN, "0:00"}};
  for (const auto& c : lengths) EXPECT_EQ(SongLogLengthText(c.seconds), c.text) << c.seconds;
  SongRow r;
  r.lufs = -14.25;
  r.rms = -18;
  EXPECT_EQ(SongLogLoudnessText(r), "-14.2 LUFS");
  r.lufs = NAN;
  EXPECT_EQ(SongLogLoudnessText(r), "-18.0 dB RMS");
  r.rms = NAN;
  EXPECT_EQ(SongLogLoudnessText(r), "");
  r.artist = "A";
  r.title = "T";
  r.streamTitle = "raw";
  EXPECT_EQ(SongLogTitleText(r), "A - T");
  r.artist.clear();
  EXPECT_EQ(SongLogTitleText(r), "T");
  r.title.clear();
  EXPECT_EQ(SongLogTitleText(r), "raw");
  r.favourite = 1;
  EXPECT_EQ(SongLogCellText(r, kSongLogHeartColumn, 0), "\xE2\x99\xA5");
  EXPECT_EQ(SongLogStatusText(1, 0, 1), "1 song");
  EXPECT_EQ(SongLogStatusText(12, 3, 1), "12 songs, 3 selected");
  EXPECT_EQ(SongLogStatusText(0, 0, 1), "0 songs");
  EXPECT_EQ(SongLogStatusText(0, 0, 0), "The song log is not open.");
}

// Catches an export name without the format ExportSongLog needs, or one whose format
// in another letter case is doubled.
TEST(SongLogTexts, ExportPathAndWindowSize) {
  EXPECT_EQ(SongLogExportPath("/home/a/log"), "/home/a/log.csv");
  EXPECT_EQ(SongLogExportPath("/home/a/log.JSON"), "/home/a/log.JSON");
  EXPECT_EQ(SongLogExportPath("/home/a/log.csv"), "/home/a/log.csv");
  EXPECT_EQ(SongLogExportPath("/home/a.v2/log"), "/home/a.v2/log.csv");
  EXPECT_EQ(SongLogExportPath("C:\\a.b\\log.txt"), "C:\\a.b\\log.txt.csv");
  int w = 0, h = 0;
  SongLogWindowSize(0, 0, 1.5f, &w, &h);
  EXPECT_EQ(w, 1080);
  EXPECT_EQ(h, 690);
  SongLogWindowSize(500, 300, 1.5f, &w, &h);
  EXPECT_EQ(w, 500);
  EXPECT_EQ(h, 300);
  SongLogWindowSize(299, 300, 1.0f, &w, &h);
  EXPECT_EQ(w, 720);
  SongLogWindowSize(500, 40000, 1.0f, &w, &h);
  EXPECT_EQ(h, 460);
}

}  // namespace
