// The song log's database on real SQLite in scratch folders: the schema steps from an
// old file, recovery from damaged files, the window's filtered pages, and what a lock,
// a full disk and a kill do to the rows already committed.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "playback/playback_test_util.h"

using namespace playtest;

namespace {

std::string SongFixture(const std::string& name) {
  return std::string(CORVALE_SOURCE_DIR) + "/tests/songlog/fixtures/" + name;
}

SongStore* OpenWriter(const std::string& path, std::string* note = nullptr) {
  int result = -1;
  std::string n;
  SongStore* s = SongStoreOpen(path, 1, 2000, &result, &n);
  if (note) *note = n;
  return s;
}

std::vector<std::string> Titles(SongStore* s, const std::string& filter, int favourites, int offset = 0,
                                int limit = 1000) {
  std::vector<SongRow> rows;
  EXPECT_EQ(SongStoreRows(s, filter, favourites, offset, limit, &rows), 1);
  std::vector<std::string> titles;
  for (const SongRow& r : rows) titles.push_back(r.title);
  return titles;
}

std::vector<std::string> CorruptCopies(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(FsPath(folder))) {
    const std::u8string u = e.path().filename().u8string();
    std::string name(u.begin(), u.end());
    if (name.find(".corrupt-") != std::string::npos) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

// Catches a migration that loses or garbles the old rows, leaves the old file's
// version, or cannot be searched: a version-1 file from an earlier player opens at the
// current version with every row, its NULL levels kept, and its accented names found by
// a filter in the other letter case.
TEST(SongStoreMigration, VersionOneFileKeepsItsRowsAndGainsTheNewColumns) {
  ScratchFolder folder;
  const std::string path = folder.Path() + "songs.sqlite3";
  std::filesystem::copy_file(FsPath(SongFixture("songs-v1.sqlite3")), FsPath(path));
  std::string note;
  SongStore* s = OpenWriter(path, &note);
  ASSERT_NE(s, nullptr) << note;
  EXPECT_EQ(note, "");
  EXPECT_EQ(SongStoreVersion(s), kSongStoreVersion);
  std::vector<SongRow> rows;
  ASSERT_EQ(SongStoreRows(s, "", 0, 0, 10, &rows), 1);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].artist, "Guns N' Roses");  // newest first
  EXPECT_EQ(rows[1].artist, "ÉDITH");
  EXPECT_TRUE(std::isnan(rows[1].rms));
  EXPECT_EQ(rows[1].favourite, 1);
  EXPECT_EQ(rows[2].title, "Maré Alta");
  EXPECT_DOUBLE_EQ(rows[2].rms, -21.5);
  for (const SongRow& r : rows) EXPECT_TRUE(std::isnan(r.lufs) && std::isnan(r.luRange) && std::isnan(r.truePeak));
  // The search text of the old rows was filled by the step.
  EXPECT_EQ(Titles(s, "édith", 0), std::vector<std::string>{"Sous le ciel"});
  EXPECT_EQ(Titles(s, "MARÉ", 0), std::vector<std::string>{"Maré Alta"});
  EXPECT_EQ(Titles(s, "paris", 0), std::vector<std::string>{"Sous le ciel"});
  // The new columns take figures.
  SongRow r = SongLogRow("Nova", "Loud");
  r.lufs = -14.25;
  r.luRange = 6.5;
  r.truePeak = -0.75;
  ASSERT_EQ(SongStoreAppend(s, {r}, nullptr, nullptr), SongStoreOk);
  SongStoreClose(s);
  // A second open finds nothing to migrate and every row.
  s = OpenWriter(path, &note);
  ASSERT_NE(s, nullptr) << note;
  ASSERT_EQ(SongStoreRows(s, "nova", 0, 0, 10, &rows), 1);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_DOUBLE_EQ(rows[0].lufs, -14.25);
  EXPECT_DOUBLE_EQ(rows[0].luRange, 6.5);
  EXPECT_DOUBLE_EQ(rows[0].truePeak, -0.75);
  EXPECT_EQ(SongStoreCount(s, "", 0), 4);
  SongStoreClose(s);
}

