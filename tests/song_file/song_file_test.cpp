// Saved songs' files: whole frames and pages of the title and nothing of another stream,
// a clean error for anything unusable, and files that FFmpeg reads as the title.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "audiolib/media.h"
#include "playback/playback.h"
#include "test_files.h"

namespace {

// Deterministic frame contents without 0xFF, so that no chance sync word sits inside.
std::string Payload(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (auto& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = char((seed >> 16) % 0xFF);
  }
  return s;
}

// Any bytes at all, 0xFF included.
std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (auto& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = char(seed >> 16);
  }
  return s;
}

std::string Frame(const std::string& header, size_t length, uint32_t seed) {
  return header + Payload(length - header.size(), seed);
}

// MPEG-1 layer III, 128 kbit/s, 44100 Hz: 417 bytes, 418 when padded.
std::string Mp3(uint32_t seed, int padded = 0) {
  return Frame(std::string("\xFF\xFB") + char(padded ? 0x92 : 0x90) + "\x44", 417 + padded, seed);
}
// The same at 48000 Hz: 384 bytes.
std::string Mp3At48k(uint32_t seed) { return Frame("\xFF\xFB\x94\x44", 384, seed); }
// MPEG-2 layer III, 64 kbit/s, 22050 Hz: 208 bytes.
std::string Mp3Mpeg2(uint32_t seed) { return Frame("\xFF\xF3\x80\x44", 208, seed); }
// MPEG-1 layer II, 192 kbit/s, 48000 Hz: 576 bytes.
std::string Mp2(uint32_t seed) { return Frame("\xFF\xFD\xA4\x44", 576, seed); }

// An ADTS header of AAC LC, stereo, with the given frame length (header included).
std::string AdtsHeader(size_t length, int crc = 0, unsigned rateIndex = 4) {
  std::string h = {'\xFF',
                   char(crc ? 0xF0 : 0xF1),
                   char(0x40 | (rateIndex << 2)),
                   char(0x80 | ((length >> 11) & 3)),
                   char((length >> 3) & 0xFF),
                   char(((length & 7) << 5) | 0x1F),
                   '\xFC'};
  if (crc) h += "\x12\x34";
  return h;
}
std::string Adts(size_t length, uint32_t seed, int crc = 0, unsigned rateIndex = 4) {
  return Frame(AdtsHeader(length, crc, rateIndex), length, seed);
}

// An ID3v2.3 tag with n bytes after its header.
std::string Id3(size_t n) {
  std::string t("ID3\3\0\0", 6);
  for (int shift : {21, 14, 7, 0}) t += char((n >> shift) & 0x7F);
  return t + std::string(n, 'x');
}

struct Piece {
  std::string bytes;
  int kept;  // expected in the file
};

struct CutCase {
  const char* name;
  const char* codec;
  std::vector<Piece> pieces;
  size_t headCut = 0;  // bytes of the first piece before the title's announcement
  size_t tailCut = 0;  // bytes of the last piece after the buffer's end
};

}  // namespace

