// What the command line answers by itself: the usage and the version. Both are printed
// before the runtime starts, so neither opens a window nor touches the per-user folder.
#include <cstdio>
#include <cstring>

#include <string>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"

namespace {

constexpr const char* kUsage =
    "Usage: corvale-player [URL]\n"
    "Plays the station's streams, or the stream or playlist at URL (http, https or a\n"
    "local file: M3U, M3U8, PLS, XSPF, VCLT, JSPF) in their place.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this text and exit\n"
    "  -V, --version  show the version and exit\n"
    "  --export-song-log FILE\n"
    "                 write every title of the song log to FILE (CSV when it ends in\n"
    "                 .csv, JSON when it ends in .json) and exit; the player does not\n"
    "                 start\n"
    "  --save-song    the running player saves the song it plays now as a file (in\n"
    "                 the folder of the settings' \"record\" section) and this start\n"
    "                 ends; exit status 1 when no player runs\n"
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
    "  XDG_CONFIG_HOME       where the settings folder is (default ~/.config)\n"
    "  XDG_DATA_HOME         where the song log (corvale-player/songs.sqlite3) is\n"
    "                        (default ~/.local/share)\n";

}  // namespace

int AnswerCommandLine(int argc, char** argv, std::FILE* out) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i] ? argv[i] : "";
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      std::fputs(kUsage, out);
      return 0;
    }
    if (std::strcmp(a, "--export-song-log") == 0) {
      // Read through its own connection: works beside a running player, needs no display.
      if (i + 1 >= argc || !argv[i + 1] || !*argv[i + 1]) {
        std::fprintf(stderr, "%s: --export-song-log needs a file name (.csv or .json).\n", kProgramName);
        return 2;
      }
      std::string error;
      if (!ExportSongLog(argv[i + 1], &error)) {
        std::fprintf(stderr, "%s: the song log was not exported: %s.\n", kProgramName, error.c_str());
        return 1;
      }
      return 0;
    }
    if (std::strcmp(a, "--version") == 0 || std::strcmp(a, "-V") == 0) {
      BuildVersionStrings();
      std::fprintf(out, "%s %s\n", kProgramName, gApp.versionLong.c_str());
      return 0;
    }
    if (std::strcmp(a, "--save-song") == 0) {
      // Handed over through the single-instance channel; nothing of this process starts.
      const int instance = FindInstanceWindow(kProgramId, 1);
      if (!instance || !SendInstanceRequest(instance, InstanceCommandRequest(MenuSaveSong))) {
        std::fprintf(stderr, "%s is not running: there is no song to save.\n", kProgramName);
        return 1;
      }
      return 0;
    }
  }
  return -1;
}
