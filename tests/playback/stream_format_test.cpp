// Stream format and metadata: titles from ICY metadata, header lines, codec tables and
// the kHz figure of the connect line.
#include <gtest/gtest.h>

#include "playback_test_util.h"

using namespace std::string_literals;

using namespace playtest;

class ReadStreamFormatTest : public PlayerEnv {};

// Catches every way a StreamTitle can be misread: fields, separators, quotes, encodings.
TEST(ParseStreamTitleText, Table) {
  struct Case {
    std::string meta;
    int legacy;
    int changed;
    const char* artist;
    const char* title;
    const char* album;
  } cases[] = {
      {"StreamTitle='Artist - Song';StreamUrl='x';", 0, 1, "Artist", "Song", ""},
      {"StreamTitle='A - B - C';", 0, 1, "A", "C", "B"},
      {"StreamTitle='A - B - C - D';", 0, 1, "A", "C - D", "B"},
      {"StreamTitle='';", 0, 0, "prev artist", "prev title", "prev album"},
      {"StreamTitle=';", 0, 0, "prev artist", "prev title", "prev album"},
      {"", 0, 0, "prev artist", "prev title", "prev album"},
      {"StreamTitle='Jingle';", 0, 1, "", "Jingle", ""},
      {"StreamTitle='Guns N' Roses - Paradise City';", 0, 1, "Guns N' Roses", "Paradise City", ""},
      {"StreamTitle='A - B';STREAMURL='http://x';", 0, 1, "A", "B", ""},
      {"StreamTitle='A-B';", 0, 1, "", "A-B", ""},
      {" - ", 0, 1, "", "", ""},
      // Metadata without the field syntax is taken as it stands.
      {"Plain Artist - Plain Song", 0, 1, "Plain Artist", "Plain Song", ""},
      // A closing quote that never comes still gives the title, not the field syntax.
      {"StreamTitle='No closing quote", 0, 1, "", "No closing quote", ""},
      {"StreamTitle='Missing semicolon'", 0, 1, "", "Missing semicolon", ""},
      // The legacy server's 8-bit text is read byte for byte.
      {"StreamTitle='Caf\xe9 - Cr\xe8me';", 1, 1, "Caf\xc3\xa9", "Cr\xc3\xa8me", ""},
      {"StreamTitle='Caf\xc3\xa9';", 1, 1, "", "Caf\xc3\x83\xc2\xa9", ""},
      // Other servers: UTF-8 when valid, else Windows-1252, never replacement characters.
      {"StreamTitle='Caf\xc3\xa9 - S\xc3\xb8ng';", 0, 1, "Caf\xc3\xa9", "S\xc3\xb8ng", ""},
      {"StreamTitle='Caf\xe9 - \x93Quoted\x94';", 0, 1, "Caf\xc3\xa9", "\xe2\x80\x9cQuoted\xe2\x80\x9d", ""},
      {"StreamTitle='Overlong \xc0\xaf';", 0, 1, "", "Overlong \xc3\x80\xc2\xaf", ""},
      // Embedded NUL ends the text; escape sequences never get through.
      {"StreamTitle='A - B';\0garbage"s, 0, 1, "A", "B", ""},
      {"StreamTitle='A\x1b[31m - B\x07';", 0, 1, "A[31m", "B", ""},
  };
  for (const Case& c : cases) {
    NowPlaying value{"prev artist", "prev title", "prev album"};
    EXPECT_EQ(ParseStreamTitleText(c.meta, c.legacy, value), c.changed) << c.meta;
    EXPECT_EQ(value.artist, c.artist) << c.meta;
    EXPECT_EQ(value.title, c.title) << c.meta;
    EXPECT_EQ(value.album, c.album) << c.meta;
    EXPECT_EQ(value.title.find("\xef\xbf\xbd"), std::string::npos) << c.meta;
  }
}

// Catches metadata read beyond 256 characters (a 4080-byte block is the largest there is).
TEST(ParseStreamTitleText, LongestBlockIsCut) {
  std::string meta = "StreamTitle='" + std::string(4080 - 15, 'x') + "';";
  NowPlaying value;
  ASSERT_EQ(ParseStreamTitleText(meta, 0, value), 1);
  EXPECT_EQ(value.title, std::string(256 - 13, 'x'));
  // Counted in characters, not bytes: 300 two-byte characters keep 243 of them.
  std::string wide = "StreamTitle='";
  for (int i = 0; i < 300; ++i) wide += "\xc3\xa9";
  ASSERT_EQ(ParseStreamTitleText(wide, 0, value), 1);
  EXPECT_EQ(value.title.size(), 243u * 2);
}

