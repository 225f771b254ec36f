// Helpers shared by the data subsystem's tests: scratch folders and fixture files.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace datatest {

inline std::string FixturePath(const std::string& name) {
  return std::string(CORVALE_SOURCE_DIR) + "/tests/data/fixtures/" + name;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A fresh folder under the system's temporary folder, removed at the end of the test.
// path ends with "/" like every folder of the player.
struct ScratchFolder {
  std::string path;
  ScratchFolder() {
    static std::atomic<int> counter{0};
    std::filesystem::path p = std::filesystem::temp_directory_path() /
                              ("corvale-data-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    path = p.string() + "/";
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + name; }
};

}  // namespace datatest
