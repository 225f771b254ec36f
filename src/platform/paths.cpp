// Path texts that both builds cut the same way; which characters separate folders and
// what counts as absolute are each build's own (folders.cpp, win/folders.cpp).
#include "platform/platform.h"

std::string FolderOfPath(const std::string& path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(path[i - 1])) return path.substr(0, i);
  }
  return std::string();
}
