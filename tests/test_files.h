// Whole files read and written by the tests, by their UTF-8 paths on every system.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testfiles {

// The file-system path of a UTF-8 path (on Windows a narrow path is read in the ANSI
// code page).
inline std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The file's bytes; "" when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Replaces the file with `bytes`.
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

}  // namespace testfiles
