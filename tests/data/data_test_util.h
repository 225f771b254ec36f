// Helpers shared by the data subsystem's tests: scratch folders and fixture files.
#pragma once

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "test_files.h"

namespace datatest {

inline int ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return int(getpid());
#endif
}

inline std::string FixturePath(const std::string& name) {
  return std::string(CORVALE_SOURCE_DIR) + "/tests/data/fixtures/" + name;
}

using testfiles::FsPath;
using testfiles::ReadFile;
using testfiles::WriteFile;

// A fresh folder under the system's temporary folder, removed at the end of the test.
// path ends with "/" like every folder of the player.
struct ScratchFolder {
  std::string path;
  ScratchFolder() {
    static std::atomic<int> counter{0};
    std::filesystem::path p = std::filesystem::temp_directory_path() /
                              ("corvale-data-test-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    const std::u8string u = p.generic_u8string();
    path = std::string(u.begin(), u.end()) + "/";
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(FsPath(path), ec);
  }
  std::string operator/(const std::string& name) const { return path + name; }
};

}  // namespace datatest
