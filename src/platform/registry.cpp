// A small file-backed registry with typed values, for the few values other programs
// publish (the external version-check tool's location).
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "platform/platform.h"

namespace {

std::mutex gRegistryLock;

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  size_t i = s.find_first_not_of(" \t");
  return i == std::string::npos ? std::string() : s.substr(i);
}

int TypeOf(std::string_view t) {
  if (SameText(t, "sz")) return RegSz;
  if (SameText(t, "expand_sz")) return RegExpandSz;
  if (SameText(t, "dword")) return RegDword;
  if (SameText(t, "qword")) return RegQword;
  return RegNone;
}

const char* TypeName(int type) {
  switch (type) {
    case RegSz:
      return "sz";
    case RegExpandSz:
      return "expand_sz";
    case RegDword:
      return "dword";
    case RegQword:
      return "qword";
    default:
      return nullptr;
  }
}

bool ValidNumber(const std::string& v, int type) {
  if (v.empty() || v.size() > 20) return false;
  for (char c : v)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  unsigned long long n = std::strtoull(v.c_str(), nullptr, 10);
  return type == RegQword || n <= 0xFFFFFFFFull;
}

}  // namespace

std::string RegistryFilePath(int root) {
  if (root == RegLocalMachine) {
    const char* e = getenv("CORVALE_REGISTRY_SYSTEM");
    if (e && *e) return e;
    return "/etc/xdg/corvale-player/registry";
  }
  if (root == RegCurrentUser) {
    const char* e = getenv("CORVALE_REGISTRY_USER");
    if (e && *e) return e;
    const char* c = getenv("XDG_CONFIG_HOME");
    std::string base;
    if (c && c[0] == '/') {
      base = c;
    } else {
      const char* h = getenv("HOME");
      if (!h || h[0] != '/') return std::string();
      base = std::string(h) + "/.config";
    }
    return base + "/corvale-player/registry";
  }
  return std::string();
}

int RegistryQuery(int root, const std::string& key, const std::string& name, std::string* value) {
  std::string path = RegistryFilePath(root);
  if (path.empty()) return RegNone;
  std::lock_guard<std::mutex> g(gRegistryLock);
  // Read through a descriptor of our own (close-on-exec), like every file of the layer.
  std::string text;
  if (!ReadWholeFile(path, text)) return RegNone;
  std::istringstream in(text);
  std::string line;
  bool inKey = false;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      inKey = SameText(line.substr(1, line.size() - 2), key);
      continue;
    }
    if (!inKey) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos || !SameText(Trim(line.substr(0, eq)), name)) continue;
    std::string rest = line.substr(eq + 1);
    size_t colon = rest.find(':');
    if (colon == std::string::npos) return RegNone;
    int type = TypeOf(rest.substr(0, colon));
    std::string v = rest.substr(colon + 1);
    if (type == RegNone || ((type == RegDword || type == RegQword) && !ValidNumber(v, type))) return RegNone;
    if (value) *value = v;
    return type;
  }
  return RegNone;
}

int RegistrySet(int root, const std::string& key, const std::string& name, int type, const std::string& value) {
  const char* tname = TypeName(type);
  std::string path = RegistryFilePath(root);
  if (!tname || path.empty() || key.empty() || name.empty()) return 0;
  // One line per value: no line breaks inside, and names without "=".
  if (value.find_first_of("\r\n") != std::string::npos || name.find_first_of("=\r\n") != std::string::npos ||
      key.find_first_of("[]\r\n") != std::string::npos)
    return 0;
  if ((type == RegDword || type == RegQword) && !ValidNumber(value, type)) return 0;
  std::lock_guard<std::mutex> g(gRegistryLock);
  std::string text;
  ReadWholeFile(path, text);
  std::istringstream in(text);
  std::string out, line;
  bool inKey = false, keySeen = false, written = false;
  std::string entry = name + "=" + tname + ":" + value + "\n";
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    if (!t.empty() && t.front() == '[' && t.back() == ']') {
      if (inKey && !written) {
        out += entry;
        written = true;
      }
      inKey = SameText(t.substr(1, t.size() - 2), key);
      keySeen = keySeen || inKey;
      out += line + "\n";
      continue;
    }
    if (inKey) {
      size_t eq = t.find('=');
      if (eq != std::string::npos && SameText(Trim(t.substr(0, eq)), name)) {
        if (!written) out += entry;
        written = true;
        continue;
      }
    }
    out += line + "\n";
  }
  if (!written) {
    if (!keySeen) out += "[" + key + "]\n";
    out += entry;
  }
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    std::string dir = path.substr(0, slash);
    if (!FolderExists(dir)) mkdir(dir.c_str(), 0755);
  }
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  if (!WriteWholeFile(tmp, out)) return 0;
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return 0;
  }
  return 1;
}
