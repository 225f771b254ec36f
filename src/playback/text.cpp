// Small text routines for what arrives from the network: playlists, headers and titles
// come as bytes in whatever encoding the server chose.
#include <cstdint>
#include <limits>
#include <string>

#include "playback/playback.h"

std::string TrimSpaces(std::string_view text) {
  size_t a = 0, b = text.size();
  while (a < b && (text[a] == ' ' || text[a] == '\t')) ++a;
  while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t')) --b;
  return std::string(text.substr(a, b - a));
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

int StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return 0;
  return LowerAscii(text.substr(0, prefix.size())) == LowerAscii(prefix);
}

int IsValidUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size(), i = 0;
  while (i < n) {
    unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return 0;  // continuation byte, overlong lead (C0, C1) or beyond F4
    }
    if (n - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return 0;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return 0;
    i += len;
  }
  return 1;
}

namespace {

// Code points of the bytes 0x80..0x9F in Windows-1252; 0 where the byte is unassigned
// (then the Latin-1 code point, a control character, stands in).
const uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// Drops C0 and C1 control characters (and DEL) from valid UTF-8 text, so that escape
// sequences in a title never reach a terminal, the log file or a window.
std::string DropControls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) continue;
    if (c == 0xC2 && i + 1 < text.size()) {
      unsigned char d = static_cast<unsigned char>(text[i + 1]);
      if (d >= 0x80 && d <= 0x9F) {
        ++i;
        continue;
      }
    }
    out += char(c);
  }
  return out;
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    uint32_t cp = c;
    if (c >= 0x80 && c <= 0x9F && kCp1252High[c - 0x80]) cp = kCp1252High[c - 0x80];
    AppendUtf8(out, cp);
  }
  return out;
}

int64_t LeadingInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint64_t value = 0;
  bool over = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    uint64_t digit = uint64_t(text[i] - '0');
    if (value > (uint64_t(std::numeric_limits<int64_t>::max()) - digit) / 10) over = true;
    if (!over) value = value * 10 + digit;
  }
  if (over) return negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  return negative ? -int64_t(value) : int64_t(value);
}

std::string DecodeStreamText(std::string_view bytes, int legacy) {
  size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  // The legacy server sends 8-bit text; others mostly UTF-8, but Latin-1 titles are
  // common from any server and must not turn into replacement characters.
  if (!legacy && IsValidUtf8(bytes)) return DropControls(std::string(bytes));
  return DropControls(Cp1252ToUtf8(bytes));
}
