// ICY in-band metadata: the server interleaves a metadata block after every
// "icy-metaint" bytes of audio. This demuxer splits the two, whatever the receive
// callbacks cut the data into (down to one byte at a time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace audiolib {

// Largest metaint accepted; anything outside 1..kIcyMaxMetaint means "no metadata".
constexpr uint32_t kIcyMaxMetaint = 1u << 20;

// Parses an "icy-metaint" header value. Returns 0 (no metadata) for empty, signed,
// non-numeric, zero or out-of-range values.
uint32_t ParseIcyMetaint(std::string_view value);

struct IcyDemux {
  uint32_t metaint = 0;     // 0: the data is all audio
  uint32_t untilMeta = 0;   // audio bytes left before the next length byte
  bool inMeta = false;      // reading a block's text
  bool wantLength = false;  // the next byte is a block's length byte
  uint32_t metaLength = 0;  // bytes of the current block
  std::string block;        // the block received so far

  void Reset(uint32_t interval) {
    metaint = interval;
    untilMeta = interval;
    inMeta = false;
    wantLength = false;
    metaLength = 0;
    block.clear();
  }
};

using IcyAudioFn = void (*)(void* context, const uint8_t* data, size_t length);
// Called with the text of a block up to its first NUL; never for an empty block.
using IcyMetaFn = void (*)(void* context, const std::string& text);

void IcyFeed(IcyDemux& demux, const uint8_t* data, size_t length, IcyAudioFn audio, IcyMetaFn meta, void* context);

}  // namespace audiolib
