// Shared set-up of the updater tests: the runtime on the offscreen platform with dialogs
// answered from the environment, a scratch folder, stderr capture of the dialog lines,
// and the run of one whole check.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "player_env.h"
#include "runtime/runtime.h"
#include "station_sim_fixture.h"
#include "test_files.h"
#include "update/update.h"

namespace fs = std::filesystem;

using testfiles::ReadFile;
using testfiles::WriteFile;

// Waits up to limitMs for a file to appear with content.
inline bool WaitForFile(const std::string& path, int limitMs = 10000) {
  for (int waited = 0; waited < limitMs; waited += 20) {
    if (fs::exists(path) && fs::file_size(path) > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

inline std::string PatchBeaconPath() {
#ifdef PATCH_BEACON_PATH
  return PATCH_BEACON_PATH;
#else
  return "";
#endif
}

// The dialog line of a box as the stderr mode writes it.
inline std::string Line(const std::string& caption, const std::string& text) {
  return DialogLine(caption, text) + "\n";
}

inline std::vector<std::string> DialogLines(const std::string& err) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("dialog: ", 0) == 0) lines.push_back(line + "\n");
  return lines;
}

class UpdateTest : public PlayerEnv {
 protected:
  std::string dir;  // scratch folder, removed afterwards

  void SetUp() override {
    static char arg0[] = "test_update";
    static char* argv[] = {arg0, nullptr};
    setenv("CORVALE_DIALOGS", "stderr", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ASSERT_EQ(RuntimeInit(1, argv), 1);
    char tmpl[] = "/tmp/corvale-update-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = std::string(tmpl) + "/";
    gApp.version = "5.4";
    gApp.userAgent = "Corvale Player/5.4";
    gApp.dataFolder = dir + "data/";
    fs::create_directories(gApp.dataFolder);
    WriteFile(gApp.dataFolder + "version.json", "{\"versionlist\": [{\"url\": [\"http://127.0.0.1:1/v.json\"]}]}\n");
    gStation.website = "http://127.0.0.1:1/site/";
    playerenv::Renew(gDownload);
    for (const char* v : {"CORVALE_DIALOG_ANSWER", "CORVALE_DIALOG_FILE", "FLATPAK_ID", "SNAP", "CORVALE_OPENER",
                          "CORVALE_INSTALLER_MARK", "PATCHBEACON_HANG"})
      unsetenv(v);
    // The private copies of verified installers stay in the scratch folder.
    fs::create_directories(dir + "run");
    fs::permissions(dir + "run", fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", (dir + "run").c_str(), 1);
    setenv("CORVALE_REGISTRY_SYSTEM", (dir + "registry").c_str(), 1);
    setenv("PATCHBEACON_LIST", (dir + "registrations").c_str(), 1);
    setenv("PATCHBEACON_LOG", (dir + "tool.log").c_str(), 1);
    SetUpdateLimits(60000, 3600000, 30000);
  }

  void TearDown() override {
    WaitForWorkers(20000);
    if (IsWindow(WinDownloader)) DownloaderWindow(0, 0);
    if (IsWindow(WinMain)) CloseWindow(WinMain);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // Runs one check the way the starters do and waits for it and its notices; returns
  // what it wrote to standard error.
  std::string RunCheck(int manual) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(StartVersionCheck(manual), 1);
    int thread = gApp.versionCheckThread.load();
    if (thread) WaitThread(thread, 60000);
    WaitForWorkers(20000);
    return testing::internal::GetCapturedStderr();
  }
};
