// Playlists: the extension rules, the five formats with real and hostile fixtures, the
// buffer limit, and the local/remote paths of LoadPlaylist.
#include <gtest/gtest.h>

#include "loopback_server.h"
#include "playback_test_util.h"

using namespace playtest;

namespace {

struct Expected {
  std::string id;
  std::string url;
};

std::vector<StreamEntry> ParseFixture(const std::string& type, const std::string& name) {
  std::string bytes = ReadFile(FixturePath(name));
  std::vector<StreamEntry> list;
  ParsePlaylistBuffer(type, bytes.data(), bytes.size(), list);
  return list;
}

void ExpectEntries(const std::vector<StreamEntry>& list, const std::vector<Expected>& want, const std::string& what) {
  ASSERT_EQ(list.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(list[i].id, want[i].id) << what << " #" << i;
    EXPECT_EQ(list[i].url, want[i].url) << what << " #" << i;
    EXPECT_EQ(list[i].codec, "") << what;
    EXPECT_EQ(list[i].bitrate, 0) << what;
  }
}

}  // namespace

// Catches extension rules read too loosely or too strictly (case, query, folders, quotes).
TEST(PlaylistType, ExtensionRules) {
  struct Case {
    const char* url;
    const char* ext;
    const char* type;
  } cases[] = {
      {"http://127.0.0.1/live.mp3", "mp3", ""},
      {"http://127.0.0.1/listen.pls?sid=1", "pls?sid=1", "pls"},
      {"http://127.0.0.1/LISTEN.PLS?sid=1", "PLS?sid=1", "pls"},
      {"http://127.0.0.1/a.m3u", "m3u", "m3u8"},
      {"http://127.0.0.1/a.M3U", "M3U", ""},
      {"http://127.0.0.1/a.m3u8", "m3u8", "m3u8"},
      {"http://127.0.0.1/a.XSPF", "XSPF", ""},
      {"http://radio.example.com/stream", "", ""},
      {"/home/user/.hidden", "", ""},
      {"C:\\lists\\.vclt", "", ""},
      {"\"http://127.0.0.1/a.xspf\"", "xspf", "xspf"},
      {"http://127.0.0.1/dir.d/file", "", ""},
      {"C:\\lists\\radio.vclt", "vclt", "vclt"},
      {"http://127.0.0.1/a.p ls", "", ""},
      {"/tmp/x.jspf", "jspf", "jspf"},
      {"http://127.0.0.1:8000", "1:8000", ""},
      {"noextension", "", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UrlExtension(c.url), c.ext) << c.url;
    EXPECT_EQ(PlaylistType(UrlExtension(c.url)), c.type) << c.url;
  }
}

// Catches a remote test that accepts other schemes or misses upper-case ones.
TEST(PlaylistType, RemoteSchemes) {
  struct Case {
    const char* url;
    int remote;
  } cases[] = {{"http://x", 1}, {"HTTPS://x", 1}, {"ftp://x", 1}, {"Ftp:x", 1},  {"file:///x", 0}, {"/dev/sda", 0},
               {"rtsp://x", 0}, {"htt", 0},       {"", 0},        {"https:", 1}, {" http://x", 0}, {"smb://x", 0}};
  for (const Case& c : cases) EXPECT_EQ(IsRemoteUrl(c.url), c.remote) << c.url;
}

// Catches line splitting that keeps empty lines, misses CR-only ends or walks past a NUL.
TEST(SplitLinesTest, Table) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {"a\r\nb", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"\r\n\r\n", {}},
      {std::string("a\0b", 3), {"a"}},
      {"one\n\n\ntwo\n", {"one", "two"}},
      {"caf\xe9", {"caf\xc3\xa9"}},      // Latin-1 read as Windows-1252
      {"caf\xc3\xa9", {"caf\xc3\xa9"}},  // UTF-8 kept
      {"\x80 euro", {"\xe2\x82\xac euro"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines;
    int r = SplitLines(lines, c.bytes.data(), c.bytes.size(), kTextUtf8);
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(r, c.lines.empty() ? 0 : 1);
  }
}