// Catches strict-UTF-8 mistakes that would let broken text through or reject good text.
TEST(DecodeStreamTextTest, Utf8Validation) {
  struct Case {
    std::string bytes;
    int valid;
  } cases[] = {{"plain", 1},        {"\xc3\xa9", 1},     {"\xf0\x9f\x8e\xb5", 1},    {"\xc0\xaf", 0},
               {"\xe0\x80\xaf", 0}, {"\xed\xa0\x80", 0}, {"\xf4\x90\x80\x80", 0},    {"\xc3", 0},
               {"\xe9t\xe9", 0},    {"\x80", 0},         {"\xf8\x88\x80\x80\x80", 0}};
  for (const Case& c : cases) EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.bytes;
  EXPECT_EQ(Cp1252ToUtf8("\x80\x81\x9f\xff"), "\xe2\x82\xac\xc2\x81\xc5\xb8\xc3\xbf");
  // The unassigned 0x81 decodes to a C1 control, which is then dropped.
  EXPECT_EQ(DecodeStreamText("a\x81z", 0), "az");
}

// Catches header names compared with case, a misread icy-br, a wrong legacy test and a
// wrong station-name split.
TEST(StreamHeaders, LineTable) {
  struct Case {
    const char* line;
    int split;
    int64_t bitrate;
    int legacy;
    const char* server;
    const char* show;
    const char* info;
  } cases[] = {
      {"icy-br:128", 0, 128000, 0, "", "", ""},
      {"ICY-BR: 96", 0, 96000, 0, "", "", ""},
      {"  Icy-Br :64,32", 0, 64000, 0, "", "", ""},
      {"icy-br:abc", 0, 0, 0, "", "", ""},
      {"icy-br:-128", 0, 0, 0, "", "", ""},
      {"icy-br:99999999999999999999999", 0, (INT64_MAX / 1000) * 1000, 0, "", "", ""},
      {"icy-br", 0, 0, 0, "", "", ""},
      {"icy-notice2:SHOUTcast Distributed Network Audio Server/win32 v1.9.8<BR>", 0, 0, 1, "", "", ""},
      {"icy-notice2:SHOUTcast Server v2.6.0<BR>", 0, 0, 0, "", "", ""},
      {"ICY-NOTICE2:SHOUTcast Server v1.9.8<BR>", 0, 0, 0, "", "", ""},
      {"icy-notice2:SHOUTcast Server v1.9.8<br>", 0, 0, 0, "", "", ""},
      {"icy-name:Morning Show @ Radio One", 1, 0, 0, "Morning Show @ Radio One", "Morning Show", "Radio One"},
      {"icy-name:  Late Night at Studio 5 ", 1, 0, 0, "Late Night at Studio 5", "Late Night", "Studio 5"},
      {"ICY-NAME:Late Night AT Studio 5", 1, 0, 0, "Late Night AT Studio 5", "Late Night", "Studio 5"},
      {"icy-name:a@b at c", 1, 0, 0, "a@b at c", "a", "b at c"},
      {"icy-name:Plain Radio", 1, 0, 0, "Plain Radio", "Plain Radio", ""},
      {"icy-name:Plain Radio", 0, 0, 0, "Plain Radio", "", ""},
      {"icy-name:Station: The Best", 1, 0, 0, "Station: The Best", "Station: The Best", ""},
      {"icy-genre:Pop", 1, 0, 0, "", "", ""},
  };
  for (const Case& c : cases) {
    StreamHeaders h;
    ParseStreamHeaderLine(c.line, c.split, h);
    EXPECT_EQ(h.bitrate, c.bitrate) << c.line;
    EXPECT_EQ(h.legacyServer, c.legacy) << c.line;
    EXPECT_EQ(h.serverName, c.server) << c.line;
    EXPECT_EQ(h.showName, c.show) << c.line;
    EXPECT_EQ(h.showInfo, c.info) << c.line;
  }
}

// Catches a header walk that stops early, runs past the end or lets an earlier duplicate win.
TEST(StreamHeaders, ListWalk) {
  std::string list = "HTTP/1.0 200 OK\0icy-br:64\0icy-name:First\0icy-br:128\0icy-name:Second\0\0icy-br:1\0"s;
  StreamHeaders h;
  ParseStreamHeaders(list.data(), list.size(), 0, h);
  EXPECT_EQ(h.bitrate, 128000);
  EXPECT_EQ(h.serverName, "Second");
  StreamHeaders none;
  ParseStreamHeaders(nullptr, 100, 1, none);
  EXPECT_EQ(none.hasName, 0);
  // An unterminated list is read only up to the bound.
  std::string open = "icy-br:32";
  StreamHeaders bounded;
  ParseStreamHeaders(open.data(), open.size(), 0, bounded);
  EXPECT_EQ(bounded.bitrate, 32000);
}

