// The song log's export and copy texts, read back by independent readers: an RFC 4180
// reader written here, Python's csv module, and the player's JSON reader; and the
// command line that exports without starting the player.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "playback/playback_test_util.h"

using namespace playtest;

namespace {

// RFC 4180 as a spreadsheet reads it: fields split at commas, records at CR LF, quoted
// fields may hold anything with "" for a quote. Returns false on a malformed file
// (a bare LF or CR outside quotes, text after a closing quote, an open quote at the end).
bool ReadCsv(const std::string& text, std::vector<std::vector<std::string>>* records) {
  records->clear();
  std::vector<std::string> record;
  std::string field;
  size_t i = 0;
  bool fieldStarted = false;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"' && !fieldStarted && field.empty()) {
      ++i;
      for (;;) {
        if (i >= text.size()) return false;
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += text[i++];
      }
      if (i < text.size() && text[i] != ',' && text[i] != '\r') return false;
      fieldStarted = true;
      continue;
    }
    if (c == ',') {
      record.push_back(field);
      field.clear();
      fieldStarted = false;
      ++i;
    } else if (c == '\r') {
      if (i + 1 >= text.size() || text[i + 1] != '\n') return false;
      record.push_back(field);
      records->push_back(record);
      record.clear();
      field.clear();
      fieldStarted = false;
      i += 2;
    } else if (c == '\n') {
      return false;
    } else {
      if (fieldStarted) return false;
      field += c;
      ++i;
    }
  }
  return record.empty() && field.empty();
}

SongRow Hostile(const std::string& artist, const std::string& title, const std::string& album) {
  SongRow r = SongLogRow(artist, title, album);
  r.started = "2026-12-07T21:00:00Z";
  r.ended = "2026-12-07T21:03:05Z";
  r.seconds = 185.25;
  r.rms = -18.754;
  r.peak = -0.5;
  return r;
}

// Rows whose texts are hard for a CSV or JSON writer: each catches one quoting fault.
std::vector<SongRow> HostileRows() {
  std::vector<SongRow> rows = {
      Hostile("Smith, John", "Plain", ""),                     // a comma splitting the field
      Hostile("Say \"Hi\"", "Quote\"", "\"Start"),             // quotes not doubled
      Hostile("Line\nBreak", "Two\r\nLines", "Cr\rOnly"),      // line breaks ending the record
      Hostile("Café Müller", "日本語のタイトル", "Ελληνικά"),  // non-ASCII re-encoded
      Hostile("", "", ""),                                     // empty fields dropped
      Hostile("Tab\there", "Back\\slash", "{\"json\": 1}"),    // escapes in JSON
  };
  rows[3].lufs = -14.5;
  rows[3].luRange = 7.25;
  rows[3].truePeak = -1.0;
  rows[3].favourite = 1;
  rows[4].rms = rows[4].peak = NAN;
  return rows;
}

std::string MakeDatabase(const std::string& folder, const std::vector<SongRow>& rows) {
  const std::string path = folder + kSongLogFile;
  int result = 0;
  SongStore* s = SongStoreOpen(path, 1, 1000, &result, nullptr);
  EXPECT_NE(s, nullptr);
  EXPECT_EQ(SongStoreAppend(s, rows, nullptr, nullptr), SongStoreOk);
  SongStoreClose(s);
  return path;
}

}  // namespace

// Catches any quoting fault of the CSV writer: the hostile rows come back field for
// field through an RFC 4180 reader, oldest first, with a header and CR LF records.
TEST(SongLogExport, CsvReadsBackFieldForField) {
  ScratchFolder folder;
  const std::vector<SongRow> rows = HostileRows();
  const std::string db = MakeDatabase(folder.Path(), rows);
  const std::string out = folder.Path() + "out.CSV";  // the extension in any case
  std::string error;
  ASSERT_EQ(ExportSongLogFrom(db, out, &error), 1) << error;
  std::vector<std::vector<std::string>> records;
  ASSERT_TRUE(ReadCsv(ReadFile(out), &records));
  ASSERT_EQ(records.size(), rows.size() + 1);
  const std::vector<std::string>& header = records[0];
  ASSERT_EQ(header.size(), 18u);
  EXPECT_EQ(header[4], "artist");
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    const std::vector<std::string>& r = records[i + 1];
    ASSERT_EQ(r.size(), 18u);
    EXPECT_EQ(r[4], rows[i].artist);
    EXPECT_EQ(r[5], rows[i].title);
    EXPECT_EQ(r[6], rows[i].album);
    EXPECT_EQ(r[7], rows[i].streamTitle);
    EXPECT_EQ(r[3], "185.250");
  }
  EXPECT_EQ(records[1][12], "-18.75");  // RMS as the debug log prints it
  EXPECT_EQ(records[5][12], "");        // not measured: empty, never "nan"
  EXPECT_EQ(records[4][14], "-14.50");
  EXPECT_EQ(records[4][17], "1");
}