// Each case catches a frame taken that is not whole or not the title's, or a whole one
// lost, when cutting at frame boundaries.
TEST(SongFileFrames, TakesTheTitlesWholeFramesOnly) {
  const std::string junk = Payload(333, 99);
  const std::string id3v1 = "TAG" + std::string(125, 'y');
  const CutCase cases[] = {
      {"whole frames", "mp3", {{Mp3(1), 1}, {Mp3(2), 1}, {Mp3(3), 1}}},
      {"announcement inside a frame", "mp3", {{Mp3(1), 0}, {Mp3(2), 1}, {Mp3(3), 1}, {Mp3(4), 1}}, 200},
      {"last frame torn by the end", "mp3", {{Mp3(1), 1}, {Mp3(2), 1}, {Mp3(3), 0}}, 0, 100},
      {"next header cut after two bytes", "mp3", {{Mp3(1), 1}, {Mp3(2), 1}, {Mp3(3), 0}}, 0, 415},
      {"next header cut after one byte", "mp3", {{Mp3(1), 1}, {Mp3(2), 1}, {Mp3(3), 0}}, 0, 416},
      {"padded and unpadded frames", "mp3", {{Mp3(1, 1), 1}, {Mp3(2), 1}, {Mp3(3, 1), 1}, {Mp3(4), 1}}},
      {"ID3v2 tag between frames", "mp3", {{Mp3(1), 1}, {Id3(300), 0}, {Mp3(2), 1}, {Mp3(3), 1}}},
      {"ID3v1 tag between frames", "mp3", {{Mp3(1), 1}, {id3v1, 0}, {Mp3(2), 1}, {Mp3(3), 1}}},
      {"stream starts with a tag", "mp3", {{Id3(50), 0}, {Mp3(1), 1}, {Mp3(2), 1}}},
      // Junk that looks like a tag or a frame reaching past the buffer's end is junk still.
      {"tag lookalike inside junk",
       "mp3",
       {{Mp3(1), 1},
        {Mp3(2), 0},
        {junk + std::string("ID3\3\0\0\x7F\x7F\x7F\x7F", 10) + junk, 0},
        {Mp3(3), 1},
        {Mp3(4), 1}}},
      {"long frame lookalike inside junk",
       "mp3",
       {{Mp3(1), 1}, {Mp3(2), 0}, {junk + "\xFF\xFB\xE0\x44" + Payload(50, 6), 0}, {Mp3(3), 1}, {Mp3(4), 1}}},
      // The frame before junk cannot be told whole: it is dropped.
      {"junk between frames", "mp3", {{Mp3(1), 1}, {Mp3(2), 0}, {junk, 0}, {Mp3(3), 1}, {Mp3(4), 1}}},
      {"sample rate changes", "mp3", {{Mp3(1), 1}, {Mp3(2), 1}, {Mp3At48k(3), 0}, {Mp3At48k(4), 0}, {Mp3At48k(5), 0}}},
      {"ADTS after MP3", "mp3", {{Mp3(1), 1}, {Mp3(2), 1}, {Adts(300, 3), 0}, {Adts(310, 4), 0}, {Adts(320, 5), 0}}},
      {"Ogg after MP3", "mp3", {{Mp3(1), 1}, {Mp3(2), 1}, {"OggS" + Payload(500, 5), 0}, {Mp3(3), 0}, {Mp3(4), 0}}},
      {"MPEG-2 layer III", "mp3", {{Mp3Mpeg2(1), 0}, {Mp3Mpeg2(2), 1}, {Mp3Mpeg2(3), 1}, {Mp3Mpeg2(4), 0}}, 7, 5},
      {"MPEG-1 layer II", "mp3", {{Mp2(1), 1}, {Mp2(2), 1}, {Mp2(3), 1}}},
      {"ADTS frames of varying length", "aac", {{Adts(340, 1), 1}, {Adts(372, 2), 1}, {Adts(301, 3), 1}}},
      {"ADTS with CRC", "aac", {{Adts(340, 1, 1), 1}, {Adts(372, 2, 1), 1}, {Adts(301, 3, 1), 1}}},
      {"ADTS cut at both ends",
       "aac",
       {{Adts(340, 1), 0}, {Adts(372, 2), 1}, {Adts(301, 3), 1}, {Adts(333, 4), 0}},
       50,
       20},
      {"ADTS rate changes",
       "aac",
       {{Adts(340, 1), 1}, {Adts(372, 2), 1}, {Adts(300, 3, 0, 3), 0}, {Adts(300, 4, 0, 3), 0}}},
      {"ADTS junk between",
       "aac",
       {{Adts(340, 1), 1}, {Adts(350, 2), 0}, {junk, 0}, {Adts(360, 3), 1}, {Adts(370, 4), 1}}},
      {"MP3 after ADTS", "aac", {{Adts(340, 1), 1}, {Adts(350, 2), 1}, {Mp3(3), 0}, {Mp3(4), 0}, {Mp3(5), 0}}},
  };
  for (const CutCase& c : cases) {
    std::string all, expected;
    for (const Piece& p : c.pieces) {
      all += p.bytes;
      if (p.kept) expected += p.bytes;
    }
    std::string audio = all.substr(c.headCut, all.size() - c.headCut - c.tailCut);
    std::string file, error;
    ASSERT_EQ(BuildSongFile(c.codec, "", audio, SongTags{}, 1, &file, &error), 1) << c.name << ": " << error;
    EXPECT_TRUE(file == expected) << c.name << ": " << file.size() << " bytes, expected " << expected.size();
  }
}

