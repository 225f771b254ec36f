// The ICY demuxer: audio and metadata must come apart exactly, however the receive
// callbacks cut the bytes.
#include "icy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using audiolib::IcyDemux;
using audiolib::IcyFeed;
using audiolib::ParseIcyMetaint;

namespace {

struct Collected {
  std::string audio;
  std::vector<std::string> metas;
};

void OnAudio(void* c, const uint8_t* d, size_t n) { static_cast<Collected*>(c)->audio.append((const char*)d, n); }
void OnMeta(void* c, const std::string& t) { static_cast<Collected*>(c)->metas.push_back(t); }

std::string Block(const std::string& text) {
  const size_t blocks = (text.size() + 15) / 16;
  std::string out(1, char(blocks));
  out += text;
  out.resize(1 + blocks * 16, '\0');
  return out;
}

// Builds a stream of metaint-sized audio pieces separated by the given blocks.
std::string Interleave(const std::string& audio, size_t metaint, const std::vector<std::string>& blocks) {
  std::string out;
  size_t b = 0;
  for (size_t pos = 0; pos < audio.size(); pos += metaint) {
    out += audio.substr(pos, metaint);
    if (pos + metaint <= audio.size()) out += b < blocks.size() ? blocks[b++] : std::string(1, '\0');
  }
  return out;
}

}  // namespace

// Catches values that overflow, go negative or allocate absurd buffers.
TEST(IcyMetaint, ParsesOnlySaneValues) {
  struct Case {
    const char* text;
    uint32_t expected;
  } cases[] = {
      {"16000", 16000}, {" 8192 ", 8192}, {"1", 1},          {"1048576", 1048576}, {"1048577", 0},
      {"0", 0},         {"-1", 0},        {"abc", 0},        {"99999999999", 0},   {"", 0},
      {"12ab", 0},      {"+5", 0},        {"4294967296", 0}, {"16000\r", 16000},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseIcyMetaint(c.text), c.expected) << "'" << c.text << "'";
}

// Catches metadata bytes leaking into the audio or titles lost at callback boundaries.
TEST(IcyDemuxer, SplitsAtEveryCutPoint) {
  std::string audio;
  for (int i = 0; i < 200; ++i) audio += char('a' + i % 26);
  const std::vector<std::string> blocks = {Block("StreamTitle='Guns N'' Roses - Song';"), std::string(1, '\0'),
                                           Block("StreamTitle='B';StreamUrl='x';")};
  const std::string wire = Interleave(audio, 50, blocks);
  for (size_t piece = 1; piece <= wire.size(); ++piece) {
    IcyDemux d;
    d.Reset(50);
    Collected c;
    for (size_t pos = 0; pos < wire.size(); pos += piece)
      IcyFeed(d, reinterpret_cast<const uint8_t*>(wire.data() + pos), std::min(piece, wire.size() - pos), OnAudio,
              OnMeta, &c);
    ASSERT_EQ(c.audio, audio) << "piece " << piece;
    ASSERT_EQ(c.metas.size(), 2u) << "piece " << piece;
    EXPECT_EQ(c.metas[0], "StreamTitle='Guns N'' Roses - Song';");
    EXPECT_EQ(c.metas[1], "StreamTitle='B';StreamUrl='x';");
  }
}

// Catches a read past the end of a full 4080-byte block, which carries no NUL.
TEST(IcyDemuxer, FullLengthBlockIsTerminated) {
  const std::string text(4080, 'x');
  std::string wire = std::string(10, 'A') + char(255) + text + std::string(10, 'B');
  IcyDemux d;
  d.Reset(10);
  Collected c;
  IcyFeed(d, reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), OnAudio, OnMeta, &c);
  ASSERT_EQ(c.metas.size(), 1u);
  EXPECT_EQ(c.metas[0].size(), 4080u);
  EXPECT_EQ(c.audio, std::string(10, 'A') + std::string(10, 'B'));
}

// Catches a demuxer that swallows audio when the server sends no metadata.
TEST(IcyDemuxer, WithoutMetaintEverythingIsAudio) {
  IcyDemux d;
  d.Reset(0);
  Collected c;
  const std::string wire = "\x05StreamTitle='x';";
  IcyFeed(d, reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), OnAudio, OnMeta, &c);
  EXPECT_EQ(c.audio, wire);
  EXPECT_TRUE(c.metas.empty());
}
