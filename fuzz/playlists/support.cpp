// Link-time stand-ins for the fuzz targets: the parsers log through the core and may
// look at the runtime and the audio library; none of that is under test here, so these
// few symbols are provided without the rest of the player.
#include <cstdio>
#include <cstdlib>

#include "core/core.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

AppState gApp;
BassApi gBass;

// Lines are dropped unless FUZZ_LOG is set, so a long run is not slowed by output.
void Log(std::string_view message) {
  static const bool show = std::getenv("FUZZ_LOG") != nullptr;
  if (show) std::fprintf(stderr, "%.*s\n", int(message.size()), message.data());
}
int WriteLog(const std::string&) { return 1; }
int ThreadStopRequested() { return 0; }
int IsWindow(int) { return 0; }
void PostEvent(int, int, int, int, int) {}
int CreateThread(ThreadProc, int) { return 0; }
int IsThread(int) { return 0; }
int64_t SetAudioOutput(int) { return 0; }
std::string AudioErrorText(int) { return ""; }
