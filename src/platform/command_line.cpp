// Parameter texts written the Windows way, split into arguments. No system calls here.
#include "platform/platform.h"

std::vector<std::string> SplitCommandLine(std::string_view text) {
  // The rules of the Windows command line: quotes group, 2n backslashes before a quote
  // give n and toggle quoting, 2n+1 give n and a literal quote; other backslashes stay.
  std::vector<std::string> args;
  std::string cur;
  bool inQuotes = false, have = false;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\\') {
      size_t n = 0;
      while (i < text.size() && text[i] == '\\') {
        ++n;
        ++i;
      }
      if (i < text.size() && text[i] == '"') {
        cur.append(n / 2, '\\');
        if (n % 2) {
          cur += '"';
          ++i;
        }
        have = true;
      } else {
        cur.append(n, '\\');
        have = true;
      }
      continue;
    }
    if (c == '"') {
      if (inQuotes && i + 1 < text.size() && text[i + 1] == '"') {
        cur += '"';  // "" inside quotes is one quote
        i += 2;
        continue;
      }
      inQuotes = !inQuotes;
      have = true;
      ++i;
      continue;
    }
    if ((c == ' ' || c == '\t') && !inQuotes) {
      if (have) args.push_back(cur);
      cur.clear();
      have = false;
      ++i;
      continue;
    }
    cur += c;
    have = true;
    ++i;
  }
  if (have) args.push_back(cur);
  return args;
}