// Each case catches a crash, an overread (under AddressSanitizer) or a file made of
// nothing usable.
TEST(SongFileFrames, RefusesWhatHoldsNoUsableAudio) {
  std::string hugeTag("ID3\4\0\0\x7F\x7F\x7F\x7F", 10);
  std::string shortAdts;
  for (int k = 0; k < 8; ++k) shortAdts += AdtsHeader(5);
  std::string shortCrcAdts;
  for (int k = 0; k < 8; ++k) shortCrcAdts += AdtsHeader(8, 1);
  std::string freeFormat, reservedVersion;
  for (int k = 0; k < 4; ++k) freeFormat += Frame("\xFF\xFB\x00\x44", 417, k);
  for (int k = 0; k < 4; ++k) reservedVersion += Frame("\xFF\xEB\x90\x44", 417, k);
  std::string oggs;
  for (int k = 0; k < 1000; ++k) oggs += "OggS";
  std::string tornPage = std::string("OggS\0\2", 6) + std::string(20, '\0') + '\xFF' + std::string(255, '\xFF');
  const struct {
    const char* name;
    const char* codec;
    std::string audio;
  } cases[] = {
      {"empty", "mp3", ""},
      {"noise", "mp3", Noise(4096, 7)},
      {"a lone header", "mp3", "\xFF\xFB\x90\x44"},
      {"one torn frame", "mp3", Mp3(1).substr(0, 300)},
      {"free-format frames", "mp3", freeFormat},
      {"reserved MPEG version", "mp3", reservedVersion},
      {"a tag claiming 256 MiB", "mp3", hugeTag + Mp3(1) + Mp3(2)},
      {"ADTS frames only", "mp3", Adts(300, 1) + Adts(300, 2) + Adts(300, 3)},
      {"empty", "aac", ""},
      {"noise", "aac", Noise(4096, 8)},
      {"frame shorter than its header", "aac", shortAdts},
      {"CRC frame shorter than its header", "aac", shortCrcAdts},
      {"frame claiming 8 KiB", "aac", AdtsHeader(8191) + Payload(4000, 1)},
      {"MP3 frames only", "aac", Mp3(1) + Mp3(2) + Mp3(3)},
      {"empty", "ogg", ""},
      {"noise", "ogg", Noise(4096, 9)},
      {"capture patterns only", "ogg", oggs},
      {"page torn in its lacing", "ogg", tornPage},
      {"MP3 frames only", "ogg", Mp3(1) + Mp3(2) + Mp3(3)},
      {"unknown codec", "flac", Mp3(1) + Mp3(2) + Mp3(3)},
      {"no codec", "", Mp3(1) + Mp3(2)},
  };
  for (const auto& c : cases) {
    std::string file = "old", error;
    EXPECT_EQ(BuildSongFile(c.codec, c.audio, c.audio, SongTags{"A", "T", "", "", ""}, 1, &file, &error), 0)
        << c.codec << ", " << c.name;
    EXPECT_FALSE(error.empty()) << c.codec << ", " << c.name;
    EXPECT_TRUE(file.empty()) << c.codec << ", " << c.name;
  }
}

