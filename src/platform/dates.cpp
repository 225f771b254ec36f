#include <ctime>
#include <cctype>

#include "platform/platform.h"

uint32_t TimeGetTime() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

int64_t TimeZoneBias() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return local.tm_gmtoff;
}

int64_t DateNow() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return static_cast<int64_t>(now) + local.tm_gmtoff;
}

int64_t MakeDate(int year, int month, int day, int hour, int minute, int second) {
  tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<int64_t>(timegm(&t));
}

namespace {

// Matches a mask token at position i (case-insensitive); returns its length or 0.
size_t TokenAt(std::string_view mask, size_t i, const char* token) {
  size_t n = 0;
  while (token[n]) ++n;
  if (i + n > mask.size()) return 0;
  for (size_t k = 0; k < n; ++k)
    if (std::tolower(static_cast<unsigned char>(mask[i + k])) != token[k]) return 0;
  return n;
}

void AppendPadded(std::string& out, long value) {
  if (value >= 0 && value < 10) out.push_back('0');
  out += std::to_string(value);
}

}  // namespace

std::string FormatDate(std::string_view mask, int64_t date) {
  time_t t = static_cast<time_t>(date);
  tm f{};
  gmtime_r(&t, &f);
  std::string out;
  out.reserve(mask.size() + 8);
  for (size_t i = 0; i < mask.size();) {
    size_t n;
    if ((n = TokenAt(mask, i, "%yyyy"))) {
      AppendPadded(out, f.tm_year + 1900L);
    } else if ((n = TokenAt(mask, i, "%yy"))) {
      AppendPadded(out, (f.tm_year + 1900L) % 100);
    } else if ((n = TokenAt(mask, i, "%mm"))) {
      AppendPadded(out, f.tm_mon + 1);
    } else if ((n = TokenAt(mask, i, "%dd"))) {
      AppendPadded(out, f.tm_mday);
    } else if ((n = TokenAt(mask, i, "%hh"))) {
      AppendPadded(out, f.tm_hour);
    } else if ((n = TokenAt(mask, i, "%ii"))) {
      AppendPadded(out, f.tm_min);
    } else if ((n = TokenAt(mask, i, "%ss"))) {
      AppendPadded(out, f.tm_sec);
    } else {
      out.push_back(mask[i]);
      n = 1;
    }
    i += n;
  }
  return out;
}

int64_t ParseDate(std::string_view mask, std::string_view text) {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  size_t p = 0;
  auto number = [&](size_t maxDigits, int& field) {
    size_t start = p;
    long v = 0;
    while (p < text.size() && p - start < maxDigits && std::isdigit(static_cast<unsigned char>(text[p])))
      v = v * 10 + (text[p++] - '0');
    if (p == start) return false;
    field = static_cast<int>(v);
    return true;
  };
  for (size_t i = 0; i < mask.size();) {
    size_t n;
    bool ok = true;
    if ((n = TokenAt(mask, i, "%yyyy"))) {
      ok = number(4, year);
    } else if ((n = TokenAt(mask, i, "%yy"))) {
      ok = number(2, year);
      year += 2000;
    } else if ((n = TokenAt(mask, i, "%mm"))) {
      ok = number(2, month);
    } else if ((n = TokenAt(mask, i, "%dd"))) {
      ok = number(2, day);
    } else if ((n = TokenAt(mask, i, "%hh"))) {
      ok = number(2, hour);
    } else if ((n = TokenAt(mask, i, "%ii"))) {
      ok = number(2, minute);
    } else if ((n = TokenAt(mask, i, "%ss"))) {
      ok = number(2, second);
    } else {
      n = 1;
      ok = p < text.size() && text[p] == mask[i];
      if (ok) ++p;
    }
    if (!ok) return 0;
    i += n;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return 0;
  return MakeDate(year, month, day, hour, minute, second);
}
