// Dates as whole seconds on the wall clock: building, formatting and parsing them by the
// player's masks. No time zones and no system calls here (the clocks are in clock.cpp).
#include <cctype>

#include "platform/platform.h"

namespace {

// Floor division, so that dates before 1970 fall on the right day.
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = FloorDiv(y, 400);
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Fields {
  int64_t year;
  int month, day, hour, minute, second;
};

Fields FieldsOf(int64_t date) {
  int64_t days = FloorDiv(date, 86400);
  int64_t secs = date - days * 86400;
  int64_t z = days + 719468;
  int64_t era = FloorDiv(z, 146097);
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  Fields f{};
  f.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  f.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  f.year = yoe + era * 400 + (f.month <= 2);
  f.hour = static_cast<int>(secs / 3600);
  f.minute = static_cast<int>(secs / 60 % 60);
  f.second = static_cast<int>(secs % 60);
  return f;
}

}  // namespace

// Plain arithmetic on the proleptic Gregorian calendar, counted as timegm counts: fields
// out of their range carry into the next larger one.
int64_t MakeDate(int year, int month, int day, int hour, int minute, int second) {
  int64_t y = year + FloorDiv(month - 1, 12);
  int64_t m = month - 1 - FloorDiv(month - 1, 12) * 12 + 1;
  int64_t days = DaysFromCivil(y, m, 1) + day - 1;
  return days * 86400 + int64_t(hour) * 3600 + int64_t(minute) * 60 + second;
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
  Fields f = FieldsOf(date);
  std::string out;
  out.reserve(mask.size() + 8);
  for (size_t i = 0; i < mask.size();) {
    size_t n;
    if ((n = TokenAt(mask, i, "%yyyy"))) {
      AppendPadded(out, static_cast<long>(f.year));
    } else if ((n = TokenAt(mask, i, "%yy"))) {
      AppendPadded(out, static_cast<long>(f.year % 100));
    } else if ((n = TokenAt(mask, i, "%mm"))) {
      AppendPadded(out, f.month);
    } else if ((n = TokenAt(mask, i, "%dd"))) {
      AppendPadded(out, f.day);
    } else if ((n = TokenAt(mask, i, "%hh"))) {
      AppendPadded(out, f.hour);
    } else if ((n = TokenAt(mask, i, "%ii"))) {
      AppendPadded(out, f.minute);
    } else if ((n = TokenAt(mask, i, "%ss"))) {
      AppendPadded(out, f.second);
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