// Catches a tag text with NUL or control bytes, one without bound, or sizes that are not
// synchsafe (a reader would then take audio for tag).
TEST(SongFileTags, TagTextsAreCleanAndBounded) {
  std::string title = "Song\0with\x01NUL";
  title.assign("Song\0with\x01NUL", 13);
  title += std::string(4096, 'z');
  std::string file, error;
  SongTags tags{"", title, "", "", "07/12/2026"};
  ASSERT_EQ(BuildSongFile("mp3", "", Mp3(1) + Mp3(2), tags, 1, &file, &error), 1) << error;
  ASSERT_EQ(file.substr(0, 4), std::string("ID3\4", 4));
  size_t tagSize = 0;
  for (int k = 6; k < 10; ++k) {
    ASSERT_EQ(file[k] & 0x80, 0);
    tagSize = tagSize << 7 | size_t(file[k]);
  }
  ASSERT_EQ(file.size(), 10 + tagSize + 2 * 417);
  // Only TIT2: the date is not a timestamp, so it is left out.
  ASSERT_EQ(file.substr(10, 4), "TIT2");
  size_t frameSize = 0;
  for (int k = 14; k < 18; ++k) frameSize = frameSize << 7 | size_t(file[k] & 0x7F);
  ASSERT_EQ(10 + 10 + frameSize, 10 + tagSize);
  std::string text = file.substr(21, frameSize - 1);
  EXPECT_EQ(file[20], '\3');
  EXPECT_LE(text.size(), 1024u);
  EXPECT_EQ(text.find('\0'), std::string::npos);
  EXPECT_EQ(text.find('\1'), std::string::npos);
  EXPECT_EQ(text.substr(0, 11), "SongwithNUL");
}

// Catches a wrong extension for the Ogg codecs (an Opus file named .ogg or the reverse).
TEST(SongFileTags, ExtensionFollowsTheStream) {
  std::string opus = MediaBytes(Media::OpusTone);
  ASSERT_FALSE(opus.empty());
  EXPECT_EQ(SongFileExtension("mp3", ""), ".mp3");
  EXPECT_EQ(SongFileExtension("aac", ""), ".aac");
  EXPECT_EQ(SongFileExtension("ogg", opus), ".opus");
  EXPECT_EQ(SongFileExtension("ogg", ""), ".ogg");
}

namespace {

struct PageInfo {
  uint8_t flags;
  uint64_t granule;
  uint32_t sequence;
  int packetsEnding;  // lacing values below 255
  size_t size;
};

// The pages of a file laid end to end (what a saved file must be).
std::vector<PageInfo> WalkPages(const std::string& file) {
  std::vector<PageInfo> pages;
  size_t pos = 0;
  auto u = [&file](size_t i) { return uint64_t(uint8_t(file[i])); };
  while (pos + 27 <= file.size() && file.compare(pos, 4, "OggS") == 0) {
    PageInfo p{};
    p.flags = uint8_t(file[pos + 5]);
    for (int k = 7; k >= 0; --k) p.granule = p.granule << 8 | u(pos + 6 + k);
    for (int k = 3; k >= 0; --k) p.sequence = p.sequence << 8 | uint32_t(u(pos + 18 + k));
    size_t segments = u(pos + 26);
    if (pos + 27 + segments > file.size()) break;
    p.size = 27 + segments;
    for (size_t k = 0; k < segments; ++k) {
      p.size += u(pos + 27 + k);
      p.packetsEnding += u(pos + 27 + k) < 255;
    }
    pages.push_back(p);
    pos += p.size;
  }
  if (pos != file.size()) pages.clear();
  return pages;
}

}  // namespace

