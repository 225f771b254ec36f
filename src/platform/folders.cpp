// Known folders (XDG base and user directories), the executable's folder and small
// whole-file helpers.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/platform.h"

namespace {

std::string WithSlash(std::string p) {
  if (!p.empty() && p.back() != '/') p += '/';
  return p;
}

std::string HomeFolder() {
  const char* h = getenv("HOME");
  if (h && h[0] == '/') return h;
  if (passwd* pw = getpwuid(getuid())) {
    if (pw->pw_dir && pw->pw_dir[0] == '/') return pw->pw_dir;
  }
  return std::string();
}

// An XDG variable counts only when it holds an absolute path.
std::string XdgVar(const char* name, const std::string& fallback) {
  const char* v = getenv(name);
  if (v && v[0] == '/') return v;
  return fallback;
}

std::string ConfigHome() {
  std::string home = HomeFolder();
  return XdgVar("XDG_CONFIG_HOME", home.empty() ? std::string() : home + "/.config");
}

// A folder from user-dirs.dirs (XDG_DOCUMENTS_DIR="$HOME/Documents"), or the default.
std::string UserDir(const char* key, const char* defaultName) {
  std::string home = HomeFolder();
  if (home.empty()) return std::string();
  std::string fallback = home + "/" + defaultName;
  std::string config = ConfigHome();
  if (config.empty()) return fallback;
  std::string text;
  ReadWholeFile(config + "/user-dirs.dirs", text);
  std::istringstream in(text);
  std::string line;
  std::string found;
  while (std::getline(in, line)) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#') continue;
    if (line.compare(i, std::strlen(key), key) != 0) continue;
    size_t eq = line.find('=', i);
    if (eq == std::string::npos || line.substr(i, eq - i) != key) continue;
    std::string value = line.substr(eq + 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) value.pop_back();
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
    value = value.substr(1, value.size() - 2);
    // Only "$HOME/..." and absolute paths are valid in the file.
    if (value.rfind("$HOME", 0) == 0) {
      value = home + value.substr(5);
    } else if (value.empty() || value[0] != '/') {
      continue;
    }
    std::string unescaped;
    for (size_t k = 0; k < value.size(); ++k) {
      if (value[k] == '\\' && k + 1 < value.size()) ++k;
      unescaped += value[k];
    }
    found = unescaped;
  }
  return found.empty() ? fallback : found;
}

// Creates the folder and its missing parents; true when it exists as a folder afterwards.
bool MakeFolders(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  if (FolderExists(path)) return true;
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    size_t next = path.find('/', pos + 1);
    partial = path.substr(0, next);
    if (!partial.empty() && !FolderExists(partial)) {
      if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    pos = next;
  }
  return FolderExists(path);
}

}  // namespace

std::string GetKnownFolder(KnownFolder kind) {
  std::string home = HomeFolder();
  std::string path;
  // The XDG base folders are made private, as the desktop makes them; the user's own
  // folders are not.
  mode_t mode = 0755;
  switch (kind) {
    case KnownFolder::kUserConfig:
      path = ConfigHome();
      mode = 0700;
      break;
    case KnownFolder::kUserData:
      path = XdgVar("XDG_DATA_HOME", home.empty() ? std::string() : home + "/.local/share");
      mode = 0700;
      break;
    case KnownFolder::kDocuments:
      path = UserDir("XDG_DOCUMENTS_DIR", "Documents");
      break;
    case KnownFolder::kDownloads:
      path = UserDir("XDG_DOWNLOAD_DIR", "Downloads");
      break;
    case KnownFolder::kMusic:
      path = UserDir("XDG_MUSIC_DIR", "Music");
      break;
  }
  // As with the "create if missing" flag: a folder that is not there is made; one that
  // cannot be made resolves to nothing.
  if (path.empty() || !MakeFolders(path, mode)) return std::string();
  return WithSlash(path);
}

std::string UserDataFolder() {
  std::string base = GetKnownFolder(KnownFolder::kUserData);
  if (base.empty()) return std::string();
  std::string folder = base + "corvale-player/";
  if (!FolderExists(folder) && !CreateFolder(folder) && !FolderExists(folder)) return std::string();
  return folder;
}

bool FolderExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ExecutableFolder() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  buf[n] = 0;
  std::string p = buf;
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return std::string();
  return p.substr(0, slash + 1);
}

int IsAbsolutePath(std::string_view path) { return !path.empty() && path[0] == '/' ? 1 : 0; }

int IsPathSeparator(char c) { return c == '/' ? 1 : 0; }

int ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return 0;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      out.clear();
      return 0;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return 1;
}

int WriteWholeFile(const std::string& path, std::string_view data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0 ? 1 : 0;
}

namespace {

int SyncPath(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return 0;
  int rc;
  do rc = fsync(fd);
  while (rc != 0 && errno == EINTR);
  close(fd);
  return rc == 0 ? 1 : 0;
}

}  // namespace

int ReplaceFileDurably(const std::string& temp, const std::string& path) {
  if (!SyncPath(temp, O_RDONLY)) return 0;
  if (rename(temp.c_str(), path.c_str()) != 0) return 0;
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  // The new file is in place; a folder that cannot be synced only weakens the guarantee
  // against a power cut, so it does not turn the save into a failure.
  SyncPath(folder, O_RDONLY | O_DIRECTORY);
  return 1;
}

int CreateFolder(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty()) return 0;
  if (mkdir(p.c_str(), 0700) == 0) return 1;
  return 0;
}

int DeleteFileAt(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0 ? 1 : 0; }

int64_t FileSize(const std::string& path) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

int64_t FreeDiskSpace(const std::string& folder) {
  struct statvfs st {};
  if (folder.empty() || statvfs(folder.c_str(), &st) != 0) return -1;
  // The blocks an unprivileged user may still fill, not those kept for the system.
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}