// Catches each format's parser taking unsafe entries, numbering wrongly or dropping good ones.
TEST(ParsePlaylist, FixtureTable) {
  struct Case {
    const char* type;
    const char* file;
    std::vector<Expected> want;
  } cases[] = {
      {"m3u8",
       "basic.m3u",
       {{"1", "http://127.0.0.1:8000/main.mp3"},
        {"2", "https://127.0.0.1:8443/aac"},
        {"3", "HTTP://127.0.0.1:8000/UPPER.mp3"}}},
      {"m3u8", "latin1.m3u", {{"1", "http://127.0.0.1:8000/caf\xc3\xa9.mp3"}}},
      {"m3u8", "cr_only.m3u", {{"1", "http://127.0.0.1:8000/one.mp3"}, {"2", "http://127.0.0.1:8000/two.mp3"}}},
      {"m3u8", "self.m3u", {{"1", "http://127.0.0.1:1/self.m3u"}}},
      {"pls",
       "basic.pls",
       {{"1", "http://127.0.0.1:8000/stream?id=7&x=1"},
        {"2", "https://127.0.0.1:8443/b"},
        {"3", "http://127.0.0.1:8000/e"}}},
      {"vclt", "basic.vclt", {{"1", "http://127.0.0.1:8000/v.ogg"}, {"2", "https://127.0.0.1:8443/w.ogg?a=b"}}},
      {"xspf", "basic.xspf", {{"1", "http://127.0.0.1:8000/a.mp3"}, {"3", "https://127.0.0.1:8443/c.mp3"}}},
      {"xspf", "version0.xspf", {}},
      {"xspf", "malformed.xspf", {}},
      {"xspf", "wrongroot.xspf", {}},
      {"xspf", "billion_laughs.xspf", {}},
      {"xspf", "laughs_in_location.xspf", {}},
      {"jspf", "basic.jspf", {{"1", "http://127.0.0.1:8000/one.mp3"}, {"4", "https://127.0.0.1:8443/four.mp3"}}},
      {"jspf", "notobject.jspf", {}},
      {"jspf", "notrackarray.jspf", {}},
      {"jspf", "deep.jspf", {}},
      // The parser goes by the type it is given, not by the content.
      {"pls", "basic.m3u", {}},
  };
  for (const Case& c : cases) ExpectEntries(ParseFixture(c.type, c.file), c.want, c.file);
}

// Catches an external entity being resolved: the local file must never become an entry.
TEST(ParsePlaylist, ExternalEntityNeverRead) {
  std::vector<StreamEntry> list = ParseFixture("xspf", "external_entity.xspf");
  for (const StreamEntry& e : list) {
    EXPECT_EQ(e.url, "http://127.0.0.1:8000/ok.mp3");
    EXPECT_EQ(e.id, "2");
  }
}

// Catches missing or misplaced JSPF shape messages, and parsing that stops at the first bad track.
TEST(ParsePlaylist, JspfLogLines) {
  struct Case {
    const char* file;
    std::vector<std::string> lines;
  } cases[] = {
      {"basic.jspf",
       {"Invalid track location in JSPF.", "Invalid track location string in JSPF.", "Invalid track object in JSPF.",
        "Invalid track location string in JSPF."}},
      {"notobject.jspf", {"Invalid object playlist in JSPF."}},
      {"notrackarray.jspf", {"Invalid array track in JSPF."}},
      {"deep.jspf", {"Invalid object playlist in JSPF."}},
  };
  for (const Case& c : cases) {
    LogCapture log;
    ParseFixture("jspf", c.file);
    EXPECT_EQ(log.Lines(), c.lines) << c.file;
  }
}

// Catches parsers that are quadratic or crash on very long lines and very many entries.
TEST(ParsePlaylist, HugeInputs) {
  std::string line(1 << 20, 'a');
  std::string big = "http://127.0.0.1/" + line + "\n";
  std::vector<StreamEntry> list;
  EXPECT_EQ(ParsePlaylistBuffer("m3u8", big.data(), big.size(), list), 1);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].url.size(), 17u + line.size());

  std::string many;
  for (int i = 0; i < 100000; ++i) many += "File" + std::to_string(i) + "=http://127.0.0.1/" + std::to_string(i) + "\n";
  list.clear();
  EXPECT_EQ(ParsePlaylistBuffer("pls", many.data(), many.size(), list), 100000);
  ASSERT_EQ(list.size(), 100000u);
  EXPECT_EQ(list.back().id, "100000");
  EXPECT_EQ(list.back().url, "http://127.0.0.1/99999");
}

