// The station's fixed documents: stream information, playlists and their hostile
// variants, artwork, the version list, installers and the web site.
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "station_sim.h"

namespace {

std::string Param(const HttpRequest& req, const char* name, const std::string& def = "") {
  auto it = req.params.find(name);
  return it == req.params.end() ? def : it->second;
}

long long ParamInt(const HttpRequest& req, const char* name, long long def) {
  auto it = req.params.find(name);
  if (it == req.params.end() || it->second.empty()) return def;
  char* end = nullptr;
  const long long v = strtoll(it->second.c_str(), &end, 10);
  return end && *end == 0 ? v : def;
}

struct StreamRef {
  std::string id, url, codec;
  int kbps;
};

// The streams a document or playlist lists: all four codecs in order, or the "streams"
// parameter (mp3, aac, opus, vorbis, dead = 404, refused = a closed port), with "scheme=https".
std::vector<StreamRef> ListStreams(const HttpRequest& req) {
  const bool https = Param(req, "scheme") == "https";
  std::string list = Param(req, "streams", "mp3,aac,opus,vorbis");
  std::vector<StreamRef> out;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    const std::string key = list.substr(pos, comma - pos);
    pos = comma + 1;
    const int codec = CodecFromKey(key);
    if (codec >= 0) {
      const CodecDesc& d = GetCodecDesc(codec);
      out.push_back({std::string(d.label) + " " + std::to_string(d.kbps) + "k", BaseUrl(https) + "/stream/" + d.key,
                     d.label, d.kbps});
    } else if (key == "dead") {
      out.push_back({"Dead", BaseUrl(https) + "/stream/dead", "MP3", 128});
    } else if (key == "refused") {
      // Port 1 on loopback has no listener: the connection is refused.
      out.push_back({"Refused", "http://127.0.0.1:1/stream/mp3", "MP3", 128});
    }
  }
  return out;
}

std::string ArtworkUrl(int variant) {
  return BaseUrl(false) + "/art/" + std::to_string(variant) + (variant % 2 ? ".jpg" : ".png");
}

const char* const kShows[3] = {"Loopback Breakfast", "Packets at Noon", "The Late Checksum"};

std::string InfoDocument(const HttpRequest& req) {
  const ScheduleSnapshot s = GetSchedule();
  const std::vector<StreamRef> streams = ListStreams(req);
  std::string j = "{\n";
  j += "  \"info\": \"Generated music from the loopback studio\",\n";
  j += "  \"name\": \"" + std::string(kShows[(s.index / 4) % 3]) + "\",\n";
  j += "  \"live\": 1,\n  \"status\": 1,\n";
  j += "  \"stream\": [";
  for (size_t i = 0; i < streams.size(); i++) {
    j += i ? ",\n" : "\n";
    j += "    {\"id\": \"" + JsonEscape(streams[i].id) + "\", \"url\": \"" + JsonEscape(streams[i].url) +
         "\", \"bitrate\": " + std::to_string(streams[i].kbps) + ", \"codec\": \"" + JsonEscape(streams[i].codec) +
         "\"}";
  }
  j += streams.empty() ? "],\n" : "\n  ],\n";
  j += "  \"date\": \"" + FormatUtc(time(nullptr)) + "\",\n";
  j += "  \"history\": [";
  const std::vector<HistoryItem> hist = GetHistory((size_t)std::max<long long>(1, ParamInt(req, "history", 10)));
  for (size_t i = 0; i < hist.size(); i++) {
    const int v = VariantOf(hist[i].index);
    const TitleMeta& m = GetTitleMeta(v);
    j += i ? ",\n" : "\n";
    j += "    {\"date\": \"" + FormatUtc(hist[i].startUnix) + "\", \"artist\": \"" + JsonEscape(m.artist) +
         "\", \"title\": \"" + JsonEscape(m.title) + "\", \"year\": \"" + m.year + "\", \"artwork\": \"" +
         JsonEscape(ArtworkUrl(v)) + "\", \"album\": \"" + JsonEscape(m.album) + "\"}";
  }
  j += "\n  ]\n}\n";
  return j;
}

