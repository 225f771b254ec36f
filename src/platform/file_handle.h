// Raw write handles under the layer's portable files (buffered files, downloads into
// files): a descriptor on Linux, a Win32 handle on Windows. Not part of platform.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform_detail {

using FileHandle = intptr_t;
constexpr FileHandle kNoFile = -1;

// Opens for writing, created when missing: truncated, or with every write appended.
// Others may read the file while it is open.
FileHandle OpenWriteFile(const std::string& path, bool append);
// Removes whatever is at the name (a link itself, never its target) and creates the file
// anew, refusing anything that appears there in between.
FileHandle CreateFreshFile(const std::string& path);
bool WriteAllToFile(FileHandle file, const char* data, size_t size);
bool CloseFile(FileHandle file);

}  // namespace platform_detail
