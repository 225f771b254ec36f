// Opening web pages and the manual in the user's browser. The station's web site and a
// version list's site come from files and downloads, so only http and https addresses
// and the player's own local pages are handed to the desktop's opener: an address that
// could make the opener run or show something else is refused.
#include <string>
#include <string_view>

#include "base/text.h"
#include "core/core.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

namespace {

int EndsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return 0;
  return StartsWithNoCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace

std::string WebPageTarget(const std::string& url) {
  // Control characters and spaces have no place in an address or our own paths' ends;
  // a leading "-" would read as an option of the opener.
  if (url.empty() || url[0] == '-') return "";
  for (unsigned char c : url) {
    if (c < 0x20 || c == 0x7F) return "";
  }
  if (StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://")) {
    size_t host = url.find("://") + 3;
    return host < url.size() && url[host] != '/' ? url : "";
  }
  // A local page: an absolute path (or a file URL) of an existing HTML file. Backslashes
  // of a Windows-style path become slashes.
  std::string path = url;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (StartsWithNoCase(path, "file://")) {
    path = path.substr(7);
    // "file:///C:/..." names the drive path after the third slash.
    if (!path.empty() && !IsAbsolutePath(path) && IsAbsolutePath(std::string_view(path).substr(1))) path.erase(0, 1);
  }
  if (!IsAbsolutePath(path)) return "";
  if (!(EndsWithNoCase(path, ".html") || EndsWithNoCase(path, ".htm"))) return "";
  if (!FileExists(path)) return "";
  return path;
}

int OpenWebPage(const std::string& url) {
  std::string target = WebPageTarget(url);
  if (target.empty()) {
    if (Logging()) Log("Refused to open the web page address.");
    ShowMessageBox("Error", "This address cannot be opened in the web browser.", MbOk | MbIconError, 0);
    return 0;
  }
  if (!OpenWithShell(target)) {
    if (Logging()) Log("Unable to start the web browser.");
    ShowMessageBox("Error", kBrowserStartError, MbOk | MbIconError, 0);
    return 0;
  }
  return 1;
}

std::string ManualPageForUser() { return ManualPage(gApp.dataFolder, GetUiLanguage()); }

int ShowManual() { return OpenWebPage(ManualPageForUser()); }
