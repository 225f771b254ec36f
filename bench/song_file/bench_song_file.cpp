// Making a saved song's file from the largest title the ring keeps: CPU time per call
// and the peak memory of the process, for MP3, ADTS and Ogg Opus.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "playback/playback.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Whole files laid end to end up to about `size` bytes: one long stream of whole frames.
std::string Tile(const std::string& file, size_t size) {
  std::string out;
  out.reserve(size + file.size());
  while (out.size() + file.size() <= size) out += file;
  return out;
}

void Measure(const char* name, const char* codec, const std::string& stream, int rounds) {
  SongTags tags{"Artist", "Title", "Album", "Station", "2026-12-07"};
  std::string file, error;
  std::clock_t start = std::clock();
  for (int r = 0; r < rounds; ++r) {
    if (!BuildSongFile(codec, std::string_view(stream).substr(0, 256 << 10), stream, tags, 1, &file, &error)) {
      std::printf("%s: failed: %s\n", name, error.c_str());
      return;
    }
  }
  double seconds = double(std::clock() - start) / CLOCKS_PER_SEC / rounds;
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%-10s %6.1f MiB in, %6.1f MiB out: %7.1f ms CPU per file, %6.0f MiB/s; peak RSS %ld MiB\n", name,
              stream.size() / 1048576.0, file.size() / 1048576.0, seconds * 1000, stream.size() / 1048576.0 / seconds,
              usage.ru_maxrss / 1024);
}

}  // namespace

int main() {
  const std::string dir = BENCH_MEDIA_DIR;
  if (std::system(("sh '" MAKE_MEDIA_SCRIPT "' '" + dir + "' >/dev/null").c_str()) != 0) return 1;
  // A long Opus title at a high rate: about 17 MiB in one logical stream.
  const std::string opus = dir + "long.opus";
  if (ReadFile(opus).empty() &&
      std::system(("ffmpeg -nostdin -v error -y -f lavfi -i 'anoisesrc=d=270:c=pink:r=48000' -ac 2 -c:a libopus "
                   "-b:a 510k -f ogg '" +
                   opus + "'")
                      .c_str()) != 0)
    return 1;
  const size_t ring = size_t(64) << 20;
  Measure("MP3", "mp3", Tile(ReadFile(dir + "tone.mp3"), ring), 5);
  Measure("ADTS", "aac", Tile(ReadFile(dir + "tone.aac"), ring), 5);
  Measure("Ogg Opus", "ogg", ReadFile(opus), 5);
  // Chained Opus: 64 MiB of short logical streams, every page's checksum read.
  Measure("Ogg chain", "ogg", Tile(ReadFile(dir + "tone.opus"), ring), 5);
  return 0;
}
