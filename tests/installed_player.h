// The player's executable installed in a scratch folder as a user has it, and the
// environment it is started with there.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_files.h"

#ifdef PLAYER_BINARY
// Installs under `root`: a copy of the program in "app/" beside the built data files,
// with `own` data files (name -> text) in their place, and a per-user folder under
// "config/" whose settings have `player` as their "player" section and show the debug log,
// which it writes to "logs/". Started with PlayerEnvironment, it keeps everything under
// `root`.
inline void InstallPlayer(const std::string& root, const std::map<std::string, std::string>& own,
                          const std::string& player = "{\"versioncheck\": 0, \"trayicon\": 0}") {
  namespace fs = std::filesystem;
  fs::create_directories(root + "app/data");
  fs::copy_file(PLAYER_BINARY, root + "app/corvale-player");
  fs::permissions(root + "app/corvale-player", fs::perms::owner_all);
  for (const auto& e : fs::directory_iterator(fs::path(PLAYER_BINARY).parent_path() / "data"))
    if (!own.count(e.path().filename().string()))
      fs::create_symlink(e.path(), root + "app/data/" + e.path().filename().string());
  for (const auto& [name, text] : own) testfiles::WriteFile(root + "app/data/" + name, text);
  const std::string user = root + "config/{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}/";
  fs::create_directories(user);
  fs::create_directories(root + "logs");
  fs::create_directories(root + "run");
  fs::permissions(root + "run", fs::perms::owner_all);
  testfiles::WriteFile(user + "settings.json",
                       "{\"program\": {\"id\": \"{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}\", \"version\": \"5.4\"}, "
                       "\"player\": " + player + ", \"debug\": {\"show\": 1, \"savepath\": \"" + root + "logs/\"}}");
}
#endif

// A station.json of one station whose stream information is at `info`.
inline std::string OneStationFile(const std::string& info) {
  return "{\"stationlist\": [{\"name\": \"Test\", \"id\": \"test\", \"refresh\": 3600, \"website\": "
         "\"http://127.0.0.1/\", \"info\": [\"" + info + "\"]}]}";
}

// The environment of an installed player: headless, boxes on standard error, sound to
// `output`, its folders under `root`, and the sanitizers' options of the test.
inline std::vector<std::string> PlayerEnvironment(const std::string& root, const std::string& output) {
  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen",
                                  "CORVALE_DIALOGS=stderr",
                                  "CORVALE_AUDIO_OUTPUT=" + output,
                                  "XDG_CONFIG_HOME=" + root + "config",
                                  "XDG_RUNTIME_DIR=" + root + "run",
                                  "HOME=" + root,
                                  "PATH=/usr/bin:/bin"};
  for (const char* pass : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = std::getenv(pass)) env.push_back(std::string(pass) + "=" + v);
  return env;
}