// Catches the export or a second reader changing the listener's file: a read-only open
// of an old file reads it (NULL for the figures it lacks, the filter folding on the fly)
// and leaves its version and bytes as they were.
TEST(SongStoreMigration, ReadOnlyOpenLeavesAnOldFileAlone) {
  ScratchFolder folder;
  const std::string path = folder.Path() + "songs.sqlite3";
  std::filesystem::copy_file(FsPath(SongFixture("songs-v1.sqlite3")), FsPath(path));
  const std::string before = ReadFile(path);
  int result = -1;
  std::string note;
  SongStore* s = SongStoreOpen(path, 0, 500, &result, &note);
  ASSERT_NE(s, nullptr) << note;
  EXPECT_EQ(SongStoreVersion(s), 1);
  EXPECT_EQ(Titles(s, "ÉDITH", 0), std::vector<std::string>{"Sous le ciel"});
  EXPECT_EQ(Titles(s, "", 1), std::vector<std::string>{"Sous le ciel"});
  EXPECT_NE(SongStoreAppend(s, {SongLogRow("a", "b")}, nullptr, nullptr), SongStoreOk);
  SongStoreClose(s);
  EXPECT_EQ(ReadFile(path), before);
  // A read-only open never creates a file.
  EXPECT_EQ(SongStoreOpen(folder.Path() + "none.sqlite3", 0, 500, &result, &note), nullptr);
  EXPECT_EQ(result, SongStoreMissing);
  EXPECT_FALSE(FileExists(folder.Path() + "none.sqlite3"));
}