// Cuts of one Opus stream (the title changed inside it) at awkward offsets. Catches
// headers not repeated, numbering not from 0, granules not counted from the cut (the tone
// is coded in packets of one length, so each page's granule is its packets' count times
// that length), a missing EOS, and a wrong checksum (a
// file rebuilt from itself would then lose pages).
TEST(SongFileOgg, TitleInsideOneStreamGetsHeadersAndNewCounts) {
  const std::string opus = MediaBytes(Media::OpusTone);
  ASSERT_GT(opus.size(), 200000u);
  const std::string streamStart = opus.substr(0, 256 << 10);
  const struct { size_t from, to; } cuts[] = {{60001, 130017}, {15000, 35000}, {150000, opus.size()}, {100, 80000}};
  for (const auto& cut : cuts) {
    std::string audio = opus.substr(cut.from, cut.to - cut.from);
    std::string file, error;
    ASSERT_EQ(BuildSongFile("ogg", streamStart, audio, SongTags{"A", "Tone", "", "Station", ""}, 1, &file, &error), 1)
        << cut.from << ": " << error;
    std::vector<PageInfo> pages = WalkPages(file);
    ASSERT_GE(pages.size(), 3u) << cut.from;
    EXPECT_EQ(file.compare(28, 8, "OpusHead"), 0);
    EXPECT_NE(file.find("TITLE=Tone"), std::string::npos);
    EXPECT_NE(file.find("ORGANIZATION=Station"), std::string::npos);
    uint64_t packets = 0;
    // The packets' length, from the first audio page: 10 ms or 20 ms of 48 kHz.
    const uint64_t length = pages[2].packetsEnding ? pages[2].granule / pages[2].packetsEnding : 0;
    EXPECT_TRUE(length == 480 || length == 960) << length;
    for (size_t i = 0; i < pages.size(); ++i) {
      EXPECT_EQ(pages[i].sequence, i) << cut.from;
      EXPECT_EQ((pages[i].flags & 2) != 0, i == 0) << "BOS on page " << i;
      EXPECT_EQ((pages[i].flags & 4) != 0, i + 1 == pages.size()) << "EOS on page " << i;
      if (i < 2) continue;
      packets += pages[i].packetsEnding;
      // The stream's own last page may end before its last packet does.
      if (i + 1 < pages.size() || cut.to < opus.size()) {
        EXPECT_EQ(pages[i].granule, packets * length) << cut.from << ", page " << i;
      } else {
        EXPECT_GT(pages[i].granule, (packets - pages[i].packetsEnding) * length);
        EXPECT_LE(pages[i].granule, packets * length);
      }
    }
    std::string again;
    ASSERT_EQ(BuildSongFile("ogg", file, file, SongTags{"A", "Tone", "", "Station", ""}, 1, &again, &error), 1);
    EXPECT_TRUE(again == file) << cut.from;
  }
}

