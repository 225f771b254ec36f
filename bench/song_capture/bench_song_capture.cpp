// bench_song_capture MP3_FILE HOURS TITLE_SECONDS FOLDER
// Hands HOURS of a 128 kbit/s MP3 stream (the file, repeated) to the song capture in
// 1460-byte pieces, as the download callback gets them, with a title change every
// TITLE_SECONDS and the listener one title behind the download; "Record Every Song" saves
// each title to FOLDER. Prints the CPU seconds of the capture and of the saving per hour
// of audio, the bytes the ring kept at most, the peak resident memory and the files
// written. A second pass without any title change shows the ring's bound.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "data/data.h"
#include "playback/playback.h"

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

std::string Meta(int n) { return "StreamTitle='Bench Artist - Title " + std::to_string(n) + "';StreamUrl='';"; }

// Feeds `bytes` of the file (repeated) to the capture, announcing a title every
// `titleBytes` (0: never).
void Feed(const std::string& mp3, uint64_t bytes, uint64_t titleBytes, void* user, int* titles) {
  const size_t piece = 1460;
  uint64_t sent = 0, nextTitle = titleBytes;
  size_t at = 0;
  while (sent < bytes) {
    const size_t n = std::min<size_t>(piece, mp3.size() - at);
    SongCaptureDownload(mp3.data() + at, DWORD(n), user);
    at = (at + n) % mp3.size();
    sent += n;
    if (titleBytes && sent >= nextTitle) {
      nextTitle += titleBytes;
      SongCaptureTitle(Meta(++*titles), 0);
      // The listener hears a title while the next one downloads.
      SongCaptureHeard(Meta(*titles - 1));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s MP3_FILE HOURS TITLE_SECONDS FOLDER\n", argv[0]);
    return 2;
  }
  std::ifstream f(argv[1], std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  const std::string mp3 = s.str();
  if (mp3.size() < 4096) {
    std::fprintf(stderr, "no MP3 in %s\n", argv[1]);
    return 2;
  }
  const double hours = std::atof(argv[2]), titleSeconds = std::atof(argv[3]);
  const std::string folder = std::string(argv[4]) + "/";
  const double bytesPerSecond = 128000.0 / 8;
  gSettings.SetRecordSavePath(folder);

  // Recording: every title saved.
  SetRecordAll(1);
  void* user = reinterpret_cast<void*>(uintptr_t(SongCaptureBegin()));
  SongCaptureConnected(BASS_CTYPE_STREAM_MP3, 1);
  int titles = 0;
  SongCaptureTitle(Meta(0), 1);
  const double cpu0 = CpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  Feed(mp3, uint64_t(hours * 3600 * bytesPerSecond), uint64_t(titleSeconds * bytesPerSecond), user, &titles);
  while (SongSavesPending()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const double cpu1 = CpuSeconds();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  const SongCaptureFigures rec = GetSongCaptureFigures();
  size_t files = 0;
  uint64_t fileBytes = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    ++files;
    fileBytes += e.file_size();
  }
  std::printf("recording: %.2f h of audio, %d titles of %.0f s, %zu files (%.1f MiB)\n", hours, titles, titleSeconds,
              files, double(fileBytes) / 1048576);
  std::printf("recording: CPU %.3f s (%.4f s per hour of audio, %.4f %% of one core at real time), wall %.2f s\n",
              cpu1 - cpu0, (cpu1 - cpu0) / hours, 100.0 * (cpu1 - cpu0) / (hours * 3600), wall);
  std::printf("recording: ring kept at most %.2f MiB (%.0f s of audio)\n", double(rec.peakBytes) / 1048576,
              double(rec.peakBytes) / bytesPerSecond);

  // The bound: a stream that never changes its title.
  SetRecordAll(0);
  user = reinterpret_cast<void*>(uintptr_t(SongCaptureBegin()));
  SongCaptureConnected(BASS_CTYPE_STREAM_MP3, 1);
  SongCaptureTitle(Meta(1000), 1);
  const double cpu2 = CpuSeconds();
  Feed(mp3, uint64_t(kSongRingBytes) * 2, 0, user, &titles);
  const double cpu3 = CpuSeconds();
  const SongCaptureFigures bound = GetSongCaptureFigures();
  std::printf("one endless title: %.0f MiB received, %.2f MiB kept (bound %.0f MiB), CPU %.3f s\n",
              double(bound.receivedBytes) / 1048576, double(bound.keptBytes) / 1048576,
              double(kSongRingBytes) / 1048576, cpu3 - cpu2);
  std::printf("peak resident memory %.1f MiB\n", double(PeakRssKb()) / 1024);
  SongCaptureEnd();
  return 0;
}
