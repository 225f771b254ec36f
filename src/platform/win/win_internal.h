// Helpers the Windows files of the platform layer share: UTF-8 <-> UTF-16 for every
// Win32 call and the command-line quoting of process starts. Not part of the layer's
// surface (platform.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace winplat {

// UTF-8 to UTF-16 and back; invalid sequences become U+FFFD.
std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);

// One argument quoted so that CommandLineToArgvW and the C runtime read it back as is:
// quotes around spaces, tabs and empty text; backslashes doubled only where they come
// before a quote (inside or the closing one); quotes escaped.
std::wstring QuoteArgument(std::wstring_view arg);
// The full command line: the program quoted as argv[0] is read (no escapes there),
// then each argument quoted.
std::wstring BuildCommandLine(const std::string& program, const std::vector<std::string>& args);

}  // namespace winplat
