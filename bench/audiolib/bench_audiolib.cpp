// bench_audiolib URL SECONDS [DATA_DIR]
// Loads the audio library from the data folder as the player does, plays URL for
// SECONDS on the paced null output (or CORVALE_AUDIO_OUTPUT when set) and prints the
// process's CPU seconds (user + system), CPU per second of audio, peak resident memory,
// titles seen and the final connection state. Polls the level 40 times a second like
// the player's VU meter.
#include <dlfcn.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bass.h"

namespace {

std::atomic<int> gTitles{0};

void OnMeta(HSYNC, DWORD, DWORD, void*) { ++gTitles; }

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

template <typename T>
T Get(void* lib, const char* name) {
  void* p = dlsym(lib, name);
  if (!p) {
    std::fprintf(stderr, "missing %s\n", name);
    std::exit(2);
  }
  return reinterpret_cast<T>(p);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s URL SECONDS [DATA_DIR]\n", argv[0]);
    return 2;
  }
  const std::string url = argv[1];
  const double seconds = std::atof(argv[2]);
  const std::string dir = argc > 3 ? std::string(argv[3]) + "/" : BENCH_DATA_DIR;
  setenv("CORVALE_AUDIO_OUTPUT", "null", 0);

  void* lib = dlopen((dir + "libbass.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "cannot load %slibbass.so: %s\n", dir.c_str(), dlerror());
    return 1;
  }
  auto SetConfig = Get<decltype(&BASS_SetConfig)>(lib, "BASS_SetConfig");
  auto Init = Get<decltype(&BASS_Init)>(lib, "BASS_Init");
  auto Free = Get<decltype(&BASS_Free)>(lib, "BASS_Free");
  auto PluginLoad = Get<decltype(&BASS_PluginLoad)>(lib, "BASS_PluginLoad");
  auto CreateURL = Get<decltype(&BASS_StreamCreateURL)>(lib, "BASS_StreamCreateURL");
  auto StreamFree = Get<decltype(&BASS_StreamFree)>(lib, "BASS_StreamFree");
  auto ErrorGetCode = Get<decltype(&BASS_ErrorGetCode)>(lib, "BASS_ErrorGetCode");
  auto Play = Get<decltype(&BASS_ChannelPlay)>(lib, "BASS_ChannelPlay");
  auto SetSync = Get<decltype(&BASS_ChannelSetSync)>(lib, "BASS_ChannelSetSync");
  auto GetLevelEx = Get<decltype(&BASS_ChannelGetLevelEx)>(lib, "BASS_ChannelGetLevelEx");
  auto GetInfo = Get<decltype(&BASS_ChannelGetInfo)>(lib, "BASS_ChannelGetInfo");
  auto IsActive = Get<decltype(&BASS_ChannelIsActive)>(lib, "BASS_ChannelIsActive");
  auto FilePos = Get<decltype(&BASS_StreamGetFilePosition)>(lib, "BASS_StreamGetFilePosition");

  // The player's configuration.
  SetConfig(BASS_CONFIG_BUFFER, 500);
  SetConfig(BASS_CONFIG_NET_PREBUF, 0);
  SetConfig(BASS_CONFIG_NET_BUFFER, 1000);
  SetConfig(BASS_CONFIG_NET_READTIMEOUT, 1000);
  SetConfig(BASS_CONFIG_NET_TIMEOUT, 5000);
  SetConfig(BASS_CONFIG_FLOATDSP, 1);
  if (!Init(-1, 48000, 0, nullptr, nullptr)) {
    std::fprintf(stderr, "BASS_Init failed: %d\n", ErrorGetCode());
    return 1;
  }
  PluginLoad((dir + "libbass_aac.so").c_str(), BASS_UNICODE);
  PluginLoad((dir + "libbassopus.so").c_str(), BASS_UNICODE);

  const double cpuStart = CpuSeconds();
  const HSTREAM h = CreateURL(url.c_str(), 0, 0x80980100, nullptr, nullptr);
  if (!h) {
    std::fprintf(stderr, "connect failed: %d\n", ErrorGetCode());
    return 1;
  }
  SetSync(h, BASS_SYNC_META | BASS_SYNC_MIXTIME, 0, OnMeta, nullptr);
  BASS_CHANNELINFO info{};
  GetInfo(h, &info);
  Play(h, FALSE);
  const double cpuPlaying = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  float peak = 0;
  const bool verbose = std::getenv("BENCH_VERBOSE") != nullptr;  // a status line each second
  int ticks = 0;
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
    float levels[2];
    if (GetLevelEx(h, levels, 0.025f, BASS_LEVEL_STEREO)) peak = std::max(peak, std::max(levels[0], levels[1]));
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (verbose && ++ticks % 40 == 0)
      std::fprintf(stderr, "t=%.0f active=%u connected=%llu buffer=%llu download=%llu level=%.3f\n",
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), IsActive(h),
                   (unsigned long long)FilePos(h, BASS_FILEPOS_CONNECTED),
                   (unsigned long long)FilePos(h, BASS_FILEPOS_BUFFER),
                   (unsigned long long)FilePos(h, BASS_FILEPOS_DOWNLOAD), levels[0]);
  }
  const double cpuEnd = CpuSeconds();
  const DWORD active = IsActive(h);
  const QWORD connected = FilePos(h, BASS_FILEPOS_CONNECTED);
  StreamFree(h);
  Free();
  std::printf("url %s\n", url.c_str());
  std::printf("format ctype=0x%x rate=%u chans=%u\n", info.ctype, info.freq, info.chans);
  std::printf("played_seconds %.1f\n", seconds);
  std::printf("cpu_seconds_connect %.3f\n", cpuPlaying - cpuStart);
  std::printf("cpu_seconds_playing %.3f\n", cpuEnd - cpuPlaying);
  std::printf("cpu_percent_of_one_core %.3f\n", 100.0 * (cpuEnd - cpuPlaying) / seconds);
  std::printf("peak_rss_kb %ld\n", PeakRssKb());
  std::printf("titles %d\n", gTitles.load());
  std::printf("peak_level %.3f\n", peak);
  std::printf("final_active %u connected %llu\n", active, (unsigned long long)connected);
  return 0;
}
