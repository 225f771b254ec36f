// Fuzz target: the audio library's ICY metadata demultiplexer. The first two bytes give
// the metadata interval (1..65536), the next two the seed of the cut pattern, the rest is
// the stream as the server sends it. The demultiplexer is fed the stream once whole and
// once cut into pieces of 1..64 bytes; both runs must give exactly what a plain reading
// of the format gives: every audio byte in order, and the text of every non-empty
// metadata block up to its first NUL. The "icy-metaint" value parser never accepts a
// value outside 1..kIcyMaxMetaint.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "icy.h"

namespace {

struct Output {
  std::string audio;
  std::vector<std::string> meta;
};

void OnAudio(void* context, const uint8_t* data, size_t length) {
  if (length == 0) std::abort();  // the demultiplexer never reports empty audio
  static_cast<Output*>(context)->audio.append(reinterpret_cast<const char*>(data), length);
}

void OnMeta(void* context, const std::string& text) {
  if (text.empty() || text.find('\0') != std::string::npos) std::abort();
  static_cast<Output*>(context)->meta.push_back(text);
}

// The format read plainly: metaint audio bytes, a length byte L, L x 16 bytes of text.
Output Reference(const uint8_t* data, size_t size, uint32_t metaint) {
  Output out;
  size_t pos = 0;
  while (pos < size) {
    size_t take = std::min<size_t>(metaint, size - pos);
    out.audio.append(reinterpret_cast<const char*>(data + pos), take);
    pos += take;
    if (take < metaint || pos >= size) break;
    size_t length = size_t(data[pos++]) * 16;
    if (pos + length > size) break;  // a block cut off by the end of the stream is not reported
    std::string block(reinterpret_cast<const char*>(data + pos), length);
    pos += length;
    size_t nul = block.find('\0');
    if (nul != std::string::npos) block.resize(nul);
    if (!block.empty()) out.meta.push_back(block);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The header value parser on the whole input as text.
  uint32_t parsed = audiolib::ParseIcyMetaint(std::string_view(reinterpret_cast<const char*>(data), size));
  if (parsed > audiolib::kIcyMaxMetaint) std::abort();
  if (size < 4) return 0;
  const uint32_t metaint = (uint32_t(data[0]) | uint32_t(data[1]) << 8) + 1;
  uint32_t seed = uint32_t(data[2]) | uint32_t(data[3]) << 8;
  data += 4;
  size -= 4;

  const Output expected = Reference(data, size, metaint);

  Output whole;
  audiolib::IcyDemux a;
  a.Reset(metaint);
  audiolib::IcyFeed(a, data, size, OnAudio, OnMeta, &whole);

  Output pieces;
  audiolib::IcyDemux b;
  b.Reset(metaint);
  for (size_t pos = 0; pos < size;) {
    seed = seed * 1103515245u + 12345u;
    size_t take = std::min<size_t>(1 + (seed >> 16) % 64, size - pos);
    audiolib::IcyFeed(b, data + pos, take, OnAudio, OnMeta, &pieces);
    pos += take;
  }

  if (whole.audio != expected.audio || whole.meta != expected.meta) std::abort();
  if (pieces.audio != expected.audio || pieces.meta != expected.meta) std::abort();
  return 0;
}
