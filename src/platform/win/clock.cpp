// The clocks of the Windows build: the performance counter as milliseconds (the
// multimedia timer's resolution depends on the timer period some program has set), and
// the local wall clock from the time-zone rules in effect now.
#include <windows.h>

#include "platform/platform.h"

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochIn100ns = 116444736000000000LL;

int64_t UtcNowSeconds() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  int64_t t = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (t - kUnixEpochIn100ns) / 10000000;
}

}  // namespace

uint32_t TimeGetTime() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? f.QuadPart : 1;
  }();
  LARGE_INTEGER c{};
  QueryPerformanceCounter(&c);
  // Split so that counter * 1000 never overflows however long the machine has run.
  uint64_t whole = static_cast<uint64_t>(c.QuadPart / frequency) * 1000u;
  uint64_t part = static_cast<uint64_t>(c.QuadPart % frequency) * 1000u / static_cast<uint64_t>(frequency);
  return static_cast<uint32_t>(whole + part);
}

int64_t TimeZoneBias() {
  TIME_ZONE_INFORMATION tz{};
  DWORD state = GetTimeZoneInformation(&tz);
  if (state == TIME_ZONE_ID_INVALID) return 0;
  // Windows counts UTC minus local in minutes; the standard or daylight part applies
  // only while that period is in effect.
  LONG bias = tz.Bias;
  if (state == TIME_ZONE_ID_DAYLIGHT)
    bias += tz.DaylightBias;
  else if (state == TIME_ZONE_ID_STANDARD)
    bias += tz.StandardBias;
  return -static_cast<int64_t>(bias) * 60;
}

int64_t DateNow() { return UtcNowSeconds() + TimeZoneBias(); }
