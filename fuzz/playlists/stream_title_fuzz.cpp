// Fuzz target: the in-band metadata ("StreamTitle") and the ICY/HTTP header walk. Bit 0
// of the first byte says whether the server is the legacy one; the rest is the metadata
// block, then read again as a header list. The texts that come out are valid UTF-8
// without control characters, and no figure overflows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "playback/playback.h"

namespace {

void CheckText(const std::string& s) {
  if (!IsValidUtf8(s)) std::abort();
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  int legacy = data[0] & 1;
  std::string_view meta(reinterpret_cast<const char*>(data + 1), size - 1);

  NowPlaying value{"a", "t", "b"};
  int changed = ParseStreamTitleText(meta, legacy, value);
  if (changed) {
    CheckText(value.artist);
    CheckText(value.title);
    CheckText(value.album);
    // A title comes from at most 256 characters of metadata.
    if (value.artist.size() + value.title.size() + value.album.size() > 256 * 4) std::abort();
  } else if (value.artist != "a" || value.title != "t" || value.album != "b") {
    std::abort();  // an empty title leaves the previous one in place
  }

  // The same bytes as a header list, bounded by its size (no terminator assumed).
  StreamHeaders headers;
  ParseStreamHeaders(meta.data(), meta.size(), 1, headers);
  if (headers.bitrate < 0 || headers.bitrate % 1000 != 0) std::abort();
  CheckText(headers.serverName);
  CheckText(headers.showName);
  CheckText(headers.showInfo);
  return 0;
}
