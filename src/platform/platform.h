// Operating-system services of the Linux build: folders, clocks and dates, the
// single-instance lock, HTTP, hashes and processes. Only this layer calls POSIX,
// libcurl and OpenSSL directly. No Qt here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// --- Clocks and dates --------------------------------------------------------
// Milliseconds of CLOCK_MONOTONIC as an unsigned 32-bit value (wraps like timeGetTime).
uint32_t TimeGetTime();
// Date values: whole seconds since 1970-01-01 00:00:00 counted on the local wall clock.
int64_t DateNow();
// Local wall clock minus UTC in seconds (tm_gmtoff of now); add to a UTC value to get local.
int64_t TimeZoneBias();
// Replaces %yyyy %yy %mm %dd %hh %ii %ss (any letter case) by the date's fields, at
// least two digits, zero-padded; every other character is copied unchanged.
std::string FormatDate(std::string_view mask, int64_t date);
// Reads a text written with the same mask back into a date value; 0 when it does not fit.
int64_t ParseDate(std::string_view mask, std::string_view text);
// Builds a date value from its fields (no time-zone conversion).
int64_t MakeDate(int year, int month, int day, int hour, int minute, int second);

// --- Folders -------------------------------------------------------------------
// Known folders, each ending with "/": kind 4 per-user = $XDG_CONFIG_HOME (or ~/.config),
// 5 = Documents, 9 = Downloads, 8 = $XDG_DATA_HOME ... ; "" for unknown kinds.
std::string GetKnownFolder(int kind, int allUsers);
bool FolderExists(const std::string& path);
bool FileExists(const std::string& path);
// Folder of the running executable, ending with "/".
std::string ExecutableFolder();
