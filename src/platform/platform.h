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

// --- HTTP fetch into memory ----------------------------------------------------------
// Result codes shared by the HTTP fetches (0 = success).
constexpr int kDownloadAborted = 0x20000001;         // the progress callback stopped it
constexpr int kDownloadBadProtocol = 0x20000002;     // not http:// or https://
constexpr int kDownloadNoInternet = 0x20000003;      // no session could be opened
constexpr int kDownloadOpenFailed = 0x20000004;      // cannot open the URL or file
constexpr int kDownloadStatusFailed = 0x20000005;    // no status from the server
constexpr int kDownloadStatusNot200 = 0x20000006;
constexpr int kDownloadNoMemory = 0x20000007;
constexpr int kDownloadReadFailed = 0x20000008;
constexpr int kDownloadTooLarge = 0x20000009;        // does not fit the buffer, or empty
// Called before each block is stored: (announced total or 0, bytes received before this
// block, block size n, block, user); returning anything but n stores only that many
// bytes and ends the fetch with kDownloadAborted.
using DownloadCallback = int64_t (*)(int64_t total, int64_t received, int64_t count,
                                     const void* block, void* user);
// Fetches url (http or https, certificates checked, at most 8 redirects to http or
// https) into buffer. size: the capacity on entry, the bytes received on return.
// Blocks of at most chunkSize bytes; timeoutMs (0 = none) bounds the connect and every
// wait for data. Returns 0 or one of the result codes above.
int DownloadToMemory(const std::string& url, const std::string& userAgent, int64_t chunkSize,
                     void* buffer, int64_t& size, DownloadCallback callback, void* callbackUser,
                     int64_t timeoutMs);