// Catches a file made from pages that are not intact or from a stream whose headers are
// gone, instead of a clean error.
TEST(SongFileOgg, RefusesStreamsItCannotMakeWhole) {
  const std::string opus = MediaBytes(Media::OpusTone);
  ASSERT_GT(opus.size(), 200000u);
  std::string badChecksums = opus.substr(50000, 60000);
  for (size_t pos = 0; (pos = badChecksums.find("OggS", pos)) != std::string::npos; pos += 4)
    badChecksums[pos + 22] ^= 1;
  size_t audioStart = 0;
  for (int k = 0; k < 2; ++k) audioStart = opus.find("OggS", audioStart + 1);
  const struct {
    const char* name;
    std::string streamStart, audio;
  } cases[] = {
      {"headers no longer kept", "", opus.substr(50000, 60000)},
      {"headers of another stream", Adts(300, 1), opus.substr(50000, 60000)},
      {"every checksum wrong", opus.substr(0, 256 << 10), badChecksums},
      {"no whole page", opus.substr(0, 256 << 10), opus.substr(4097, 20480)},
      {"headers without audio", opus.substr(0, audioStart), opus.substr(0, audioStart)},
  };
  for (const auto& c : cases) {
    std::string file, error;
    EXPECT_EQ(BuildSongFile("ogg", c.streamStart, c.audio, SongTags{}, 0, &file, &error), 0) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

#ifndef _WIN32
#include <unistd.h>

// What FFmpeg makes of the files (Linux only: ffmpeg and ffprobe do not run under Wine).
namespace {

std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    int rc = pclose(p);
    if (status) *status = rc;
  } else if (status) {
    *status = -1;
  }
  return out;
}

using testfiles::ReadFile;

std::string MediaDir() {
  const char* build = std::getenv("CORVALE_BUILD_DIR");
  return std::string(build && *build ? build : "/tmp") + "/test-media/song-file/";
}

// Where the joined fixtures go on from the middle of their stream: a page boundary.
size_t JoinAt(const std::string& whole) { return whole.find("OggS", 40000); }

// Encodes a fixture once (under a private name, then renamed: tests run in parallel).
std::string Fixture(const std::string& name) {
  const std::string dir = MediaDir(), path = dir + name;
  std::string bytes = ReadFile(path);
  if (!bytes.empty()) return bytes;
  Shell("mkdir -p '" + dir + "'");
  const std::string tmp = path + "." + std::to_string(getpid());
  const std::string source = "-f lavfi -i 'aevalsrc=0.4*sin(2*PI*(300+40*t)*t)|0.4*sin(2*PI*440*t):s=48000:d=";
  const std::string ff = "ffmpeg -nostdin -v error -y ";
  const std::string opus = "-c:a libopus -b:a 64k -page_duration 200000 -f ogg ";
  const std::string vorbis = "-c:a libvorbis -q:a 3 -page_duration 200000 -f ogg ";
  std::map<std::string, std::string> commands = {
      {"opus.opus", ff + source + "12' " + opus + tmp},
      {"vorbis.ogg", ff + source + "12' " + vorbis + tmp},
      {"second.opus", ff + source + "6' -serial_offset 7 " + opus + tmp},
      {"second.ogg", ff + source + "6' -serial_offset 7 " + vorbis + tmp},
  };
  if (name == "chain.opus" || name == "chain.ogg" || name == "mp3-then-aac") {
    std::string a = name == "chain.opus"  ? Fixture("opus.opus")
                    : name == "chain.ogg" ? Fixture("vorbis.ogg")
                                          : MediaBytes(Media::Mp3Tone);
    std::string b = name == "chain.opus"  ? Fixture("second.opus")
                    : name == "chain.ogg" ? Fixture("second.ogg")
                                          : MediaBytes(Media::AacTone);
    std::ofstream(tmp, std::ios::binary) << a << b;
  } else if (name == "joined.opus" || name == "joined.ogg") {
    // What a server sends a listener joining a long stream: the header pages (ffmpeg lays
    // them on two pages), then pages from the middle.
    const std::string whole = Fixture(name == "joined.opus" ? "opus.opus" : "vorbis.ogg");
    const size_t headersEnd = whole.find("OggS", whole.find("OggS", 1) + 1);
    std::ofstream(tmp, std::ios::binary) << whole.substr(0, headersEnd) << whole.substr(JoinAt(whole));
  } else if (name == "tone.mp3" || name == "tone.aac") {
    std::ofstream(tmp, std::ios::binary) << MediaBytes(name == "tone.mp3" ? Media::Mp3Tone : Media::AacTone);
  } else {
    Shell("mkdir -p '" + dir + "' && " + commands.at(name));
  }
  std::rename(tmp.c_str(), path.c_str());
  return ReadFile(path);
}

struct Packet {
  int64_t pos = -1, size = 0;
  double pts = 0, duration = 0;
};

std::vector<Packet> Packets(const std::string& path) {
  std::vector<Packet> packets;
  std::istringstream lines(
      Shell("ffprobe -v error -show_entries packet=pos,size,pts_time,duration_time -of compact=p=0 '" + path + "'"));
  for (std::string line; std::getline(lines, line);) {
    if (line.find("size=") == std::string::npos) continue;
    Packet p;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '|');) {
      size_t eq = field.find('=');
      std::string key = field.substr(0, eq), value = field.substr(eq + 1);
      if (key == "pos") p.pos = std::atoll(value.c_str());
      if (key == "size") p.size = std::atoll(value.c_str());
      if (key == "pts_time") p.pts = std::atof(value.c_str());
      if (key == "duration_time") p.duration = std::atof(value.c_str());
    }
    packets.push_back(p);
  }
  return packets;
}

std::string Probe(const std::string& path, const std::string& entries) {
  return Shell("ffprobe -v error -show_entries " + entries + " -of default=nw=1:nk=1 '" + path + "'");
}

struct ProbeCase {
  const char* name;
  const char* fixture;
  const char* codec;
  size_t from, to;               // the title's bytes in the fixture (to 0: its end)
  const char* oracle = nullptr;  // the file whose packets the saved ones are (default: the fixture)
};