// Catches wrong rows in the codec tables.
TEST(Codecs, Tables) {
  struct Tag {
    int tag;
    const char* result;
  } tags[] = {{0x0001, "WAV|wav"},  {0x0003, "WAV|wav"}, {0x0008, "DTS|dts"}, {0x2001, "DTS|dts"},
              {0x000A, "WMA|wma"},  {0x000B, "WMA|wma"}, {0x0160, "WMA|wma"}, {0x0164, "WMA|wma"},
              {0x0050, "MPEG|mpg"}, {0x0055, "MP3|mp3"}, {0x0092, "AC3|ac3"}, {0x0241, "AC3|ac3"},
              {0x00FF, "AAC|aac"},  {0x1600, "AAC|aac"}, {0x1602, "AAC|aac"}, {0x1610, "(HE-)AAC|aac"},
              {0xFFFE, "?|"},       {0x0000, "?|"},      {0x0165, "?|"}};
  for (const Tag& t : tags) EXPECT_EQ(CodecFromWaveFormat(t.tag), t.result) << t.tag;

  struct Type {
    uint32_t ctype;
    int known;
    const char* name;
    const char* ext;
  } types[] = {{0x11200, 1, "Opus", "opus"},  {0x10008, 0, "?", ""},
               {0x10b00, 1, "(HE-)AAC", ""},  {0x10b01, 1, "MP4", "mp4"},
               {0x10006, 1, "AIFF", "aiff"},  {0x10003, 1, "MP1", "mp1"},
               {0x10004, 1, "MP2", "mp2"},    {0x10005, 1, "MP3", "mp3"},
               {0x10002, 1, "Vorbis", "ogg"}, {0x40000, 1, "WAV", "wav"},
               {0x50001, 1, "WAV", "wav"},    {0x50003, 1, "WAV", "wav"},
               {0x10001, 1, "?", ""},         {0, 1, "?", ""}};
  for (const Type& t : types) {
    std::string name, ext;
    EXPECT_EQ(CodecFromChannelType(t.ctype, name, ext), t.known) << t.ctype;
    EXPECT_EQ(name, t.name) << t.ctype;
    EXPECT_EQ(ext, t.ext) << t.ctype;
  }
}

// Catches rounding half away from zero (or float error) in the "KHz" figure.
TEST(Codecs, KiloHertzTiesToEven) {
  struct Case {
    int64_t rate, khz;
  } cases[] = {{48000, 48}, {44100, 44}, {22050, 22}, {22500, 22}, {23500, 24}, {11025, 11},
               {500, 0},    {1500, 2},   {2500, 2},   {8000, 8},   {0, 0},      {96000, 96}};
  for (const Case& c : cases) EXPECT_EQ(RoundKiloHertz(c.rate), c.khz) << c.rate;
}

// Catches ReadStreamFormat ignoring the headers, the custom-URL split or the bitrate fallback.
TEST_F(ReadStreamFormatTest, FromTheLibrary) {
  FakeBassScope fake;
  gPlayer.streamHandle = 5;
  {
    std::lock_guard<std::mutex> l(Fake().lock);
    Fake().icyHeaders = "icy-notice2:SHOUTcast Server v1.9.8<BR>\0ICY-BR: 96\0icy-name:Drive @ Radio X\0\0"s;
    Fake().ctype = BASS_CTYPE_STREAM_AAC;
    Fake().freq = 44100;
    Fake().chans = 1;
  }
  ReadStreamFormat();
  EXPECT_EQ(gPlayer.bitrate.load(), 96000);
  EXPECT_EQ(gPlayer.legacyServer.load(), 1);
  EXPECT_EQ(gPlayer.sampleRate.load(), 44100);
  EXPECT_EQ(gPlayer.channels.load(), 1);
  EXPECT_EQ(PlayerString(&PlayerState::codecName), "(HE-)AAC");
  EXPECT_EQ(PlayerString(&PlayerState::serverName), "Drive @ Radio X");
  EXPECT_EQ(PlayerString(&PlayerState::showName), "");  // no custom URL: the show is left alone

  SetPlayerString(&PlayerState::customUrl, "http://127.0.0.1/custom.mp3");
  {
    std::lock_guard<std::mutex> l(Fake().lock);
    Fake().icyHeaders = "icy-name:Drive @ Radio X\0\0"s;
    Fake().bitrateAttr = 127.6f;
  }
  ReadStreamFormat();
  EXPECT_EQ(gPlayer.legacyServer.load(), 0);
  EXPECT_EQ(gPlayer.bitrate.load(), 127600);
  EXPECT_EQ(PlayerString(&PlayerState::showName), "Drive");
  EXPECT_EQ(PlayerString(&PlayerState::showInfo), "Radio X");
}