std::string XmlEscape(const std::string& s) {
  std::string o;
  for (char c : s) {
    if (c == '&')
      o += "&amp;";
    else if (c == '<')
      o += "&lt;";
    else if (c == '>')
      o += "&gt;";
    else if (c == '"')
      o += "&quot;";
    else
      o += c;
  }
  return o;
}

int Playlist(const HttpRequest& req, const std::string& ext, HttpReply& r) {
  const std::vector<StreamRef> s = ListStreams(req);
  const std::string station = gOpt.stationName;
  std::string b;
  if (ext == "m3u" || ext == "m3u8") {
    r.contentType = ext == "m3u" ? "audio/x-mpegurl" : "application/vnd.apple.mpegurl";
    b = "#EXTM3U\n";
    for (auto& e : s) b += "#EXTINF:-1," + station + " (" + e.id + ")\n" + e.url + "\n";
  } else if (ext == "pls") {
    r.contentType = "audio/x-scpls";
    b = "[playlist]\nNumberOfEntries=" + std::to_string(s.size()) + "\n";
    for (size_t i = 0; i < s.size(); i++) {
      const std::string n = std::to_string(i + 1);
      b += "File" + n + "=" + s[i].url + "\nTitle" + n + "=" + station + " (" + s[i].id + ")\nLength" + n + "=-1\n";
    }
    b += "Version=2\n";
  } else if (ext == "xspf") {
    r.contentType = "application/xspf+xml";
    b = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\">\n";
    b += "  <title>" + XmlEscape(station) + "</title>\n  <trackList>\n";
    for (auto& e : s)
      b += "    <track>\n      <location>" + XmlEscape(e.url) + "</location>\n      <title>" +
           XmlEscape(station + " (" + e.id + ")") + "</title>\n    </track>\n";
    b += "  </trackList>\n</playlist>\n";
  } else if (ext == "vclt") {
    r.contentType = "audio/x-vclt";
    for (auto& e : s) b += "StreamUrl=" + e.url + "\nTitle=" + station + " (" + e.id + ")\nLength=-1\n\n";
  } else if (ext == "jspf") {
    r.contentType = "application/xspf+json";
    b = "{\n  \"playlist\": {\n    \"title\": \"" + JsonEscape(station) + "\",\n    \"track\": [";
    for (size_t i = 0; i < s.size(); i++)
      b += std::string(i ? ",\n" : "\n") + "      {\"location\": [\"" + JsonEscape(s[i].url) + "\"], \"title\": \"" +
           JsonEscape(station + " (" + s[i].id + ")") + "\"}";
    b += "\n    ]\n  }\n}\n";
  } else {
    return 0;
  }
  r.body = b;
  return 1;
}

std::string HexDigest(const std::string& data, const EVP_MD* md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned i = 0; i < len; i++) {
    s += hex[out[i] >> 4];
    s += hex[out[i] & 15];
  }
  return s;
}

// The version list. Parameters shape it for the update tests: number, date, algo
// (sha-256, sha-512 or any text), hash (the whole field), download=0 (no installer),
// file (installer name), website, id, bom=1, decoy=1 (an entry for another product first).
std::string VersionList(const HttpRequest& req) {
  const std::string number = Param(req, "number", "5.4");
  const std::string date = Param(req, "date", "2025-11-20T10:00:00.000Z");
  const std::string algo = Param(req, "algo", "sha-256");
  const std::string file = Param(req, "file", "corvale-setup-" + number + ".bin");
  const std::string installer = InstallerBody(file);
  std::string hash;
  if (req.params.count("hash"))
    hash = Param(req, "hash");
  else if (algo == "sha-512")
    hash = "sha-512:" + HexDigest(installer, EVP_sha512());
  else if (algo == "sha-256")
    hash = "sha-256:" + HexDigest(installer, EVP_sha256());
  else
    hash = algo + ":" + HexDigest(installer, EVP_sha256());
  const std::string id = Param(req, "id", "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}");
  std::string j;
  if (Param(req, "bom") == "1") j = "\xEF\xBB\xBF";
  j += "{\n  \"versionlist\": [\n";
  if (Param(req, "decoy") == "1")
    j += "    {\"id\": \"{00000000-0000-0000-0000-000000000000}\", \"publisher\": \"Someone Else\", \"name\": \"Other "
         "Player\", \"version\": \"9.9\", \"number\": \"9.9\", \"date\": \"2030-01-01T00:00:00.000Z\", \"hash\": \"\", "
         "\"website\": \"\", \"download\": \"\", \"url\": []},\n";
  j += "    {\n      \"id\": \"" + JsonEscape(id) + "\",\n      \"publisher\": \"Corvale Productions\",\n";
  j += "      \"name\": \"Corvale Player\",\n      \"version\": \"5.4\",\n";
  j += "      \"number\": \"" + JsonEscape(number) + "\",\n      \"date\": \"" + JsonEscape(date) + "\",\n";
  j += "      \"hash\": \"" + JsonEscape(hash) + "\",\n";
  j += "      \"website\": \"" + JsonEscape(Param(req, "website", BaseUrl(false) + "/")) + "\",\n";
  j += "      \"download\": \"" +
       (Param(req, "download") == "0" ? std::string() : JsonEscape(BaseUrl(false) + "/download/" + file)) + "\",\n";
  j += "      \"url\": [\"" + JsonEscape(BaseUrl(false) + "/versionlist.json") + "\"]\n    }\n  ]\n}\n";
  return j;
}

