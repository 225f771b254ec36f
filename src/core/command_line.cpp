// What the command line answers by itself: the usage and the version. Both are printed
// before the runtime starts, so neither opens a window nor touches the per-user folder.
#include <cstdio>
#include <cstring>

#include "core/core.h"

namespace {

constexpr const char* kUsage =
    "Usage: corvale-player [URL]\n"
    "Plays the station's streams, or the stream or playlist at URL (http, https or a\n"
    "local file: M3U, M3U8, PLS, XSPF, VCLT, JSPF) in their place.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this text and exit\n"
    "  -V, --version  show the version and exit\n"
    "\n"
    "Environment:\n"
    "  CORVALE_AUDIO_OUTPUT  the sound output: pulse, pulse:SERVER, alsa, alsa:DEVICE,\n"
    "                        null, or file:PATH (float WAV when PATH ends in .wav);\n"
    "                        without it the sound server when one answers, else ALSA\n"
    "  CORVALE_DIALOGS       \"stderr\": message boxes are written to standard error and\n"
    "                        answered without showing (CORVALE_DIALOG_ANSWER Yes/No,\n"
    "                        CORVALE_DIALOG_FILE for a save dialog)\n"
    "  CORVALE_OPENER        the program that opens web pages instead of xdg-open\n"
    "  SSL_CERT_FILE         an extra certificate authority file for HTTPS\n"
    "  XDG_CONFIG_HOME       where the settings folder is (default ~/.config)\n";

}  // namespace

int AnswerCommandLine(int argc, char** argv, std::FILE* out) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i] ? argv[i] : "";
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      std::fputs(kUsage, out);
      return 0;
    }
    if (std::strcmp(a, "--version") == 0 || std::strcmp(a, "-V") == 0) {
      BuildVersionStrings();
      std::fprintf(out, "%s %s\n", kProgramName, gApp.versionLong.c_str());
      return 0;
    }
  }
  return -1;
}
