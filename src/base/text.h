// Small text routines shared by every subsystem: trimming, ASCII case, leading numbers,
// UTF-8 checks, decoding and encoding, and Windows-1252 text. One rule, one routine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

// Spaces (and only spaces) at both ends removed: the command line's rule.
std::string TrimSpaces(std::string_view text);
// Spaces and tabs at both ends removed: the rule for headers, playlists and titles.
std::string TrimBlanks(std::string_view text);
std::string LowerAscii(std::string_view text);
int StartsWithNoCase(std::string_view text, std::string_view prefix);
// Leading integer as the player reads numbers: blanks skipped, sign, digits; 0 when none;
// saturated to the 64-bit range. "4" -> 4, "12abc" -> 12, "x" -> 0.
int64_t LeadingInteger(std::string_view text);

// The code point of the strict UTF-8 sequence at bytes[pos] (no overlong forms, no
// surrogates, nothing above U+10FFFF); its length goes to *length. Returns -1 (and
// *length 1) for a byte that starts no valid sequence.
int32_t DecodeUtf8(std::string_view bytes, size_t pos, size_t* length);
// 1 when every sequence of bytes is strict UTF-8.
int IsValidUtf8(std::string_view bytes);
// 1 for a code point that shows nothing or changes how the text around it reads: controls
// (C0, C1), the soft hyphen, line and paragraph separators, and the format characters
// (directional marks, embeddings and isolates, zero-width and joining characters, the
// byte-order mark, tags).
int IsInvisibleCodePoint(uint32_t codePoint);
// Appends the UTF-8 form of a code point (up to U+10FFFF).
void AppendUtf8(std::string& out, uint32_t codePoint);
// Windows-1252 bytes to UTF-8 (the five unassigned bytes map to their Latin-1 code points).
std::string Cp1252ToUtf8(std::string_view bytes);

// The player's paths are UTF-8, but Windows' C and C++ libraries read a narrow path in
// the ANSI code page: paths reach std::filesystem, the file streams and fopen through
// these two, so a folder named with any letters works.
std::filesystem::path Utf8Path(const std::string& path);
std::FILE* OpenFileUtf8(const std::string& path, const char* mode);