std::string WebPage() {
  const ScheduleSnapshot s = GetSchedule();
  const TitleMeta& m = GetTitleMeta(VariantOf(s.index));
  std::string h = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
                  XmlEscape(gOpt.stationName) +
                  "</title>\n<style>body{background:#2c1c3c;color:#cfcfcf;font-family:sans-serif;margin:2em}"
                  "a{color:#e0b0ff}</style></head>\n<body>\n";
  h += "<h1>" + XmlEscape(gOpt.stationName) +
       "</h1>\n<p>Generated music from the loopback studio, around the clock.</p>\n";
  h += "<p>Now playing: <b>" + XmlEscape(m.artist) + " - " + XmlEscape(m.title) + "</b></p>\n<h2>Listen</h2>\n<ul>\n";
  for (int c = 0; c < CodecCount; c++) {
    const CodecDesc& d = GetCodecDesc(c);
    h += "<li><a href=\"/stream/" + std::string(d.key) + "\">" + d.label + " " + std::to_string(d.kbps) +
         " kbit/s</a></li>\n";
  }
  h += "</ul>\n<h2>Playlists</h2>\n<ul>\n";
  for (const char* p :
       {"playlist.m3u", "playlist.m3u8", "playlist.pls", "playlist.xspf", "playlist.vclt", "playlist.jspf"})
    h += "<li><a href=\"/" + std::string(p) + "\">" + p + "</a></li>\n";
  h += "</ul>\n</body></html>\n";
  return h;
}

std::string RepeatTo(const std::string& unit, size_t size) {
  std::string s;
  s.reserve(size);
  while (s.size() < size) s += unit;
  s.resize(size);
  return s;
}