// Damaged files: each row is a file the player finds at start-up, and whether it must be
// moved aside (with its exact bytes kept) or used as it is.
TEST(SongStoreRecovery, DamagedFilesAreMovedAsideAndANewOneStarts) {
  struct Case {
    const char* what;  // the fault it catches
    std::string bytes;
    bool movedAside;
  };
  std::string notDb(8192, '\0');
  for (size_t i = 0; i < notDb.size(); ++i) notDb[i] = char('A' + i % 26);
  const std::vector<Case> cases = {
      // a file that is not a database at all stopping the song log for good
      {"text file", notDb, true},
      // a header that claims SQLite over garbage pages being trusted
      {"header over garbage", std::string("SQLite format 3\0", 16) + notDb, true},
      // an empty file (a crash right after creating it) being thrown away as damage
      {"empty file", std::string(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchFolder folder;
    const std::string path = folder.Path() + "songs.sqlite3";
    WriteFile(path, c.bytes);
    WriteFile(path + "-wal", "stale wal");
    std::string note;
    SongStore* s = OpenWriter(path, &note);
    ASSERT_NE(s, nullptr) << note;
    EXPECT_EQ(SongStoreCount(s, "", 0), 0);
    ASSERT_EQ(SongStoreAppend(s, {SongLogRow("After", "Recovery")}, nullptr, nullptr), SongStoreOk);
    SongStoreClose(s);
    std::vector<std::string> copies = CorruptCopies(folder.Path());
    if (c.movedAside) {
      EXPECT_NE(note.find("moved to"), std::string::npos) << note;
      // The file with its exact bytes; its -wal beside it unless SQLite already found
      // it to be garbage and removed it when the failed connection closed.
      ASSERT_GE(copies.size(), 1u);
      EXPECT_EQ(ReadFile(folder.Path() + copies[0]), c.bytes);
      EXPECT_EQ(copies[0].substr(0, 22), "songs.sqlite3.corrupt-");
      for (size_t k = 1; k < copies.size(); ++k) EXPECT_EQ(copies[k].substr(0, copies[0].size()), copies[0]);
    } else {
      EXPECT_EQ(note, "");
      EXPECT_TRUE(copies.empty());
    }
    // The stale -wal never joins the new database.
    EXPECT_NE(ReadFile(path + "-wal"), "stale wal");
  }
}

// Catches a half-written or cut-off database being used as if whole (and then failing
// at every write): a file truncated in the middle of its pages is moved aside.
TEST(SongStoreRecovery, TruncatedDatabaseIsMovedAside) {
  ScratchFolder folder;
  const std::string path = folder.Path() + "songs.sqlite3";
  SongStore* s = OpenWriter(path);
  ASSERT_NE(s, nullptr);
  std::vector<SongRow> rows;
  for (int i = 0; i < 400; ++i) rows.push_back(SongLogRow("Artist " + std::to_string(i), std::string(300, 'x')));
  ASSERT_EQ(SongStoreAppend(s, rows, nullptr, nullptr), SongStoreOk);
  SongStoreClose(s);
  const std::string whole = ReadFile(path);
  ASSERT_GT(whole.size(), 65536u);
  WriteFile(path, whole.substr(0, whole.size() / 2 + 100));
  std::string note;
  s = OpenWriter(path, &note);
  ASSERT_NE(s, nullptr) << note;
  EXPECT_EQ(SongStoreCount(s, "", 0), 0);
  SongStoreClose(s);
  EXPECT_EQ(CorruptCopies(folder.Path()).size(), 1u) << note;
}

// The window's reads: each case is a filter and a page, with the titles expected newest
// first.
TEST(SongStoreReads, FilterFavouritesAndPagesNewestFirst) {
  ScratchFolder folder;
  SongStore* s = OpenWriter(folder.Path() + "songs.sqlite3");
  ASSERT_NE(s, nullptr);
  std::vector<SongRow> rows = {
      SongLogRow("Café Müller", "One", "Blue"), SongLogRow("Inês Duarte", "Two"), SongLogRow("ΑΛΦΑ", "Three"),
      SongLogRow("Борис", "Four", "КИНО"),      SongLogRow("plain", "Five 100%"), SongLogRow("Zoë", "Six_x")};
  rows[1].favourite = 1;
  rows[4].favourite = 1;
  std::vector<int64_t> ids;
  ASSERT_EQ(SongStoreAppend(s, rows, &ids, nullptr), SongStoreOk);
  ASSERT_EQ(ids.size(), rows.size());
  EXPECT_LT(ids[0], ids[5]);
  using V = std::vector<std::string>;
  struct Case {
    const char* what;
    std::string filter;
    int favourites, offset, limit;
    V expected;
  };
  const std::vector<Case> cases = {
      // a listing in insertion order instead of newest first
      {"all", "", 0, 0, 100, V{"Six_x", "Five 100%", "Four", "Three", "Two", "One"}},
      // a page that skips or repeats rows at its edge
      {"second page", "", 0, 2, 2, V{"Four", "Three"}},
      // accented upper case not matching lower case (Latin-1)
      {"latin-1 fold", "CAFÉ MÜ", 0, 0, 100, V{"One"}},
      // Greek and Cyrillic compared byte for byte
      {"greek", "αλφα", 0, 0, 100, V{"Three"}},
      {"cyrillic album", "кино", 0, 0, 100, V{"Four"}},
      // the filter read as a LIKE pattern ("%" and "_" matching anything)
      {"percent literal", "%", 0, 0, 100, V{"Five 100%"}},
      {"underscore literal", "_x", 0, 0, 100, V{"Six_x"}},
      // a filter that spans artist and title being found (it must not)
      {"no match across fields", "zoësix", 0, 0, 100, V{}},
      // favourites ignored, or the filter dropped when both are given
      {"favourites", "", 1, 0, 100, V{"Five 100%", "Two"}},
      {"favourites filtered", "inês", 1, 0, 100, V{"Two"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Titles(s, c.filter, c.favourites, c.offset, c.limit), c.expected);
    if (c.offset == 0) {
      EXPECT_EQ(SongStoreCount(s, c.filter, c.favourites), int64_t(c.expected.size()));
    }
  }
  // Clearing and setting a favourite shows in the next read.
  ASSERT_EQ(SongStoreSetFavourite(s, ids[1], 0, nullptr), SongStoreOk);
  ASSERT_EQ(SongStoreSetFavourite(s, ids[0], 1, nullptr), SongStoreOk);
  EXPECT_EQ(Titles(s, "", 1), (V{"Five 100%", "One"}));
  SongStoreClose(s);
}

// The folding the filter relies on, one case per script range it covers.
TEST(SongStoreReads, SearchFold) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ABC xyz", "abc xyz"},                                    // ASCII
      {"ÀÉÎÕÜ ×", "àéîõü ×"},                                    // Latin-1, the multiplication sign kept
      {"ŁŚŽ Ÿ", "łśž ÿ"},                                        // Latin Extended-A, odd and even pairs, Ÿ
      {"İ", "i"},                                                // dotted capital I
      {"ΣΩ", "σω"},                                              // Greek
      {"ЁЖЯ", "ёжя"},                                            // Cyrillic, both blocks
      {"日本", "日本"},                                          // other scripts unchanged
      {std::string("a\xff") + "B", std::string("a\xff") + "b"},  // a stray byte kept, the rest folded
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(SongSearchFold(in), out) << in;
}

#ifndef _WIN32
// Catches a lock held by another program hanging the writer: the append gives up with
// "busy" after its bounded wait, and succeeds once the lock is gone.
TEST(SongStoreFaults, BusyDatabaseWaitsABoundedTime) {
  if (std::system("python3 -c 'import sqlite3' 2>/dev/null") != 0) GTEST_SKIP() << "python3 with sqlite3 needed";
  ScratchFolder folder;
  const std::string path = folder.Path() + "songs.sqlite3";
  SongStore* s = OpenWriter(path);
  ASSERT_NE(s, nullptr);
  const std::string marker = folder.Path() + "locked";
  const std::string script =
      "import sqlite3, time, sys\n"
      "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
      "c.execute('BEGIN IMMEDIATE')\n"
      "open(sys.argv[2], 'w').close()\n"
      "time.sleep(3)\n"
      "c.execute('ROLLBACK')\n";
  int code = -1;
  std::thread holder([&] { RunProcessWait("python3", {"-c", script, path, marker}, 20000, &code); });
  for (int i = 0; i < 1000 && !FileExists(marker); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(FileExists(marker));
  SongStoreClose(s);
  int result = -1;
  s = SongStoreOpen(path, 1, 200, &result, nullptr);
  // Opening reads only; the write lock is what is held.
  ASSERT_NE(s, nullptr);
  std::string error;
  EXPECT_EQ(SongStoreAppend(s, {SongLogRow("Held", "Up")}, nullptr, &error), SongStoreBusy) << error;
  holder.join();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(SongStoreAppend(s, {SongLogRow("Free", "Again")}, nullptr, &error), SongStoreOk) << error;
  EXPECT_EQ(Titles(s, "", 0), std::vector<std::string>{"Again"});
  SongStoreClose(s);
}

// Catches the writer dropping titles, or hanging, while another program holds the file's
// lock for longer than one bounded wait: the batch waits its rounds and is written once
// the lock is gone.
TEST(SongStoreFaults, WriterKeepsTitlesWhileTheLockIsHeld) {
  if (std::system("python3 -c 'import sqlite3' 2>/dev/null") != 0) GTEST_SKIP() << "python3 with sqlite3 needed";
  ScratchFolder folder;
  ASSERT_EQ(SongLogInit(folder.Path()), 1);
  for (int i = 0; i < 500 && !SongLogReady(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(SongLogReady(), 1);
  const std::string marker = folder.Path() + "locked";
  const std::string script =
      "import sqlite3, time, sys\n"
      "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
      "c.execute('BEGIN IMMEDIATE')\n"
      "open(sys.argv[2], 'w').close()\n"
      "time.sleep(3.5)\n"
      "c.execute('ROLLBACK')\n";
  int code = -1;
  std::thread holder([&] {
    RunProcessWait("python3", {"-c", script, folder.Path() + kSongLogFile, marker}, 20000, &code);
  });
  for (int i = 0; i < 1000 && !FileExists(marker); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(FileExists(marker));
  SongLogTitleStarted(SongLogRow("Held", "Back"), 0);
  SongLogTitleEnded(0, -20.0, -1.0, NAN, NAN, NAN);
  holder.join();
  EXPECT_EQ(code, 0);
  for (int i = 0; i < 1000 && SongLogCount("", 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(SongLogCount("held", 0), 1);
  SongLogShutdown();
}

// Catches a full disk stopping the recorder, or damaging what was written before it:
// in a child whose files may not grow past a limit, the writer thread keeps taking
// titles, logs the loss once, and every row committed before the limit stays readable.
TEST(SongStoreFaults, FullDiskLosesOnlyTheNewestRowsAndLogsOnce) {
  ScratchFolder folder;
  const std::string path = folder.Path() + kSongLogFile;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    LogCapture log;
    if (!SongLogInit(folder.Path())) _exit(90);
    for (int i = 0; i < 200 && !SongLogReady(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int i = 0; i < 5; ++i) {
      SongLogTitleStarted(SongLogRow("Before", "Title " + std::to_string(i)), 0);
      SongLogTitleEnded(0, -20.0, -1.0, NAN, NAN, NAN);
    }
    uint64_t generation = SongLogGeneration();
    for (int i = 0; i < 500 && SongLogGeneration() == generation; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // From here on no file may grow beyond its present size plus a little.
    struct rlimit limit {};
    limit.rlim_cur = limit.rlim_max = rlim_t(FileSize(path) + FileSize(path + "-wal") + 8192);
    setrlimit(RLIMIT_FSIZE, &limit);
    for (int batch = 0; batch < 4; ++batch) {
      SongRow big = SongLogRow("After", std::string(100000, 'y'));
      SongLogTitleStarted(big, 0);
      SongLogTitleEnded(0, -20.0, -1.0, NAN, NAN, NAN);
      generation = SongLogGeneration();
      for (int i = 0; i < 500 && SongLogGeneration() == generation; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    SongLogShutdown();
    int lost = 0;
    for (const std::string& line : log.Lines())
      if (line.find("not kept") != std::string::npos) ++lost;
    _exit(lost);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1) << "log lines about lost titles";
  std::string note;
  SongStore* s = OpenWriter(path, &note);
  ASSERT_NE(s, nullptr) << note;
  EXPECT_EQ(note, "");  // nothing was damaged
  EXPECT_EQ(SongStoreCount(s, "before", 0), 5);
  SongStoreClose(s);
}

// Catches rows the writer reported as committed being lost, or a database left
// unopenable, when the process dies in the middle of writing: a child appends one title
// per transaction and reports each commit; after SIGKILL every reported row is there, in
// order, without gaps.
TEST(SongStoreFaults, KillWhileWritingKeepsEveryCommittedRow) {
  ScratchFolder folder;
  const std::string path = folder.Path() + "songs.sqlite3";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    SongStore* s = OpenWriter(path);
    if (!s) _exit(1);
    for (int i = 1;; ++i) {
      SongRow r = SongLogRow("Killed", std::to_string(i), std::string(2000, 'z'));
      if (SongStoreAppend(s, {r, r}, nullptr, nullptr) != SongStoreOk) _exit(2);
      if (write(fds[1], &i, sizeof i) != sizeof i) _exit(3);
    }
  }
  close(fds[1]);
  int last = 0, n = 0;
  while (last < 150 && read(fds[0], &n, sizeof n) == sizeof n) last = n;
  kill(child, SIGKILL);
  // Reports already in the pipe were committed too.
  while (read(fds[0], &n, sizeof n) == sizeof n) last = n;
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_GE(last, 150);
  std::string note;
  SongStore* s = OpenWriter(path, &note);
  ASSERT_NE(s, nullptr) << note;
  EXPECT_EQ(note, "");
  const int64_t count = SongStoreCount(s, "", 0);
  // Every reported transaction, and at most the one in flight.
  EXPECT_GE(count, 2 * last);
  EXPECT_LE(count, 2 * last + 2);
  std::vector<SongRow> rows;
  ASSERT_EQ(SongStoreRows(s, "", 0, 0, count, &rows), 1);
  for (size_t i = 0; i < rows.size(); ++i)
    ASSERT_EQ(rows[rows.size() - 1 - i].title, std::to_string(i / 2 + 1)) << "row " << i;
  SongStoreClose(s);
}
#endif