// Catches local playlists read by the wrong rule, the 65536-byte limit off by one, an
// upper-case extension taken as a playlist, or a name beyond ASCII not found (Windows
// reads narrow names in the ANSI code page).
TEST(LoadPlaylistTest, LocalFiles) {
  ScratchFolder dir;
  std::vector<StreamEntry> list;
  EXPECT_EQ(LoadPlaylist(FixturePath("basic.m3u"), list), 1);
  ExpectEntries(list,
                {{"1", "http://127.0.0.1:8000/main.mp3"},
                 {"2", "https://127.0.0.1:8443/aac"},
                 {"3", "HTTP://127.0.0.1:8000/UPPER.mp3"}},
                "basic.m3u");

  WriteFile(dir.Path() + "Zo\u00eb \u674e.m3u", ReadFile(FixturePath("basic.m3u")));
  EXPECT_EQ(LoadPlaylist(dir.Path() + "Zo\u00eb \u674e.m3u", list), 1);
  EXPECT_EQ(list.size(), 3u);

  WriteFile(dir.Path() + "upper.M3U", ReadFile(FixturePath("basic.m3u")));
  EXPECT_EQ(LoadPlaylist(dir.Path() + "upper.M3U", list), 0);
  EXPECT_TRUE(list.empty());

  std::string entry = "http://127.0.0.1/fits\n";
  std::string fits = entry + std::string(kPlaylistBufferSize - entry.size(), '#');
  WriteFile(dir.Path() + "fits.m3u", fits);
  EXPECT_EQ(LoadPlaylist(dir.Path() + "fits.m3u", list), 1);
  WriteFile(dir.Path() + "large.m3u", fits + "#");
  EXPECT_EQ(LoadPlaylist(dir.Path() + "large.m3u", list), 0);
  WriteFile(dir.Path() + "empty.pls", "");
  EXPECT_EQ(LoadPlaylist(dir.Path() + "empty.pls", list), 0);
  EXPECT_EQ(LoadPlaylist(dir.Path() + "missing.xspf", list), 0);
  EXPECT_EQ(LoadPlaylist(dir.Path() + "notaplaylist.txt", list), 0);
  EXPECT_EQ(LoadPlaylist(FixturePath("basic.jspf"), list), 1);
  EXPECT_EQ(list.size(), 2u);
}

// Catches remote playlists not fetched, direct streams fetched, and unsafe entries taken.
TEST(LoadPlaylistTest, RemoteUrls) {
  LoopbackServer server;
  server.Ok("/listen.pls?sid=1", ReadFile(FixturePath("basic.pls")));
  server.Ok("/list.m3u", "http://127.0.0.1:8000/a.mp3\r\nfile:///etc/passwd\r\n");
  server.Ok("/unsafe.m3u", "file:///etc/passwd\n/dev/sda\nsmb://127.0.0.1/x\n");
  server.Ok("/large.m3u", std::string(kPlaylistBufferSize + 1, '#'));
  server.Ok("/empty.xspf", "");
  std::vector<StreamEntry> list;

  LogCapture log;
  EXPECT_EQ(LoadPlaylist(server.Url("/live.mp3"), list), 1);
  ExpectEntries(list, {{"Custom Url", server.Url("/live.mp3")}}, "direct");
  EXPECT_EQ(LoadPlaylist(server.Url("/LIST.M3U"), list), 1);
  ExpectEntries(list, {{"Custom Url", server.Url("/LIST.M3U")}}, "upper-case direct");
  EXPECT_EQ(server.Requests(), 0);

  EXPECT_EQ(LoadPlaylist(server.Url("/listen.pls?sid=1"), list), 1);
  EXPECT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].url, "http://127.0.0.1:8000/stream?id=7&x=1");
  EXPECT_EQ(LoadPlaylist(server.Url("/list.m3u"), list), 1);
  ExpectEntries(list, {{"1", "http://127.0.0.1:8000/a.mp3"}}, "remote m3u");
  EXPECT_EQ(LoadPlaylist(server.Url("/unsafe.m3u"), list), 0);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"Downloading playlist.", "Downloading playlist.", "Downloading playlist."}));

  for (const char* path : {"/large.m3u", "/missing.m3u", "/empty.xspf"}) {
    LogCapture failing;
    EXPECT_EQ(LoadPlaylist(server.Url(path), list), 0) << path;
    EXPECT_EQ(failing.Lines(), (std::vector<std::string>{"Downloading playlist.", "Error downloading playlist."}))
        << path;
  }
  LogCapture ftp;
  EXPECT_EQ(LoadPlaylist("ftp://127.0.0.1/list.m3u", list), 0);
  EXPECT_EQ(ftp.Lines(), (std::vector<std::string>{"Downloading playlist.", "Error downloading playlist."}));
}