// Hostile playlists and documents, each with the quirk it carries.
int Hostile(const HttpRequest& req, const std::string& name, HttpReply& r) {
  const std::string mp3 = BaseUrl(false) + "/stream/mp3";
  const std::string aac = BaseUrl(false) + "/stream/aac";
  r.contentType = "audio/x-mpegurl";
  std::string& b = r.body;
  if (name == "size.m3u") {
    // Exactly "bytes" long (default 65537, one past the player's limit); the stream URL first.
    const size_t size = (size_t)std::clamp<long long>(ParamInt(req, "bytes", 65537), 0, 64 << 20);
    b = "#EXTM3U\n" + mp3 + "\n";
    if (b.size() < size) b += RepeatTo("# padding line of a large playlist\n", size - b.size());
    b.resize(size);
    if (size > 0) b.back() = '\n';
  } else if (name == "unsafe.m3u") {
    b = "#EXTM3U\nfile:///etc/passwd\n/etc/shadow\n/dev/zero\nsmb://127.0.0.1/share/a.mp3\n"
        "ftp://127.0.0.1/pub/a.mp3\njavascript:alert(1)\n" +
        mp3 + "\n";
  } else if (name == "extinf-last.m3u") {
    b = "#EXTM3U\n" + mp3 + "\n#EXTINF:-1,Dangling";
  } else if (name == "latin1.m3u") {
    b = "#EXTM3U\n#EXTINF:-1,Caf\xE9 M\xFCller \xE0 la radio\n" + mp3 + "\n";
  } else if (name == "cr-only.m3u") {
    b = "#EXTM3U\r#EXTINF:-1,One\r" + mp3 + "\r#EXTINF:-1,Two\r" + aac + "\r";
  } else if (name == "crlf.m3u") {
    b = "#EXTM3U\r\n" + mp3 + "\r\n" + aac + "\r\n";
  } else if (name == "longline.m3u") {
    b = std::string(1 << 20, 'A') + "\n" + mp3 + "\n";
  } else if (name == "many.m3u") {
    for (int i = 0; i < 100000; i++) b += mp3 + "?n=" + std::to_string(i) + "\n";
  } else if (name == "self.m3u") {
    b = BaseUrl(false) + "/hostile/self.m3u\n" + mp3 + "\n";
  } else if (name == "empty.m3u") {
    b.clear();
  } else if (name == "binary.m3u") {
    uint64_t x = 12345;
    for (int i = 0; i < 4096; i++) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      b += (char)(x >> 56);
    }
  } else if (name == "nul.m3u") {
    b = mp3 + "\n" + std::string(1, '\0') + aac + "\n";
  } else if (name == "only-comments.m3u") {
    b = "#EXTM3U\n#EXTINF:-1,Nothing to play\n# " + mp3 + "\n";
  } else if (name == "UPPER.M3U") {
    b = "#EXTM3U\n" + mp3 + "\n";
  } else if (name == "trailing.pls") {
    r.contentType = "audio/x-scpls";
    b = "[playlist]\r\nnumberofentries=2\r\nfile1=" + mp3 + "\r\nFILE2=" + aac + "\r\nversion=2\r\n\r\n\r\n\r\n";
  } else if (name == "query.pls") {
    r.contentType = "audio/x-scpls";
    b = "[playlist]\nNumberOfEntries=1\nFile1=" + mp3 + "?id=7&x=1\nVersion=2\n";
  } else if (name == "nofile.pls") {
    r.contentType = "audio/x-scpls";
    b = "[playlist]\nNumberOfEntries=2\nTitle1=No file here\nLength1=-1\nVersion=2\n";
  } else if (name == "html.pls") {
    r.contentType = "text/html";
    b = "<!DOCTYPE html><html><body><h1>Not a playlist</h1><a href=\"" + mp3 + "\">listen</a></body></html>\n";
  } else if (name == "wrong.vclt") {
    r.contentType = "audio/x-vclt";
    b = "Title=No stream url\nSTREAMURL=" + mp3 + "\nStreamUrl = " + aac + "\nstreamurl:" + mp3 + "\n";
  } else if (name == "location-string.jspf") {
    r.contentType = "application/xspf+json";
    b = "{\"playlist\": {\"track\": [{\"location\": \"" + mp3 + "\"}, {\"location\": [\"" + aac +
        "\"]}, 5, {\"location\": [\"\"]}, {\"location\": [7]}]}}\n";
  } else if (name == "notracks.jspf") {
    r.contentType = "application/xspf+json";
    b = "{\"playlist\": {\"track\": {\"location\": [\"" + mp3 + "\"]}}}\n";
  } else if (name == "bad.jspf") {
    r.contentType = "application/xspf+json";
    b = "{\"playlist\": {\"track\": [{\"location\": [\"" + mp3 + "\"]}\n";
  } else if (name == "version0.xspf") {
    r.contentType = "application/xspf+xml";
    b = "<?xml version=\"1.0\"?>\n<playlist version=\"0\"><trackList><track><location>" + mp3 +
        "</location></track></trackList></playlist>\n";
  } else if (name == "entities.xspf") {
    // Exponential entity expansion ("billion laughs").
    r.contentType = "application/xspf+xml";
    b = "<?xml version=\"1.0\"?>\n<!DOCTYPE playlist [\n<!ENTITY a \"aaaaaaaaaa\">\n";
    const char* prev = "a";
    const char* names[] = {"b", "c", "d", "e", "f", "g", "h", "i", "j"};
    for (const char* n : names) {
      b += std::string("<!ENTITY ") + n + " \"";
      for (int k = 0; k < 10; k++) b += std::string("&") + prev + ";";
      b += "\">\n";
      prev = n;
    }
    b += "]>\n<playlist version=\"1\"><title>&j;</title><trackList><track><location>" + mp3 +
         "</location></track></trackList></playlist>\n";
  } else if (name == "external.xspf") {
    r.contentType = "application/xspf+xml";
    b = "<?xml version=\"1.0\"?>\n<!DOCTYPE playlist [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n"
        "<playlist version=\"1\"><trackList><track><location>&x;</location></track><track><location>" +
        mp3 + "</location></track></trackList></playlist>\n";
  } else if (name == "deep.xspf") {
    r.contentType = "application/xspf+xml";
    b = "<?xml version=\"1.0\"?>\n<playlist version=\"1\"><trackList><track><location>" + mp3 + "</location>";
    for (int i = 0; i < 5000; i++) b += "<x>";
    for (int i = 0; i < 5000; i++) b += "</x>";
    b += "</track></trackList></playlist>\n";
  } else if (name == "badutf8.xspf") {
    r.contentType = "application/xspf+xml";
    b = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<playlist "
        "version=\"1\"><title>\xC0\xAF\xFF</title><trackList><track><location>" +
        mp3 + "</location></track></trackList></playlist>\n";
  } else if (name == "deep.json") {
    r.contentType = "application/json";
    const size_t depth = (size_t)std::clamp<long long>(ParamInt(req, "depth", 60000), 1, 1 << 24);
    b = std::string(depth, '[') + std::string(depth, ']');
  } else if (name == "surrogate.json") {
    r.contentType = "application/json";
    b = "{\"name\": \"\\ud800x\", \"info\": \"\\ud83d\\ude00 ok\", \"live\": 1, \"history\": [{\"artist\": "
        "\"\\udc00\", "
        "\"title\": \"\\ud83d\\u0041\", \"date\": \"\\u12\"}], \"status\": \"\\u";
  } else if (name == "numbers.json") {
    r.contentType = "application/json";
    b = "{\"live\": 1e-00011111111111, \"status\": 123456789012345678901234567890, \"stream\": [{\"id\": \"n\", "
        "\"url\": \"" +
        mp3 + "\", \"bitrate\": 1e999, \"codec\": \"MP3\"}, {\"url\": \"" + aac +
        "\", \"bitrate\": -128.9}, {\"url\": \"" + aac + "\", \"bitrate\": 0." + std::string(5000, '1') + "}]}\n";
  } else if (name == "wrongtypes.json") {
    r.contentType = "application/json";
    b = "{\"info\": 5, \"name\": [\"x\"], \"live\": \"yes\", \"status\": {}, \"stream\": {\"url\": \"" + mp3 +
        "\"}, \"date\": 20250101, \"history\": \"none\"}\n";
  } else if (name == "nostream.json") {
    r.contentType = "application/json";
    b = "{\"info\": \"No streams today\", \"name\": \"Silence\", \"live\": 0, \"status\": 0}\n";
  } else if (name == "emptystream.json") {
    r.contentType = "application/json";
    b = "{\"info\": \"Empty list\", \"name\": \"Silence\", \"stream\": [], \"history\": []}\n";
  } else if (name == "html.json") {
    r.contentType = "text/html";
    b = "<!DOCTYPE html><html><body>Service temporarily unavailable</body></html>\n";
  } else if (name == "bom.json") {
    r.contentType = "application/json";
    b = "\xEF\xBB\xBF{\"name\": \"Byte order mark\"}\n";
  } else if (name == "short.json") {
    r.contentType = "application/json";
    b = "{}";
  } else if (name == "") {
    r.contentType = "text/plain; charset=utf-8";
    b = "size.m3u?bytes=N unsafe.m3u extinf-last.m3u latin1.m3u cr-only.m3u crlf.m3u longline.m3u many.m3u self.m3u "
        "empty.m3u binary.m3u nul.m3u only-comments.m3u UPPER.M3U trailing.pls query.pls nofile.pls html.pls "
        "wrong.vclt "
        "location-string.jspf notracks.jspf bad.jspf version0.xspf entities.xspf external.xspf deep.xspf badutf8.xspf "
        "deep.json?depth=N surrogate.json numbers.json wrongtypes.json nostream.json emptystream.json html.json "
        "bom.json "
        "short.json\n";
  } else {
    return 0;
  }
  return 1;
}

}  // namespace

