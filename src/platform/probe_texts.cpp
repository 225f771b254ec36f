// The texts the probes read: a kernel release and a locale name. No system calls here.
#include <cctype>

#include "platform/platform.h"

int ParseKernelRelease(std::string_view release, int* major, int* minor) {
  size_t i = 0;
  auto number = [&](int* out) {
    size_t start = i;
    long v = 0;
    while (i < release.size() && std::isdigit(static_cast<unsigned char>(release[i])) && i - start < 6) {
      v = v * 10 + (release[i] - '0');
      ++i;
    }
    if (i == start) return false;
    *out = static_cast<int>(v);
    return true;
  };
  int a = 0, b = 0;
  if (!number(&a)) return 0;
  if (i < release.size() && release[i] == '.') {
    ++i;
    if (!number(&b)) b = 0;
  }
  if (major) *major = a;
  if (minor) *minor = b;
  return 1;
}

std::string UiLanguageFromLocale(std::string_view locale) {
  size_t end = locale.find_first_of("_.@");
  std::string_view lang = locale.substr(0, end);
  if (lang == "C" || lang == "POSIX") return std::string();
  // The code names a folder of the manual: letters only, so it can never leave it.
  if (lang.empty() || lang.size() > 8) return std::string();
  std::string out;
  for (char c : lang) {
    if (!std::isalpha(static_cast<unsigned char>(c))) return std::string();
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}
