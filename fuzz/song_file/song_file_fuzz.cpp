// Fuzz target: a saved song's file from any bytes. The first byte picks the codec (mp3,
// aac, ogg), the next two and two more give where the connection's first bytes end and
// where the title's bytes begin in the rest (they may overlap, as they do in a stream).
// Whatever comes in: success gives a file and no error, failure an error and no file;
// and a file made again from a saved file alone is that file (its frames or pages are
// whole, its checksums, numbering and granules already the saved file's own).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "playback/playback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static const char* const kCodecs[] = {"mp3", "aac", "ogg"};
  const char* codec = kCodecs[data[0] % 3];
  std::string_view rest(reinterpret_cast<const char*>(data + 5), size - 5);
  size_t startEnd = rest.empty() ? 0 : (size_t(data[1]) | size_t(data[2]) << 8) % (rest.size() + 1);
  size_t titleStart = rest.empty() ? 0 : (size_t(data[3]) | size_t(data[4]) << 8) % (rest.size() + 1);
  std::string file, error;
  SongTags none;
  int ok = BuildSongFile(codec, rest.substr(0, startEnd), rest.substr(titleStart), none, 1, &file, &error);
  if (ok != 0 && ok != 1) std::abort();
  if (ok ? (file.empty() || !error.empty()) : (!file.empty() || error.empty())) std::abort();
  if (!ok) return 0;
  std::string again;
  if (!BuildSongFile(codec, file, file, none, 1, &again, &error) || again != file) std::abort();
  // With tags, the same audio behind them.
  SongTags tags{"Artist", std::string(rest.substr(0, 64)), "", "Station", "2026-12-07"};
  std::string tagged;
  if (!BuildSongFile(codec, rest.substr(0, startEnd), rest.substr(titleStart), tags, 1, &tagged, &error)) std::abort();
  if (codec[0] != 'o' &&
      (tagged.size() < file.size() || tagged.compare(tagged.size() - file.size(), file.size(), file) != 0))
    std::abort();
  return 0;
}