std::string BaseUrl(bool https) {
  return std::string(https ? "https" : "http") + "://127.0.0.1:" + std::to_string(gOpt.port);
}

std::string JsonEscape(const std::string& s) {
  std::string o;
  for (unsigned char c : s) {
    if (c == '"')
      o += "\\\"";
    else if (c == '\\')
      o += "\\\\";
    else if (c == '\n')
      o += "\\n";
    else if (c == '\r')
      o += "\\r";
    else if (c == '\t')
      o += "\\t";
    else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      o += buf;
    } else
      o += (char)c;
  }
  return o;
}

std::string FormatUtc(int64_t unixSeconds) {
  const time_t t = (time_t)unixSeconds;
  tm g{};
  gmtime_r(&t, &g);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &g);
  return buf;
}

std::string ToLatin1(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = (unsigned char)utf8[i];
    unsigned cp;
    size_t len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
      cp = ((c & 0x1Fu) << 6) | (utf8[i + 1] & 0x3F);
      len = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = 0x100;
      len = 3;
    } else if ((c & 0xF8) == 0xF0) {
      cp = 0x100;
      len = 4;
    } else {
      cp = '?';
      len = 1;
    }
    out += cp < 0x100 ? (char)cp : '?';
    i += len;
  }
  return out;
}

