// Numbers written into texts. Qt sets the user's locale at start-up, after which
// printf-style formatting would write "1,5" under a decimal-comma locale.
#include <charconv>
#include <cmath>
#include <string>

#include "platform/platform.h"

std::string FormatFixed(double value, int decimals) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (decimals < 0) decimals = 0;
  if (decimals > 17) decimals = 17;
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (r.ec != std::errc()) return "0";
  return std::string(buf, r.ptr);
}
