// A player environment for the data tests: the player's records at rest (PlayerEnv),
// scratch program data and per-user folders in gApp, debug logging on and the memory log
// cleared, so a test can read the log lines it caused.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/base.h"
#include "data/data.h"
#include "data_test_util.h"
#include "player_env.h"

namespace datatest {

// LoadProgramData as one number: -1 after a fatal fault (its text in *fault), else 1
// when "settings.json" was loaded and accepted, 0 when defaults are in use.
inline int LoadResult(std::string* fault = nullptr) {
  int accepted = 0;
  std::string text = LoadProgramData(&accepted);
  if (fault) *fault = text;
  return text.empty() ? accepted : -1;
}

class DataEnv : public PlayerEnv {
 protected:
  ScratchFolder root;
  std::string dataFolder;
  std::string userFolder;

  void SetUp() override {
    dataFolder = root.path + "bin/data/";
    userFolder = root.path + "config/" + kProgramId + "/";
    std::filesystem::create_directories(FsPath(dataFolder));
    gApp.dataFolder = dataFolder;
    gApp.userFolder = userFolder;
    gApp.debugLogging = 1;
    ClearMemoryLog();
  }
  void TearDown() override { ClearMemoryLog(); }

  void InstallData(const std::string& fixture, const std::string& as) {
    std::filesystem::copy_file(FixturePath(fixture), FsPath(dataFolder + as),
                               std::filesystem::copy_options::overwrite_existing);
  }
  void InstallDataText(const std::string& name, const std::string& text) { WriteFile(dataFolder + name, text); }
  void InstallDefaults() {
    InstallData("version.json", "version.json");
    InstallData("station.json", "station.json");
  }
  void MakeUserFolder() { std::filesystem::create_directories(FsPath(userFolder)); }
  void InstallUser(const std::string& fixture, const std::string& as) {
    MakeUserFolder();
    std::filesystem::copy_file(FixturePath(fixture), FsPath(userFolder + as),
                               std::filesystem::copy_options::overwrite_existing);
  }

  // The log lines written since SetUp (at most the memory log's last ten), without
  // their "hh:mm:ss " time prefix.
  static std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    for (const std::string& l : MemoryLogLines()) lines.push_back(l.size() >= 9 ? l.substr(9) : l);
    return lines;
  }
  static bool Logged(const std::string& line) {
    for (const std::string& l : LogLines())
      if (l == line) return true;
    return false;
  }
};

}  // namespace datatest