// A small shell script, padded to its size, that records its start when the test asks it
// to (CORVALE_INSTALLER_MARK). Names with "big" are 8 MiB, with "small" 1 KiB, others 256 KiB.
std::string InstallerBody(const std::string& name) {
  size_t size = 256 * 1024;
  if (name.find("big") != std::string::npos) size = 8 << 20;
  if (name.find("small") != std::string::npos) size = 1024;
  std::string s = "#!/bin/sh\n# Corvale Player test installer " + name +
                  " (served by the station simulator)\n"
                  "[ -n \"$CORVALE_INSTALLER_MARK\" ] && echo \"$0 $*\" > \"$CORVALE_INSTALLER_MARK\"\nexit 0\n";
  int line = 0;
  while (s.size() < size) {
    char buf[64];
    snprintf(buf, sizeof buf, "# %08d padding of the test installer\n", line++);
    s += buf;
  }
  s.resize(size);
  s.back() = '\n';
  return s;
}

int BuildContent(const HttpRequest& req, HttpReply& r) {
  const std::string& p = req.path;
  if (p == "/" || p == "/index.html") {
    r.contentType = "text/html; charset=utf-8";
    r.body = WebPage();
    return 1;
  }
  if (p == "/info.json" || p == "/info2.json") {
    r.contentType = "application/json";
    r.body = InfoDocument(req);
    return 1;
  }
  if (p.compare(0, 10, "/playlist.") == 0) return Playlist(req, p.substr(10), r);
  if (p == "/listen.pls") return Playlist(req, "pls", r);
  if (p.compare(0, 9, "/hostile/") == 0 || p == "/hostile") return Hostile(req, p.size() > 9 ? p.substr(9) : "", r);
  if (p.compare(0, 5, "/art/") == 0) {
    const std::string f = p.substr(5);
    const size_t dot = f.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 6 || f.find_first_not_of("0123456789") != dot) return 0;
    const int v = atoi(f.substr(0, dot).c_str()) % 8;
    const std::string fmt = f.substr(dot + 1);
    r.body = GetArtwork(v, fmt);
    if (r.body.empty()) return 0;
    r.contentType = fmt == "png" ? "image/png" : "image/jpeg";
    return 1;
  }
  if (p == "/versionlist.json") {
    r.contentType = "application/json";
    r.body = VersionList(req);
    return 1;
  }
  if (p.compare(0, 10, "/download/") == 0 && p.size() > 10 && p.find('/', 10) == std::string::npos) {
    r.contentType = "application/octet-stream";
    r.body = InstallerBody(p.substr(10));
    r.headers.push_back({"Content-Disposition", "attachment; filename=\"" + p.substr(10) + "\""});
    return 1;
  }
  return 0;
}
