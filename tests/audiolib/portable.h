// The few system calls of the audio library's tests that differ between Linux and
// Windows: the environment and the process id. Paths in the tests are UTF-8; FsPath
// makes a std::filesystem path of one on either system.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "test_env.h"
#include "test_files.h"

inline int ProcessId() { return int(getpid()); }

using testfiles::FsPath;

// A file name in the system's temporary folder, as UTF-8.
inline std::string TempFile(const std::string& name) {
  const std::u8string path = (std::filesystem::temp_directory_path() / FsPath(name)).u8string();
  return std::string(path.begin(), path.end());
}

// The player's data folder, ending in '/': $CORVALE_DATA_DIR, else the build's.
inline std::string DataDir() {
  const char* env = std::getenv("CORVALE_DATA_DIR");
  std::string dir = env && *env ? env : TEST_DATA_DIR;
  if (dir.back() != '/') dir += '/';
  return dir;
}