// Saves the case's title from its fixture into *out; the file must decode without a
// single error.
void SaveAndDecode(const ProbeCase& c, const SongTags& tags, std::string* source, std::string* file, std::string* out) {
  if (c.oracle) Fixture(c.oracle);
  *source = Fixture(c.fixture);
  ASSERT_FALSE(source->empty()) << c.name;
  const size_t to = c.to ? c.to : source->size();
  std::string error;
  ASSERT_EQ(
      BuildSongFile(c.codec, source->substr(0, 256 << 10), source->substr(c.from, to - c.from), tags, 1, file, &error),
      1)
      << c.name << ": " << error;
  *out = MediaDir() + "out-" + std::to_string(getpid()) + "." + c.codec;
  std::ofstream(*out, std::ios::binary) << *file;
  int status = 0;
  EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i '" + *out + "' -f null - 2>&1", &status), "") << c.name;
  EXPECT_EQ(status, 0) << c.name;
}

}  // namespace

// MP3 and ADTS cut at awkward offsets. Catches a file FFmpeg reports errors in, tags it
// does not read, audio bytes that differ from the source's frames, and a duration off
// by a frame or more.
TEST(SongFileProbe, FramesDecodeAndEqualTheSource) {
  const ProbeCase cases[] = {
      {"MP3 mid-frame to mid-frame", "tone.mp3", "mp3", 12345, 98765},
      {"MP3 whole file", "tone.mp3", "mp3", 0, 0},
      {"MP3 with a 4 KiB title", "tone.mp3", "mp3", 70000, 74096},
      {"ADTS mid-frame to mid-frame", "tone.aac", "aac", 5003, 120001},
      {"MP3 then ADTS", "mp3-then-aac", "mp3", 100000, 0, "tone.mp3"},
  };
  for (const ProbeCase& c : cases) {
    SongTags tags{"The Artist", std::string("Title of ") + c.name, "An Album", "Corvale FM", "2026-12-07"};
    std::string source, file, out;
    ASSERT_NO_FATAL_FAILURE(SaveAndDecode(c, tags, &source, &file, &out));
    const size_t to = c.to ? c.to : source.size();
    EXPECT_EQ(Probe(out, "format_tags=title"), tags.title + "\n") << c.name;
    EXPECT_EQ(Probe(out, "format_tags=publisher"), "Corvale FM\n") << c.name;
    // The source's frames that lie whole within the title's bytes.
    std::string expected;
    double duration = 0, frame = 0;
    for (const Packet& p : Packets(MediaDir() + (c.oracle ? c.oracle : c.fixture))) {
      if (p.pos >= int64_t(c.from) && size_t(p.pos + p.size) <= to) {
        expected += source.substr(p.pos, p.size);
        duration += p.duration;
        frame = p.duration;
      }
    }
    ASSERT_GT(expected.size(), 0u) << c.name;
    ASSERT_GE(file.size(), expected.size()) << c.name;
    EXPECT_TRUE(file.substr(file.size() - expected.size()) == expected) << c.name;
    EXPECT_NEAR(Packets(out).size() * frame, duration, frame / 2) << c.name;
    // FFmpeg guesses an ADTS file's duration from its bitrate: only the MP3 one is read.
    if (std::string(c.codec) == "mp3") {
      EXPECT_NEAR(std::atof(Probe(out, "format=duration").c_str()), duration, frame) << c.name;
    }
    std::remove(out.c_str());
  }
}