#ifndef _WIN32
// The same file through Python's csv module, a reader this code did not write.
TEST(SongLogExport, CsvReadsBackInPython) {
  if (std::system("python3 -c 'import csv' 2>/dev/null") != 0) GTEST_SKIP() << "python3 needed";
  ScratchFolder folder;
  const std::vector<SongRow> rows = HostileRows();
  const std::string db = MakeDatabase(folder.Path(), rows);
  const std::string out = folder.Path() + "out.csv";
  std::string error;
  ASSERT_EQ(ExportSongLogFrom(db, out, &error), 1) << error;
  // Python writes each record's artist, title and album back as JSON, which the player's
  // reader then reads.
  const std::string script =
      "import csv, json, sys\n"
      "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
      "    rows = list(csv.DictReader(f, strict=True))\n"
      "with open(sys.argv[2], 'w', encoding='utf-8') as o:\n"
      "    json.dump([[r['artist'], r['title'], r['album'], r['rms']] for r in rows], o)\n";
  int code = -1;
  ASSERT_EQ(RunProcessWait("python3", {"-c", script, out, folder.Path() + "back.json"}, 30000, &code), 1);
  ASSERT_EQ(code, 0);
  auto doc = LoadJsonFile(folder.Path() + "back.json");
  ASSERT_TRUE(doc) << JsonErrorMessage();
  ASSERT_EQ(doc->root.Size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const JsonValue* r = doc->root.Element(i);
    EXPECT_EQ(GetJsonArrayString(r, 0), rows[i].artist) << i;
    EXPECT_EQ(GetJsonArrayString(r, 1), rows[i].title) << i;
    EXPECT_EQ(GetJsonArrayString(r, 2), rows[i].album) << i;
  }
  EXPECT_EQ(GetJsonArrayString(doc->root.Element(0), 3), "-18.75");
}
#endif

// Catches escaping faults of the JSON export and figures that are not measured written
// as numbers: the player's reader gets every text back and null for each absent figure.
TEST(SongLogExport, JsonReadsBackWithNulls) {
  ScratchFolder folder;
  const std::vector<SongRow> rows = HostileRows();
  const std::string db = MakeDatabase(folder.Path(), rows);
  const std::string out = folder.Path() + "out.json";
  std::string error;
  ASSERT_EQ(ExportSongLogFrom(db, out, &error), 1) << error;
  auto doc = LoadJsonFile(out);
  ASSERT_TRUE(doc) << JsonErrorMessage() << " line " << JsonErrorLine();
  ASSERT_TRUE(doc->root.IsArray());
  ASSERT_EQ(doc->root.Size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    const JsonValue* o = doc->root.Element(i);
    EXPECT_EQ(GetJsonString(o, "artist", "?"), rows[i].artist);
    EXPECT_EQ(GetJsonString(o, "title", "?"), rows[i].title);
    EXPECT_EQ(GetJsonString(o, "album", "?"), rows[i].album);
    EXPECT_EQ(GetJsonString(o, "started", ""), rows[i].started);
    EXPECT_DOUBLE_EQ(GetJsonFloat(o, "seconds", 0), 185.25);
    EXPECT_EQ(GetJsonInteger(o, "bitrate", 0), 128);
  }
  const JsonValue* measured = doc->root.Element(3);
  EXPECT_DOUBLE_EQ(GetJsonFloat(measured, "lufs", 0), -14.5);
  EXPECT_DOUBLE_EQ(GetJsonFloat(measured, "truePeak", 0), -1.0);
  EXPECT_TRUE(measured->Member("favourite")->GetBool());
  const JsonValue* silent = doc->root.Element(4);
  for (const char* name : {"rms", "peak", "lufs", "luRange", "truePeak"}) {
    ASSERT_NE(silent->Member(name), nullptr) << name;
    EXPECT_TRUE(silent->Member(name)->IsNull()) << name;
  }
  EXPECT_EQ(GetJsonFloat(doc->root.Element(0), "rms", 0), -18.75);
}

