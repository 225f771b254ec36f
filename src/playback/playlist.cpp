// Custom playlists: a URL from the command line may be a direct stream, a playlist on a
// web server or a playlist file on disk. M3U/M3U8, PLS, XSPF, VCLT and JSPF are read.
// Only http, https and ftp entries are ever taken from a playlist, so a remote list can
// never point the player at a local file, a device or another scheme.
// Debian's Expat is built with DTD support; its header shows the entity limits only
// when told so.
#ifndef XML_DTD
#define XML_DTD
#endif
#include <expat.h>

#include <fstream>
#include <string>
#include <vector>

#include "base/base.h"
#include "platform/platform.h"
#include "playback/playback.h"

namespace {

// The schemes a playlist entry may use (ftp is then refused by the fetch itself).
bool IsPlayableEntry(std::string_view url) { return IsRemoteUrl(url) == 1; }

void AddEntry(std::vector<StreamEntry>& list, std::string id, std::string url) {
  StreamEntry e;
  e.id = std::move(id);
  e.url = std::move(url);
  list.push_back(std::move(e));
}

// --- JSPF ------------------------------------------------------------------------------

int ParseJspf(const char* buffer, size_t length, std::vector<StreamEntry>& list) {
  size_t before = list.size();
  std::unique_ptr<JsonDocument> doc = ParseJson(buffer, length);
  const JsonValue* root = doc ? &doc->root : nullptr;
  const JsonValue* playlist = GetJsonObject(root, "playlist");
  if (!playlist) {
    Log("Invalid object playlist in JSPF.");
    return 0;
  }
  const JsonValue* tracks = GetJsonArray(playlist, "track");
  if (!tracks) {
    Log("Invalid array track in JSPF.");
    return 0;
  }
  for (size_t i = 0; i < tracks->Size(); ++i) {
    const JsonValue* track = tracks->Element(i);
    if (!track || !track->IsObject()) {
      Log("Invalid track object in JSPF.");
      continue;
    }
    const JsonValue* location = GetJsonArray(track, "location");
    if (!location) {
      Log("Invalid track location in JSPF.");
      continue;
    }
    std::string url = GetJsonArrayString(location, 0);
    if (url.empty()) {
      Log("Invalid track location string in JSPF.");
      continue;
    }
    if (IsPlayableEntry(url)) AddEntry(list, std::to_string(i + 1), url);
  }
  return int(list.size() - before);
}

// --- XSPF ------------------------------------------------------------------------------

struct XspfReader {
  XML_Parser parser = nullptr;
  int depth = 0;
  bool rootOk = false;
  bool inTrackList = false;
  bool trackListDone = false;  // only the root's first "trackList" is read
  int64_t child = 0;           // number of the current child of "trackList"
  bool inLocation = false;
  bool locationDone = false;
  std::string location;
  std::vector<StreamEntry> found;
};

void XMLCALL XspfStart(void* user, const XML_Char* name, const XML_Char** attrs) {
  auto& r = *static_cast<XspfReader*>(user);
  ++r.depth;
  std::string_view n(name);
  if (r.depth == 1) {
    if (n == "playlist") {
      for (int i = 0; attrs[i]; i += 2)
        if (std::string_view(attrs[i]) == "version") r.rootOk = LeadingInteger(TrimBlanks(attrs[i + 1])) == 1;
    }
    if (!r.rootOk) XML_StopParser(r.parser, XML_FALSE);
  } else if (r.depth == 2) {
    if (!r.trackListDone && n == "trackList") r.inTrackList = true;
  } else if (r.depth == 3 && r.inTrackList) {
    ++r.child;
    r.location.clear();
    r.locationDone = false;
  } else if (r.depth == 4 && r.inTrackList && !r.locationDone && n == "location") {
    r.inLocation = true;
  }
}

void XMLCALL XspfEnd(void* user, const XML_Char*) {
  auto& r = *static_cast<XspfReader*>(user);
  if (r.depth == 4 && r.inLocation) {
    r.inLocation = false;
    r.locationDone = true;
  } else if (r.depth == 3 && r.inTrackList) {
    // Locations are often written on their own indented line.
    size_t a = r.location.find_first_not_of(" \t\r\n");
    size_t b = r.location.find_last_not_of(" \t\r\n");
    std::string url = a == std::string::npos ? "" : r.location.substr(a, b - a + 1);
    if (IsPlayableEntry(url)) AddEntry(r.found, std::to_string(r.child), url);
  } else if (r.depth == 2 && r.inTrackList) {
    r.inTrackList = false;
    r.trackListDone = true;
  }
  --r.depth;
}

void XMLCALL XspfText(void* user, const XML_Char* text, int len) {
  auto& r = *static_cast<XspfReader*>(user);
  if (r.inLocation) r.location.append(text, size_t(len));
}

int ParseXspf(const char* buffer, size_t length, std::vector<StreamEntry>& list) {
  XspfReader r;
  // No external entity handler is installed: documents from the network never make
  // the reader open anything. Expat itself limits entity expansion; a playlist is at
  // most 64 KiB, so its limit starts to count at 1 MiB of expanded text instead of 8.
  r.parser = XML_ParserCreate(nullptr);
  if (!r.parser) return 0;
  XML_SetBillionLaughsAttackProtectionActivationThreshold(r.parser, 1024 * 1024);
  XML_SetUserData(r.parser, &r);
  XML_SetElementHandler(r.parser, XspfStart, XspfEnd);
  XML_SetCharacterDataHandler(r.parser, XspfText);
  XML_Status status = XML_Parse(r.parser, buffer, int(length), XML_TRUE);
  XML_ParserFree(r.parser);
  // A document that does not parse, or whose root is not a version 1 playlist, gives
  // nothing at all.
  if (status != XML_STATUS_OK || !r.rootOk) return 0;
  for (auto& e : r.found) list.push_back(std::move(e));
  return int(r.found.size());
}

// --- Line formats ----------------------------------------------------------------------

int ParseLines(std::string_view type, const char* buffer, size_t length, std::vector<StreamEntry>& list) {
  std::vector<std::string> lines;
  SplitLines(lines, buffer, length, kTextUtf8);
  int added = 0;
  for (const std::string& raw : lines) {
    std::string line = TrimBlanks(raw);
    std::string value;
    if (type == "m3u8") {
      if (!line.empty() && line[0] == '#') continue;
      value = line;
    } else {
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string key = LowerAscii(TrimBlanks(std::string_view(line).substr(0, eq)));
      const char* want = type == "pls" ? "file" : "streamurl";
      if (key.rfind(want, 0) != 0) continue;
      // Everything after the first "=": query strings such as ?id=7&x=1 survive.
      value = TrimBlanks(std::string_view(line).substr(eq + 1));
    }
    if (!IsPlayableEntry(value)) continue;
    AddEntry(list, std::to_string(++added), value);
  }
  return added;
}

}  // namespace

