// Fuzz target: the playlist parsers (M3U/M3U8, PLS, XSPF, VCLT, JSPF) and the line
// splitter. The first byte picks the format; the rest is the playlist. Whatever the
// input, only http, https and ftp entries may come out, numbered from 1.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "playback/playback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const char* kTypes[] = {"m3u8", "pls", "xspf", "vclt", "jspf"};
  const char* type = kTypes[data[0] % 5];
  const char* buffer = reinterpret_cast<const char*>(data + 1);
  size_t length = size - 1;

  std::vector<StreamEntry> list;
  int added = ParsePlaylistBuffer(type, buffer, length, list);
  if (added != int(list.size())) std::abort();
  for (const StreamEntry& e : list) {
    if (e.url.empty() || !IsRemoteUrl(e.url)) std::abort();  // never a local file or other scheme
    if (e.id.empty() || e.id[0] == '0' || e.id.find_first_not_of("0123456789") != std::string::npos) std::abort();
    if (!e.codec.empty() || e.bitrate != 0) std::abort();
    if (!IsValidUtf8(e.url)) std::abort();
  }

  std::vector<std::string> lines;
  SplitLines(lines, buffer, length, kTextUtf8);
  for (const std::string& l : lines)
    if (l.empty() || l.find_first_of("\r\n") != std::string::npos || !IsValidUtf8(l)) std::abort();
  return 0;
}