// Refusals and edge cases: each must give a clear answer and leave no half file.
TEST(SongLogExport, RefusalsAndAnEmptyLog) {
  ScratchFolder folder;
  const std::string db = MakeDatabase(folder.Path(), HostileRows());
  std::string error;
  // an unknown format written as CSV anyway
  EXPECT_EQ(ExportSongLogFrom(db, folder.Path() + "out.txt", &error), 0);
  EXPECT_NE(error.find(".csv or .json"), std::string::npos) << error;
  EXPECT_FALSE(FileExists(folder.Path() + "out.txt"));
  // a name without an extension, or a dot only in a folder's name
  EXPECT_EQ(ExportSongLogFrom(db, folder.Path() + "csv", &error), 0);
  EXPECT_EQ(ExportSongLogFrom(db, folder.Path() + "a.json/out", &error), 0);
  // a folder that does not exist: an error, and no temporary file left behind
  error.clear();
  EXPECT_EQ(ExportSongLogFrom(db, folder.Path() + "missing/out.csv", &error), 0);
  EXPECT_NE(error.find("cannot be written"), std::string::npos) << error;
  // a damaged database: reported, never moved or replaced by the export
  WriteFile(folder.Path() + "bad.sqlite3", std::string(4096, 'x'));
  error.clear();
  EXPECT_EQ(ExportSongLogFrom(folder.Path() + "bad.sqlite3", folder.Path() + "bad.csv", &error), 0);
  EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(folder.Path() + "bad.sqlite3"), std::string(4096, 'x'));
  // no database yet: nothing was heard, so an empty list, not a failure
  ASSERT_EQ(ExportSongLogFrom(folder.Path() + "none.sqlite3", folder.Path() + "empty.csv", &error), 1) << error;
  std::vector<std::vector<std::string>> records;
  ASSERT_TRUE(ReadCsv(ReadFile(folder.Path() + "empty.csv"), &records));
  EXPECT_EQ(records.size(), 1u);
  ASSERT_EQ(ExportSongLogFrom(folder.Path() + "none.sqlite3", folder.Path() + "empty.json", &error), 1) << error;
  auto doc = LoadJsonFile(folder.Path() + "empty.json");
  ASSERT_TRUE(doc);
  EXPECT_TRUE(doc->root.IsArray());
  EXPECT_EQ(doc->root.Size(), 0u);
  EXPECT_FALSE(FileExists(folder.Path() + "none.sqlite3"));
}

// Catches Ctrl+C text that a spreadsheet splits wrongly: one line per row ending CR LF,
// tab-separated, the tabs and line breaks inside fields turned into spaces, and the
// duration rounded to whole seconds.
TEST(SongLogExport, CopyTextIsTabSeparated) {
  std::vector<SongRow> rows = HostileRows();
  rows[0].seconds = 59.6;
  rows[1].seconds = 3725.0;
  const std::string text = SongRowsAsText({rows[0], rows[1], rows[2], rows[5]});
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size());  // nothing after the last CR LF
  ASSERT_EQ(lines.size(), 4u);
  for (const std::string& line : lines) {
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 8) << line;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
  }
  EXPECT_EQ(lines[0], "2026-12-07T21:00:00Z\tSmith, John\tPlain\t\t1:00\t-18.75\t-0.50\t\t");
  EXPECT_NE(lines[1].find("\t62:05\t"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("Line Break\tTwo  Lines\tCr Only"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("Tab here"), std::string::npos) << lines[3];
  EXPECT_EQ(SongRowsAsText({}), "");
}

#ifndef _WIN32
// The command line end to end: the player's own executable exports the per-user song
// log with no display and no running player, refuses a bad name with a non-zero status,
// and lists the option in its help.
TEST(SongLogExport, CommandLineExportsWithoutStartingThePlayer) {
#ifndef PLAYER_BINARY
  GTEST_SKIP() << "the player's executable is not built";
#else
  ScratchFolder data, runtime;
  ASSERT_TRUE(CreateFolder(data.Path() + "corvale-player/"));
  MakeDatabase(data.Path() + "corvale-player/", HostileRows());
  const std::string out = data.Path() + "out.csv";
  // No display, and a runtime folder of its own: a player that tried to start would
  // fail or take the lock there.
  const std::string env = "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb XDG_DATA_HOME=" + data.Path() +
                          " XDG_RUNTIME_DIR=" + runtime.Path() + " ";
  const std::string player = std::string(PLAYER_BINARY);
  EXPECT_EQ(std::system((env + player + " --export-song-log " + out + " >/dev/null 2>&1").c_str()), 0);
  std::vector<std::vector<std::string>> records;
  ASSERT_TRUE(ReadCsv(ReadFile(out), &records));
  EXPECT_EQ(records.size(), HostileRows().size() + 1);
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(FsPath(runtime.Path()))) left.push_back(e.path().string());
  EXPECT_TRUE(left.empty()) << "the export took the single-instance lock";
  const std::string err = data.Path() + "err.txt";
  int status = std::system((env + player + " --export-song-log " + data.Path() + "out.txt 2>" + err).c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(ReadFile(err).find(".csv or .json"), std::string::npos) << ReadFile(err);
  status = std::system((env + player + " --export-song-log 2>" + err).c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
  EXPECT_NE(ReadFile(err).find("needs a file name"), std::string::npos) << ReadFile(err);
  status = std::system((env + player + " --help >" + err).c_str());
  EXPECT_EQ(status, 0);
  EXPECT_NE(ReadFile(err).find("--export-song-log FILE"), std::string::npos);
#endif
}
#endif
