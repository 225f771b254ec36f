// Small text routines shared by every subsystem.
#include "base/text.h"

#include <cstring>
#include <limits>
#include <utility>

namespace {

std::string Trim(std::string_view text, bool tabs) {
  auto blank = [tabs](char c) { return c == ' ' || (tabs && c == '\t'); };
  size_t a = 0, b = text.size();
  while (a < b && blank(text[a])) ++a;
  while (b > a && blank(text[b - 1])) --b;
  return std::string(text.substr(a, b - a));
}

// Code points of the bytes 0x80..0x9F in Windows-1252; 0 where the byte is unassigned
// (then the Latin-1 code point, a control character, stands in).
const uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::string TrimSpaces(std::string_view text) { return Trim(text, false); }

std::string TrimBlanks(std::string_view text) { return Trim(text, true); }

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

int32_t DecodeUtf8(std::string_view bytes, size_t pos, size_t* length) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  *length = 1;
  if (pos >= n) return -1;
  unsigned c = s[pos];
  if (c < 0x80) return int32_t(c);
  size_t len;
  uint32_t cp, min;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return -1;  // continuation byte, overlong lead (C0, C1) or beyond F4
  }
  if (n - pos < len) return -1;
  for (size_t k = 1; k < len; ++k) {
    unsigned t = s[pos + k];
    if ((t & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (t & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  *length = len;
  return int32_t(cp);
}

int IsValidUtf8(std::string_view bytes) {
  size_t i = 0, len = 1;
  while (i < bytes.size()) {
    if (DecodeUtf8(bytes, i, &len) < 0) return 0;
    i += len;
  }
  return 1;
}

int IsInvisibleCodePoint(uint32_t c) {
  static const std::pair<uint32_t, uint32_t> kInvisible[] = {
      {0x00, 0x1F},       {0x7F, 0x9F},       {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},
      {0x6DD, 0x6DD},     {0x70F, 0x70F},     {0x890, 0x891},     {0x8E2, 0x8E2},     {0x180E, 0x180E},
      {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},
      {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
      {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
  };
  for (const auto& range : kInvisible)
    if (c >= range.first && c <= range.second) return 1;
  return 0;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

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

std::filesystem::path Utf8Path(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

std::FILE* OpenFileUtf8(const std::string& path, const char* mode) {
#ifdef _WIN32
  return _wfopen(Utf8Path(path).c_str(), std::wstring(mode, mode + std::strlen(mode)).c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}
