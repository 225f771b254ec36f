// patch-beacon: a small external version-check tool. It keeps the programs registered
// with it as a list of "version.json" paths in a text file, one per line, and answers
//
//   patch-beacon /find <path>     exit 0 when registered, 1 when not
//   patch-beacon /add <path>      registers it: exit 0, 2 when the list cannot be written
//   patch-beacon /remove <path>   unregisters it: exit 0 (also when it was not registered)
//   patch-beacon /check <path>    reads the registered file's version-list URLs and
//                                 prints them: exit 0, 1 when not registered, 3 when the
//                                 file cannot be read
//
// The list is $PATCHBEACON_LIST, else $XDG_DATA_HOME/patch-beacon/registrations (or
// ~/.local/share/...). Every call is appended to $PATCHBEACON_LOG when set ("<option>
// <path>"), so a test can see what it was asked. PATCHBEACON_HANG=<option> (for example
// "/find") makes that option sleep for an hour instead of answering, for time-limit tests.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ListPath() {
  if (const char* p = getenv("PATCHBEACON_LIST"); p && *p) return p;
  std::string base;
  if (const char* d = getenv("XDG_DATA_HOME"); d && d[0] == '/')
    base = d;
  else if (const char* h = getenv("HOME"); h && h[0] == '/')
    base = std::string(h) + "/.local/share";
  else
    return "";
  mkdir(base.c_str(), 0700);
  mkdir((base + "/patch-beacon").c_str(), 0700);
  return base + "/patch-beacon/registrations";
}

std::vector<std::string> ReadList(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(line);
  return lines;
}

bool WriteList(const std::string& path, const std::vector<std::string>& lines) {
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::trunc);
    for (const std::string& l : lines) out << l << "\n";
    out.flush();
    if (!out) {
      unlink(tmp.c_str());
      return false;
    }
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool Contains(const std::vector<std::string>& lines, const std::string& path) {
  for (const std::string& l : lines)
    if (l == path) return true;
  return false;
}

// The "url" members of a version file, found by a plain text scan (enough to report what
// would be checked; the tool does not fetch them).
std::vector<std::string> VersionUrls(const std::string& text) {
  std::vector<std::string> urls;
  size_t pos = 0;
  while ((pos = text.find("http", pos)) != std::string::npos) {
    size_t end = text.find('"', pos);
    if (end == std::string::npos) break;
    urls.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return urls;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || argv[2][0] == '\0') {
    fprintf(stderr, "usage: patch-beacon /find|/add|/remove|/check <version.json>\n");
    return 64;
  }
  const std::string option = argv[1], file = argv[2];
  if (const char* log = getenv("PATCHBEACON_LOG"); log && *log) {
    std::ofstream out(log, std::ios::app);
    out << option << " " << file << "\n";
  }
  if (const char* hang = getenv("PATCHBEACON_HANG"); hang && option == hang) {
    sleep(3600);
    return 0;
  }
  const std::string list = ListPath();
  if (list.empty()) return 2;
  std::vector<std::string> lines = ReadList(list);
  if (option == "/find") return Contains(lines, file) ? 0 : 1;
  if (option == "/add") {
    if (Contains(lines, file)) return 0;
    lines.push_back(file);
    return WriteList(list, lines) ? 0 : 2;
  }
  if (option == "/remove") {
    std::vector<std::string> kept;
    for (const std::string& l : lines)
      if (l != file) kept.push_back(l);
    return WriteList(list, kept) ? 0 : 2;
  }
  if (option == "/check") {
    if (!Contains(lines, file)) return 1;
    std::ifstream in(file);
    if (!in) return 3;
    std::stringstream ss;
    ss << in.rdbuf();
    for (const std::string& url : VersionUrls(ss.str())) printf("would check %s\n", url.c_str());
    return 0;
  }
  fprintf(stderr, "patch-beacon: unknown option %s\n", option.c_str());
  return 64;
}