int IsRemoteUrl(std::string_view url) {
  return StartsWithNoCase(url, "http:") || StartsWithNoCase(url, "https:") || StartsWithNoCase(url, "ftp:");
}

std::string UrlExtension(std::string_view url) {
  size_t dot = url.rfind('.');
  if (dot == std::string_view::npos) return "";
  if (dot > 0 && (url[dot - 1] == '/' || url[dot - 1] == '\\')) return "";
  std::string_view rest = url.substr(dot + 1);
  if (rest.find_first_of(" /\\") != std::string_view::npos) return "";
  size_t quote = rest.find('"');
  return std::string(quote == std::string_view::npos ? rest : rest.substr(0, quote));
}

std::string PlaylistType(std::string_view extension) {
  std::string ext(extension);
  if (ext == "m3u") ext = "m3u8";
  if (LowerAscii(std::string_view(ext).substr(0, 4)) == "pls?") ext = "pls";
  if (ext == "m3u8" || ext == "pls" || ext == "xspf" || ext == "vclt" || ext == "jspf") return ext;
  return "";
}

int SplitLines(std::vector<std::string>& lines, const char* buffer, size_t length, int format) {
  size_t start = 0;
  for (size_t i = 0; i <= length; ++i) {
    char c = i < length ? buffer[i] : '\0';
    if (c == '\r' || c == '\n' || c == '\0') {
      if (i > start) {
        std::string_view bytes(buffer + start, i - start);
        // Playlists are UTF-8 by their format, but Latin-1 lists are common in the wild.
        lines.push_back(IsValidUtf8(bytes) ? std::string(bytes) : Cp1252ToUtf8(bytes));
      }
      start = i + 1;
      if (c == '\0') break;
    }
  }
  return !lines.empty();
}

int ParsePlaylistBuffer(std::string_view type, const char* buffer, size_t length, std::vector<StreamEntry>& list) {
  if (!buffer || length == 0) return 0;
  if (type == "jspf") return ParseJspf(buffer, length, list);
  if (type == "xspf") return ParseXspf(buffer, length, list);
  if (type == "m3u8" || type == "pls" || type == "vclt") return ParseLines(type, buffer, length, list);
  return 0;
}

int LoadPlaylist(const std::string& url, std::vector<StreamEntry>& list) {
  list.clear();
  std::string type = PlaylistType(UrlExtension(url));
  std::vector<char> buffer;
  buffer.resize(kPlaylistBufferSize);
  int64_t size = 0;
  int result = 0;
  bool remote = IsRemoteUrl(url);

  if (remote && !type.empty()) {
    Log("Downloading playlist.");
    size = int64_t(buffer.size());
    result = DownloadToMemory(url, gApp.userAgent, 1024, buffer.data(), size, nullptr, nullptr, 10000);
    if (result == 0 && size < 1) result = kDownloadTooLarge;
    if (result != 0) Log("Error downloading playlist.");
  } else if (remote) {
    if (!url.empty()) AddEntry(list, "Custom Url", url);
  } else if (!type.empty()) {
    Log("Loading local playlist.");
    std::ifstream file(Utf8Path(url), std::ios::binary);
    if (!file) {
      result = kDownloadOpenFailed;
    } else {
      file.seekg(0, std::ios::end);
      std::streamoff length = file.tellg();
      file.seekg(0, std::ios::beg);
      if (length < 1 || length > std::streamoff(kPlaylistBufferSize)) {
        result = kDownloadTooLarge;
      } else {
        file.read(buffer.data(), length);
        size = int64_t(file.gcount());
        if (size < 1) result = kDownloadTooLarge;
      }
    }
  }

  if (result == 0 && list.empty() && !type.empty() && size > 0)
    ParsePlaylistBuffer(type, buffer.data(), size_t(size), list);
  return !list.empty();
}