// Opus and Vorbis, in one stream and chained. Catches a file FFmpeg reports errors in,
// tags it does not read, packets that are not the source's in order, timestamps not
// counted from the cut, a duration off by a packet or more, and more than three pages
// of the title lost at the cut.
TEST(SongFileProbe, OggDecodesAsTheTitlesPackets) {
  // Where the second stream of each chain begins.
  const size_t opusChain = Fixture("opus.opus").size(), vorbisChain = Fixture("vorbis.ogg").size();
  const ProbeCase cases[] = {
      {"Opus inside one stream", "opus.opus", "ogg", 20011, 70123},
      {"Opus to the end", "opus.opus", "ogg", 33333, 0},
      {"Vorbis inside one stream", "vorbis.ogg", "ogg", 7007, 50001},
      {"Opus chain: the next stream", "chain.opus", "ogg", opusChain - 700, 0, "second.opus"},
      {"Opus chain: the stream before the next", "chain.opus", "ogg", 40000, opusChain + 3000, "opus.opus"},
      {"Vorbis chain: the next stream", "chain.ogg", "ogg", vorbisChain - 333, 0, "second.ogg"},
  };
  for (const ProbeCase& c : cases) {
    SongTags tags{"The Artist", std::string("Title of ") + c.name, "", "Corvale FM", "2026-12-07"};
    std::string source, file, out;
    ASSERT_NO_FATAL_FAILURE(SaveAndDecode(c, tags, &source, &file, &out));
    const size_t to = c.to ? c.to : source.size();
    EXPECT_EQ(Probe(out, "stream_tags=TITLE"), tags.title + "\n") << c.name;
    // The saved packets are a run of the source's, found by their sizes.
    std::vector<Packet> saved = Packets(out), original = Packets(MediaDir() + (c.oracle ? c.oracle : c.fixture));
    ASSERT_GT(saved.size(), 10u) << c.name;
    const size_t offset =
        c.oracle && std::string(c.oracle) != "opus.opus" ? source.size() - ReadFile(MediaDir() + c.oracle).size() : 0;
    size_t at = original.size();
    for (size_t i = 0; i + saved.size() <= original.size() && at == original.size(); ++i) {
      size_t k = 0;
      while (k < saved.size() && original[i + k].size == saved[k].size) ++k;
      if (k == saved.size()) at = i;
    }
    ASSERT_LT(at, original.size()) << c.name;
    double keptDuration = 0, inCut = 0, packet = 0;
    for (size_t k = 0; k < saved.size(); ++k) keptDuration += original[at + k].duration;
    for (const Packet& p : original) {
      packet = std::max(packet, p.duration);
      if (p.pos + int64_t(offset) >= int64_t(c.from) && p.pos + int64_t(offset) < int64_t(to)) inCut += p.duration;
    }
    EXPECT_GE(original[at].pos + int64_t(offset), int64_t(c.from)) << c.name;
    EXPECT_NEAR(saved[0].pts, original[0].pts, packet) << c.name;
    EXPECT_NEAR(std::atof(Probe(out, "format=duration").c_str()), keptDuration, packet) << c.name;
    EXPECT_GE(keptDuration, inCut - 0.6) << c.name;
    std::remove(out.c_str());
  }
}

// A listener joining a long Ogg stream gets its headers and then pages from the middle,
// their granules hours on. Catches those granules kept (a file that claims to start late
// or last too long), and for Opus any page lost (its packets tell their length), for
// Vorbis more than the one page it needs before its count starts.
TEST(SongFileProbe, JoinedStreamCountsFromItsFirstPage) {
  const struct {
    const char* joined;
    const char* whole;
    double lost;  // seconds that may be lost at the start: a page of Vorbis
  } cases[] = {{"joined.opus", "opus.opus", 0}, {"joined.ogg", "vorbis.ogg", 0.2}};
  for (const auto& c : cases) {
    std::string source, file, out;
    ASSERT_NO_FATAL_FAILURE(SaveAndDecode({c.joined, c.joined, "ogg", 0, 0}, SongTags{}, &source, &file, &out));
    const size_t join = JoinAt(Fixture(c.whole));
    const std::vector<Packet> original = Packets(MediaDir() + c.whole), saved = Packets(out);
    ASSERT_FALSE(saved.empty()) << c.joined;
    double expected = 0, packet = 0;
    for (const Packet& p : original) {
      packet = std::max(packet, p.duration);
      if (p.pos >= int64_t(join)) expected += p.duration;
    }
    const double duration = std::atof(Probe(out, "format=duration").c_str());
    EXPECT_NEAR(saved[0].pts, original[0].pts, packet) << c.joined;
    EXPECT_LE(duration, expected + packet) << c.joined;
    EXPECT_GE(duration, expected - c.lost - packet) << c.joined;
    std::remove(out.c_str());
  }
}
#endif
