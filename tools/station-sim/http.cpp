// One thread per connection: read the request, apply a fault when one is asked for, and
// answer with a document or an ICY stream paced at real time. A slow listener blocks only
// its own thread; "drop" and shutdown wake every thread by shutting its socket down.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <condition_variable>
#include <cstring>
#include <set>
#include <thread>

#include "station_sim.h"

std::atomic<bool> gStopping{false};
SSL_CTX* gTlsContext = nullptr;

namespace {

using Clock = std::chrono::steady_clock;

struct Conn {
  int fd = -1;
  SSL* ssl = nullptr;
  std::atomic<bool> dropped{false};
  std::atomic<bool> isStream{false};
  std::atomic<uint64_t> sent{0};
  std::string path;  // set before isStream, read by stats under gConnMutex
  int64_t title = 0;
};

struct PathStats {
  uint64_t requests = 0;
  uint64_t bytes = 0;
};

struct Fault {
  std::string kind;  // "" = none
  long long n = -1;
  long long ms = -1;
  int code = 0;
  std::string ctype;
  std::string to;
  long long times = -1;  // control-set faults: how many more requests (-1 = until cleared)
};

std::mutex gConnMutex;  // guards gConns, gStats, gFaults; gWakeCv waits on it
std::condition_variable gWakeCv;
std::set<Conn*> gConns;
std::map<std::string, PathStats> gStats;
std::map<std::string, Fault> gFaults;
uint64_t gTotalBytes = 0;
uint64_t gTotalRequests = 0;

bool Aborted(Conn* c) { return c->dropped.load() || gStopping.load(); }

// Sleeps up to ms; returns 0 when the connection is being dropped or the simulator stops.
int Pause(Conn* c, long long ms) {
  std::unique_lock<std::mutex> lock(gConnMutex);
  gWakeCv.wait_for(lock, std::chrono::milliseconds(ms), [c] { return Aborted(c); });
  return !Aborted(c);
}

void CountBytes(Conn* c, size_t n) {
  c->sent += n;
  std::lock_guard<std::mutex> lock(gConnMutex);
  gStats[c->path].bytes += n;
  gTotalBytes += n;
}

int SendRaw(Conn* c, const char* data, size_t len) {
  while (len > 0) {
    if (Aborted(c)) return 0;
    const size_t chunk = std::min<size_t>(len, 16384);
    long r;
    if (c->ssl) {
      r = SSL_write(c->ssl, data, (int)chunk);
      if (r <= 0) return 0;
    } else {
      r = send(c->fd, data, chunk, MSG_NOSIGNAL);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return 0;
    }
    CountBytes(c, (size_t)r);
    data += r;
    len -= (size_t)r;
  }
  return 1;
}
int SendRaw(Conn* c, const std::string& s) { return SendRaw(c, s.data(), s.size()); }

long RecvSome(Conn* c, char* buf, size_t len) {
  if (c->ssl) {
    const int r = SSL_read(c->ssl, buf, (int)len);
    return r > 0 ? r : -1;
  }
  for (;;) {
    const long r = recv(c->fd, buf, len, 0);
    if (r < 0 && errno == EINTR) continue;
    return r > 0 ? r : -1;
  }
}

// Stays connected and sends nothing until the client leaves, a drop or shutdown.
void Stall(Conn* c) {
  while (!Aborted(c)) {
    pollfd p{c->fd, POLLIN, 0};
    const int r = poll(&p, 1, 200);
    if (r > 0) {
      char b[512];
      if (c->ssl ? SSL_read(c->ssl, b, sizeof b) <= 0 : recv(c->fd, b, sizeof b, MSG_DONTWAIT) == 0) return;
      if (p.revents & (POLLHUP | POLLERR)) return;
    }
  }
}

std::string UrlDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '%' && i + 2 < s.size() && isxdigit((unsigned char)s[i + 1]) && isxdigit((unsigned char)s[i + 2])) {
      out += (char)std::stoi(s.substr(i + 1, 2), nullptr, 16);
      i += 2;
    } else if (s[i] == '+') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

int ParseRequest(const std::string& head, HttpRequest& req) {
  size_t lineEnd = head.find("\r\n");
  if (lineEnd == std::string::npos) return 0;
  const std::string line = head.substr(0, lineEnd);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = line.find(' ', sp1 + 1);
  if (sp1 == std::string::npos || sp2 == std::string::npos) return 0;
  req.method = line.substr(0, sp1);
  req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string target = req.target;
  // An absolute URL in the request line (proxy style) is reduced to its path.
  if (target.compare(0, 7, "http://") == 0 || target.compare(0, 8, "https://") == 0) {
    const size_t slash = target.find('/', target.find("//") + 2);
    target = slash == std::string::npos ? "/" : target.substr(slash);
  }
  const size_t q = target.find('?');
  req.path = UrlDecode(target.substr(0, q));
  req.query = q == std::string::npos ? "" : target.substr(q + 1);
  size_t pos = 0;
  while (pos <= req.query.size() && !req.query.empty()) {
    size_t amp = req.query.find('&', pos);
    if (amp == std::string::npos) amp = req.query.size();
    const std::string kv = req.query.substr(pos, amp - pos);
    const size_t eq = kv.find('=');
    if (!kv.empty())
      req.params[UrlDecode(kv.substr(0, eq))] = eq == std::string::npos ? "" : UrlDecode(kv.substr(eq + 1));
    pos = amp + 1;
  }
  pos = lineEnd + 2;
  while (pos < head.size()) {
    size_t e = head.find("\r\n", pos);
    if (e == std::string::npos) e = head.size();
    const std::string h = head.substr(pos, e - pos);
    const size_t colon = h.find(':');
    if (colon != std::string::npos) {
      std::string name = h.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(), ::tolower);
      std::string value = h.substr(colon + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
      req.headers[name] = value;
    }
    pos = e + 2;
  }
  return 1;
}

long long ParamInt(const HttpRequest& req, const char* name, long long def) {
  auto it = req.params.find(name);
  if (it == req.params.end() || it->second.empty()) return def;
  char* end = nullptr;
  const long long v = strtoll(it->second.c_str(), &end, 10);
  return end && *end == 0 ? v : def;
}

std::string Param(const HttpRequest& req, const char* name, const std::string& def = "") {
  auto it = req.params.find(name);
  return it == req.params.end() ? def : it->second;
}

Fault FaultFromParams(const HttpRequest& req, const char* kindParam) {
  Fault f;
  f.kind = Param(req, kindParam);
  f.n = ParamInt(req, "n", -1);
  f.ms = ParamInt(req, "ms", -1);
  f.code = (int)ParamInt(req, "code", 0);
  f.ctype = Param(req, "ctype");
  f.to = Param(req, "to");
  f.times = ParamInt(req, "times", -1);
  return f;
}

// The fault of this request: the URL's own "fault" parameter, else one set for its path.
Fault TakeFault(const HttpRequest& req) {
  if (req.params.count("fault")) return FaultFromParams(req, "fault");
  std::lock_guard<std::mutex> lock(gConnMutex);
  auto it = gFaults.find(req.path);
  if (it == gFaults.end()) return Fault();
  Fault f = it->second;
  if (it->second.times > 0 && --it->second.times == 0) gFaults.erase(it);
  return f;
}

std::string ReasonOf(int code) {
  switch (code) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::string StatusHead(int code, const std::string& ctype, long long length,
                       const std::vector<std::pair<std::string, std::string>>& extra = {}) {
  std::string h = "HTTP/1.1 " + std::to_string(code) + " " + ReasonOf(code) + "\r\n";
  h += "Server: station-sim\r\n";
  if (!ctype.empty()) h += "Content-Type: " + ctype + "\r\n";
  if (length >= 0) h += "Content-Length: " + std::to_string(length) + "\r\n";
  for (auto& kv : extra) h += kv.first + ": " + kv.second + "\r\n";
  h += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
  return h;
}

void SendStatus(Conn* c, const HttpRequest& req, int code, const std::string& text,
                const std::vector<std::pair<std::string, std::string>>& extra = {}) {
  const std::string body = text + "\n";
  SendRaw(c, StatusHead(code, "text/plain; charset=utf-8", (long long)body.size(), extra));
  if (req.method != "HEAD") SendRaw(c, body);
}

std::string Garbage(size_t n, uint64_t seed) {
  std::string s(n, '\0');
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    s[i] = (char)(x >> 24);
  }
  return s;
}

// A fixed document, with the body faults: close after n bytes, stall after n bytes, no
// Content-Length, endless body, garbage, wrong content type; "rate" limits bytes per second.
void SendReply(Conn* c, const HttpRequest& req, HttpReply& reply, const Fault& f) {
  std::string ctype = reply.contentType;
  if (f.kind == "type") ctype = f.ctype.empty() ? "text/html; charset=utf-8" : f.ctype;
  if (f.kind == "garbage") reply.body = Garbage(f.n >= 0 ? (size_t)f.n : reply.body.size(), 7);
  const bool noLength = f.kind == "nolength" || f.kind == "endless";
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason + "\r\nServer: station-sim\r\n";
  head += "Content-Type: " + ctype + "\r\n";
  if (!noLength) head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  for (auto& kv : reply.headers) head += kv.first + ": " + kv.second + "\r\n";
  head += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
  if (!SendRaw(c, head) || req.method == "HEAD") return;

  size_t limit = reply.body.size();
  if (f.kind == "close" || f.kind == "stall") {
    if (f.kind == "close" && f.n < 0) limit = reply.body.size() / 2;
    if (f.n >= 0) limit = std::min<size_t>(limit, (size_t)f.n);
  }
  const long long rate = ParamInt(req, "rate", 0);
  size_t pos = 0;
  while (pos < limit) {
    size_t chunk = limit - pos;
    if (rate > 0) chunk = std::min<size_t>(chunk, (size_t)std::max<long long>(1, rate / 10));
    if (!SendRaw(c, reply.body.data() + pos, chunk)) return;
    pos += chunk;
    if (rate > 0 && pos < limit && !Pause(c, 100)) return;
  }
  if (f.kind == "stall") {
    Stall(c);
  } else if (f.kind == "endless") {
    // Whitespace keeps a JSON document well-formed however much of it a client reads.
    const std::string filler(65536, ' ');
    while (SendRaw(c, filler)) {
    }
  }
}

// ---- ICY streams ----

// Hostile metadata texts for "meta=<name>", sent whole in place of the StreamTitle.
std::string HostileMeta(const std::string& name) {
  if (name == "long") {  // length byte 255: 4080 bytes, no NUL, no closing quote
    std::string t = "StreamTitle='Long Artist - ";
    t.resize(255 * 16, 'x');
    return t;
  }
  if (name == "noquote") return "StreamTitle='Unclosed Artist - Unclosed Title";
  if (name == "quote") return "StreamTitle='Jane';Doe - It's ';here';StreamUrl='';";
  if (name == "nul") return std::string("StreamTitle='Null") + '\0' + "Byte - Title';StreamUrl='';";
  if (name == "escape")
    return "StreamTitle='\x1b[31mRed\x1b[0m - \x07"
           "Bell\x1b]0;title\x07';StreamUrl='';";
  if (name == "badutf8")
    return "StreamTitle='Bad \xC3\x28 UTF-8 - Overlong \xE0\x80\xAF \xF0\x28\x8C\x28';StreamUrl='';";
  if (name == "latin1")
    return "StreamTitle='Caf\xE9 M\xFCller - Fran\xE7"
           "ais \xE0 la carte';StreamUrl='';";
  if (name == "empty") return "StreamTitle='';StreamUrl='';";
  if (name == "nostreamtitle") return "StreamUrl='http://127.0.0.1/';";
  if (name == "jingle") return "StreamTitle='Corvale Demo Radio Jingle';StreamUrl='';";
  if (name == "album") return "StreamTitle='Artist - Album - Title';StreamUrl='x';";
  if (name == "case") return "streamtitle='Lower Case - Key';streamurl='';";
  if (name == "paths")
    return "StreamTitle='../../etc/AC\\DC: Back/In <Black>? - \x1b[31mRed|*\xE2\x80\xAEtxt.exe';StreamUrl='';";
  return "";
}

std::string MetaBlock(const std::string& streamTitle, bool latin1, bool raw = false) {
  std::string text =
      raw ? streamTitle : "StreamTitle='" + (latin1 ? ToLatin1(streamTitle) : streamTitle) + "';StreamUrl='';";
  if (text.size() > 255 * 16) text.resize(255 * 16);
  const size_t blocks = (text.size() + 15) / 16;
  std::string out(1, (char)blocks);
  out += text;
  out.resize(1 + blocks * 16, '\0');
  return out;
}

struct IcyWriter {
  Conn* c;
  bool meta;
  bool latin1;
  bool storm;
  bool garbage;
  int metaint;
  long long toMeta;
  long long limit;  // body bytes before the close or stall fault takes over (-1 = none)
  long long body = 0;
  std::string lastAnnounced;
  uint64_t stormCount = 0;
  bool first = true;
  std::string hostile;  // a hostile text sent instead of each title
  size_t chunk = 0;     // largest single write (0 = no limit), to split blocks across reads

  // --dump-dir: the audio bytes sent under each announced title, one file per title. The
  // bytes before the first announcement belong to the first title.
  std::string dumpPrefix;  // "" = no dump
  FILE* dumpFile = nullptr;
  int dumpSeq = 0;
  bool dumpAnnounced = false;
  bool emittingAudio = false;
  // What the bytes in `pending` mean for the dump, applied once they are sent: audio
  // (announce = false) or a title's block text.
  std::vector<std::pair<bool, std::string>> dumpOps;

  ~IcyWriter() {
    if (dumpFile) fclose(dumpFile);
  }
  void DumpAnnounce(const std::string& metaText) {
    if (dumpPrefix.empty()) return;
    if (dumpAnnounced || !dumpFile) {
      if (dumpFile) fclose(dumpFile);
      ++dumpSeq;
      dumpFile = fopen((dumpPrefix + std::to_string(dumpSeq) + ".bin").c_str(), "wb");
    }
    dumpAnnounced = true;
    if (FILE* t = fopen((dumpPrefix + std::to_string(dumpSeq) + ".txt").c_str(), "wb")) {
      fwrite(metaText.data(), 1, metaText.size(), t);
      fclose(t);
    }
  }
  void DumpAudio(const char* data, size_t len) {
    if (dumpPrefix.empty()) return;
    if (!dumpFile) {
      ++dumpSeq;
      dumpFile = fopen((dumpPrefix + std::to_string(dumpSeq) + ".bin").c_str(), "wb");
    }
    if (dumpFile) {
      fwrite(data, 1, len, dumpFile);
      fflush(dumpFile);
    }
  }

  std::string TitleText(int64_t title) {
    const TitleMeta& m = GetTitleMeta(VariantOf(title));
    return m.artist + " - " + m.title;
  }

  // Returns 0 when the connection is over (client gone, drop, or the byte limit reached).
  int Write(const char* data, size_t len, int64_t title, bool* limitHit) {
    std::string noise;
    if (garbage) {
      noise = Garbage(len, (uint64_t)body + 99);
      data = noise.data();
    }
    while (len > 0) {
      if (meta && toMeta == 0) {
        std::string text;
        if (storm) {
          text = TitleText((int64_t)stormCount++);
        } else {
          const std::string now = TitleText(title);
          if (first || now != lastAnnounced) text = now;
          lastAnnounced = now;
        }
        first = false;
        std::string block;
        if (text.empty())
          block = std::string(1, '\0');
        else if (!hostile.empty())
          block = MetaBlock(hostile, false, true);
        else
          block = MetaBlock(text, latin1);
        if (!text.empty() && !dumpPrefix.empty()) dumpOps.push_back({true, block.substr(1)});
        if (!Emit(block.data(), block.size(), limitHit)) return 0;
        toMeta = metaint;
      }
      size_t chunk = len;
      if (meta) chunk = std::min<size_t>(chunk, (size_t)toMeta);
      emittingAudio = true;
      const int emitted = Emit(data, chunk, limitHit);
      emittingAudio = false;
      if (!emitted) return 0;
      if (meta) toMeta -= (long long)chunk;
      data += chunk;
      len -= chunk;
    }
    return 1;
  }

  // Bytes are gathered and sent in one piece per pacing step, as a server with a burst
  // buffer does; a client must not get the burst one frame per packet.
  std::string pending;

  int Emit(const char* data, size_t len, bool* limitHit) {
    if (limit >= 0 && body + (long long)len >= limit) {
      const size_t part = (size_t)(limit - body);
      if (emittingAudio && !dumpPrefix.empty()) dumpOps.push_back({false, std::string(data, part)});
      pending.append(data, part);
      body += (long long)part;
      *limitHit = true;
      Flush();
      return 0;
    }
    if (emittingAudio && !dumpPrefix.empty()) dumpOps.push_back({false, std::string(data, len)});
    pending.append(data, len);
    body += (long long)len;
    return pending.size() < 65536 ? 1 : Flush();
  }

  int Flush() {
    int ok = 1;
    if (chunk == 0) {
      ok = pending.empty() ? 1 : SendRaw(c, pending);
    } else {
      for (size_t p = 0; ok && p < pending.size(); p += chunk)
        ok = SendRaw(c, pending.data() + p, std::min(chunk, pending.size() - p));
    }
    pending.clear();
    // Only what went out is what the listener was sent.
    for (const auto& [announce, bytes] : dumpOps) {
      if (!ok) break;
      if (announce)
        DumpAnnounce(bytes);
      else
        DumpAudio(bytes.data(), bytes.size());
    }
    dumpOps.clear();
    return ok;
  }
};

void ServeStream(Conn* c, const HttpRequest& req, int codec, const Fault& f) {
  const CodecDesc& d = GetCodecDesc(codec);
  const bool legacy = gOpt.legacyAll || Param(req, "legacy") == "1";
  auto im = req.headers.find("icy-metadata");
  const bool wantMeta = im != req.headers.end() && atoi(im->second.c_str()) == 1;
  int metaint = (int)ParamInt(req, "metaint", gOpt.metaint);
  if (metaint < 1) metaint = gOpt.metaint;
  const std::string name = Param(req, "name", gOpt.stationName);
  const std::string ctype = f.kind == "type" ? (f.ctype.empty() ? "text/html" : f.ctype) : d.mime;
  const std::string site = BaseUrl(false) + "/";
  // "badmetaint=TEXT" announces TEXT as the interval and sends no metadata at all;
  // "badmetaint=dup" sends two headers, 8192 first, then the interval really used.
  const std::string bad = Param(req, "badmetaint");
  bool sendMeta = wantMeta;
  std::string metaHeader = "icy-metaint: " + std::to_string(metaint) + "\r\n";
  std::string legacyMetaHeader = "icy-metaint:" + std::to_string(metaint) + "\r\n";
  if (bad == "dup") {
    metaHeader = "icy-metaint: 8192\r\n" + metaHeader;
    legacyMetaHeader = "icy-metaint:8192\r\n" + legacyMetaHeader;
  } else if (!bad.empty()) {
    metaHeader = "icy-metaint: " + bad + "\r\n";
    legacyMetaHeader = "icy-metaint:" + bad + "\r\n";
    sendMeta = false;
  }
  std::string head;
  if (legacy) {
    head = "ICY 200 OK\r\n";
    head += "icy-notice1:<BR>This stream requires an ICY capable player<BR>\r\n";
    head += "icy-notice2:SHOUTcast Distributed Network Audio Server/posix v1.9.8<BR>\r\n";
    head += "icy-name:" + ToLatin1(name) + "\r\n";
    head += "icy-genre:Ambient\r\n";
    head += "icy-url:" + site + "\r\n";
    head += "content-type:" + ctype + "\r\n";
    head += "icy-pub:1\r\n";
    if (wantMeta) head += legacyMetaHeader;
    head += "icy-br:" + std::to_string(d.kbps) + "\r\n\r\n";
  } else {
    head = "HTTP/1.1 200 OK\r\nServer: station-sim\r\n";
    head += "Content-Type: " + ctype + "\r\n";
    head += "icy-name: " + name + "\r\n";
    head += "icy-genre: Ambient\r\n";
    head += "icy-br: " + std::to_string(d.kbps) + "\r\n";
    head += "icy-url: " + site + "\r\n";
    head += "icy-pub: 0\r\n";
    head += "icy-description: Generated music from the loopback studio\r\n";
    if (wantMeta) head += metaHeader;
    head += "Cache-Control: no-cache, no-store\r\nConnection: close\r\n\r\n";
  }
  // The first title is encoded before the reply starts, so the headers come with audio.
  ScheduleSnapshot s = GetSchedule();
  int64_t title = s.index;
  int64_t forcedSeen = s.forced;
  std::shared_ptr<const EncodedTitle> enc = GetEncodedTitle(VariantOf(title), codec, &c->dropped);
  if (!enc) return;
  s = GetSchedule();
  if (s.index != title) {
    title = s.index;
    forcedSeen = s.forced;
    enc = GetEncodedTitle(VariantOf(title), codec, &c->dropped);
    if (!enc) return;
  }
  const auto t0 = Clock::now();
  if (!SendRaw(c, head) || req.method == "HEAD") return;

  IcyWriter w;
  w.c = c;
  w.meta = sendMeta;
  w.hostile = HostileMeta(Param(req, "meta"));
  w.chunk = (size_t)std::clamp<long long>(ParamInt(req, "chunk", 0), 0, 1 << 20);
  w.latin1 = legacy;
  w.storm = f.kind == "storm";
  w.garbage = f.kind == "garbage";
  w.metaint = metaint;
  w.toMeta = metaint;
  if (!gOpt.dumpDir.empty()) {
    static std::atomic<int> listeners{0};
    w.dumpPrefix = gOpt.dumpDir + "/l" + std::to_string(++listeners) + "-";
  }
  w.limit = (f.kind == "close" || f.kind == "stall") ? f.n : -1;
  if (f.kind == "close" && f.n < 0 && f.ms < 0) w.limit = 65536;
  const long long closeMs = f.kind == "close" ? f.ms : -1;

  // Join mid-title at the schedule's position; Ogg streams get their header pages first.
  auto firstUnitAfter = [](const EncodedTitle& e, double pos) {
    size_t i = (size_t)e.headerUnits;
    while (i + 1 < e.units.size() && e.units[i].end <= pos) i++;
    return i;
  };
  double pos = std::min(s.elapsed, enc->duration);
  size_t ui = firstUnitAfter(*enc, pos);
  double base = -pos;  // listener time at which the title's time 0 lies
  double sentUntil = 0;
  bool limitHit = false;
  auto sendHeaders = [&](const EncodedTitle& e, size_t from) {
    if (from == 0) return 1;  // the title's own start carries them
    for (int h = 0; h < e.headerUnits; h++)
      if (!w.Write(e.bytes.data() + e.units[h].offset, e.units[h].size, title, &limitHit)) return 0;
    return 1;
  };
  {
    std::lock_guard<std::mutex> lock(gConnMutex);
    c->title = title;
  }
  if (!sendHeaders(*enc, ui)) goto done;

  while (!Aborted(c)) {
    const double now = std::chrono::duration<double>(Clock::now() - t0).count();
    if (closeMs >= 0 && now * 1000 >= closeMs) break;
    s = GetSchedule();
    // A forced title change, or a listener that fell a title behind, jumps to the schedule.
    const bool forcedJump = s.forced != forcedSeen && s.index > title;
    const bool behind = s.index > title + 1 || (s.index == title + 1 && s.elapsed > 1.5);
    forcedSeen = s.forced;
    bool switched = false;
    if (forcedJump || behind) {
      title = s.index;
      enc = GetEncodedTitle(VariantOf(title), codec, &c->dropped);
      if (!enc) break;
      pos = std::min(s.elapsed, enc->duration);
      ui = firstUnitAfter(*enc, pos);
      base = sentUntil - pos;
      switched = true;
    } else if (ui >= enc->units.size()) {
      title++;
      enc = GetEncodedTitle(VariantOf(title), codec, &c->dropped);
      if (!enc) break;
      ui = 0;
      base = sentUntil;
      switched = true;
    }
    if (switched) {
      {
        std::lock_guard<std::mutex> lock(gConnMutex);
        c->title = title;
      }
      if (!sendHeaders(*enc, ui)) break;
    }
    // "trickle": half of real time and no burst, so a listener's buffer runs dry.
    const double allowed = f.kind == "trickle"
                               ? std::chrono::duration<double>(Clock::now() - t0).count() * 0.5
                               : std::chrono::duration<double>(Clock::now() - t0).count() + gOpt.burstSeconds;
    bool any = false;
    while (ui < enc->units.size() && base + enc->units[ui].end <= allowed) {
      const EncodedUnit& u = enc->units[ui];
      if (!w.Write(enc->bytes.data() + u.offset, u.size, title, &limitHit)) goto done;
      sentUntil = base + u.end;
      ui++;
      any = true;
    }
    if (!w.Flush()) break;
    if (ui < enc->units.size() || !any)
      if (!Pause(c, 100)) break;
  }
done:
  w.Flush();
  if (limitHit && f.kind == "stall") Stall(c);
}

// ---- control endpoint ----

std::string StatsJson() {
  const ScheduleSnapshot s = GetSchedule();
  const TitleMeta& m = GetTitleMeta(VariantOf(s.index));
  std::string j = "{\n";
  std::lock_guard<std::mutex> lock(gConnMutex);
  int listeners = 0;
  std::string streams;
  for (Conn* c : gConns) {
    if (!c->isStream || c->dropped) continue;
    listeners++;
    if (!streams.empty()) streams += ",\n";
    streams += "    {\"path\": \"" + JsonEscape(c->path) + "\", \"bytes\": " + std::to_string(c->sent.load()) +
               ", \"title\": " + std::to_string(c->title) + "}";
  }
  j += "  \"listeners\": " + std::to_string(listeners) + ",\n";
  j += "  \"connections\": " + std::to_string(gConns.size()) + ",\n";
  j += "  \"requests\": " + std::to_string(gTotalRequests) + ",\n";
  j += "  \"bytes\": " + std::to_string(gTotalBytes) + ",\n";
  char elapsed[32];
  snprintf(elapsed, sizeof elapsed, "%.3f", s.elapsed);
  j += "  \"title\": {\"index\": " + std::to_string(s.index) + ", \"variant\": " + std::to_string(VariantOf(s.index)) +
       ", \"artist\": \"" + JsonEscape(m.artist) + "\", \"title\": \"" + JsonEscape(m.title) + "\", \"album\": \"" +
       JsonEscape(m.album) + "\", \"loudness\": " + std::to_string((int)m.loudness) + ", \"elapsed\": " + elapsed +
       ", \"date\": \"" + FormatUtc(s.startUnix) + "\", \"streamtitle\": \"" + JsonEscape(m.artist + " - " + m.title) +
       "\"},\n";
  j += "  \"titleseconds\": " + std::to_string(gOpt.titleSeconds) + ",\n";
  j += "  \"streams\": [\n" + streams + (streams.empty() ? "" : "\n") + "  ],\n";
  j += "  \"paths\": {";
  bool firstPath = true;
  for (auto& kv : gStats) {
    j += firstPath ? "\n" : ",\n";
    firstPath = false;
    j += "    \"" + JsonEscape(kv.first) + "\": {\"requests\": " + std::to_string(kv.second.requests) +
         ", \"bytes\": " + std::to_string(kv.second.bytes) + "}";
  }
  j += "\n  },\n  \"faults\": {";
  firstPath = true;
  for (auto& kv : gFaults) {
    j += firstPath ? "\n" : ",\n";
    firstPath = false;
    j += "    \"" + JsonEscape(kv.first) + "\": {\"kind\": \"" + JsonEscape(kv.second.kind) +
         "\", \"n\": " + std::to_string(kv.second.n) + ", \"ms\": " + std::to_string(kv.second.ms) +
         ", \"times\": " + std::to_string(kv.second.times) + "}";
  }
  j += "\n  }\n}\n";
  return j;
}

void HandleControl(Conn* c, const HttpRequest& req) {
  HttpReply r;
  r.contentType = "application/json";
  const std::string what = req.path.substr(9);
  if (what == "next") {
    const int64_t idx = ForceNextTitle();
    const TitleMeta& m = GetTitleMeta(VariantOf(idx));
    r.body = "{\"ok\": 1, \"index\": " + std::to_string(idx) + ", \"artist\": \"" + JsonEscape(m.artist) +
             "\", \"title\": \"" + JsonEscape(m.title) + "\"}\n";
  } else if (what == "drop") {
    r.body = "{\"ok\": 1, \"dropped\": " + std::to_string(DropAllListeners()) + "}\n";
  } else if (what == "fault") {
    Fault f = FaultFromParams(req, "kind");
    const std::string path = Param(req, "path");
    if (path.empty() || path[0] != '/') {
      r.status = 400;
      r.reason = "Bad Request";
      r.body = "{\"ok\": 0, \"error\": \"path must start with /\"}\n";
    } else {
      std::lock_guard<std::mutex> lock(gConnMutex);
      if (f.kind.empty() || f.kind == "none")
        gFaults.erase(path);
      else
        gFaults[path] = f;
      r.body = "{\"ok\": 1}\n";
    }
  } else if (what == "clear") {
    std::lock_guard<std::mutex> lock(gConnMutex);
    gFaults.clear();
    r.body = "{\"ok\": 1}\n";
  } else if (what == "refuse") {
    const long long ms = ParamInt(req, "ms", 2000);
    const int ok = RequestRefuse((int)std::clamp<long long>(ms, 1, 600000));
    r.body = std::string("{\"ok\": ") + (ok ? "1" : "0") + "}\n";
  } else if (what == "stats") {
    r.body = StatsJson();
  } else {
    r.status = 404;
    r.reason = "Not Found";
    r.body = "{\"ok\": 0, \"error\": \"unknown control\"}\n";
  }
  SendReply(c, req, r, Fault());
}

void HandleRequest(Conn* c, const HttpRequest& req) {
  {
    std::lock_guard<std::mutex> lock(gConnMutex);
    c->path = req.path;
    gTotalRequests++;
  }
  uint64_t count;
  {
    std::lock_guard<std::mutex> lock(gConnMutex);
    count = ++gStats[req.path].requests;
  }
  if (gOpt.verbose)
    fprintf(stderr, "station-sim: %s %s%s\n", req.method.c_str(), req.tls ? "(tls) " : "", req.target.c_str());
  if (req.path.compare(0, 9, "/control/") == 0) {
    HandleControl(c, req);
    return;
  }
  const Fault f = TakeFault(req);
  const std::string& k = f.kind;
  if (k == "reset") {
    linger l{1, 0};
    setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    c->dropped = true;  // no TLS close_notify either: the peer sees a reset
    return;
  }
  if (k == "stall" && f.n < 0) {
    Stall(c);
    return;
  }
  if (k == "slow" && !Pause(c, f.ms >= 0 ? f.ms : 3000)) return;
  if (k == "404" || k == "500" || k == "status") {
    const int code = k == "status" ? (f.code > 0 ? f.code : 503) : atoi(k.c_str());
    SendStatus(c, req, code, "fault " + std::to_string(code));
    return;
  }
  if (k == "flaky" && count % (uint64_t)std::max<long long>(1, f.n > 0 ? f.n : 2) == 0) {
    SendStatus(c, req, 500, "flaky failure");
    return;
  }
  if (k == "icy404" || k == "icy") {
    // A SHOUTcast v1 error: "ICY 401 Service Unavailable" when full, "ICY 404" for a bad mount.
    const int code = k == "icy404" ? 404 : (f.code > 0 ? f.code : 401);
    const char* reason = code == 401 ? "Service Unavailable" : code == 404 ? "Resource Not Found" : "Error";
    SendRaw(c, "ICY " + std::to_string(code) + " " + reason + "\r\nicy-notice1:<BR>" + reason + "<BR>\r\n\r\n");
    return;
  }
  if (k.compare(0, 8, "redirect") == 0) {
    // The target keeps the path and the query without the fault itself.
    std::string query;
    for (auto& kv : req.params) {
      if (kv.first == "fault" || kv.first == "to") continue;
      query += (query.empty() ? "?" : "&") + kv.first + (kv.second.empty() ? "" : "=" + kv.second);
    }
    std::string loc;
    if (!f.to.empty())
      loc = f.to;
    else if (k == "redirect")
      loc = BaseUrl(req.tls) + req.path + query;
    else if (k == "redirect-https")
      loc = BaseUrl(true) + req.path + query;
    else if (k == "redirect-http")
      loc = BaseUrl(false) + req.path + query;
    else if (k == "redirect-loop")
      loc = BaseUrl(req.tls) + req.target;
    else if (k == "redirect-file")
      loc = "file:///etc/passwd";
    else if (k == "redirect-ftp")
      loc = "ftp://127.0.0.1/pub/stream.mp3";
    else
      loc = BaseUrl(req.tls) + "/";
    SendStatus(c, req, f.code == 301 ? 301 : 302, "moved to " + loc, {{"Location", loc}});
    return;
  }

  // Streams: /stream/<codec> and the file-like aliases /live.mp3, /live.aac, /live.opus, /live.ogg.
  int codec = -1;
  if (req.path.compare(0, 8, "/stream/") == 0) codec = CodecFromKey(req.path.substr(8));
  if (req.path == "/live.mp3") codec = CodecMp3;
  if (req.path == "/live.aac") codec = CodecAac;
  if (req.path == "/live.opus") codec = CodecOpus;
  if (req.path == "/live.ogg") codec = CodecVorbis;
  if (codec >= 0) {
    c->isStream = true;
    ServeStream(c, req, codec, f);
    return;
  }
  HttpReply reply;
  if (!BuildContent(req, reply)) {
    SendStatus(c, req, 404, "not found: " + req.path);
    return;
  }
  SendReply(c, req, reply, f);
}

}  // namespace

void ServeConnection(int fd) {
  Conn conn;
  conn.fd = fd;
  {
    std::lock_guard<std::mutex> lock(gConnMutex);
    gConns.insert(&conn);
  }
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  // HTTPS and HTTP share the port: a TLS handshake starts with byte 0x16.
  unsigned char first = 0;
  const long peeked = recv(fd, &first, 1, MSG_PEEK);
  bool ok = peeked == 1;
  bool tls = false;
  if (ok && first == 0x16) {
    if (!gTlsContext) {
      ok = false;
    } else {
      conn.ssl = SSL_new(gTlsContext);
      SSL_set_fd(conn.ssl, fd);
      ok = SSL_accept(conn.ssl) == 1;
      tls = true;
      if (!ok) ERR_clear_error();
    }
  }
  std::string head;
  if (ok) {
    char buf[2048];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384 && !Aborted(&conn)) {
      const long r = RecvSome(&conn, buf, sizeof buf);
      if (r <= 0) break;
      head.append(buf, (size_t)r);
    }
  }
  const size_t end = head.find("\r\n\r\n");
  if (ok && end != std::string::npos) {
    HttpRequest req;
    req.tls = tls;
    if (ParseRequest(head.substr(0, end + 2), req))
      HandleRequest(&conn, req);
    else
      SendStatus(&conn, req, 400, "bad request");
  }
  if (conn.ssl) {
    if (!conn.dropped && !gStopping) SSL_shutdown(conn.ssl);
    SSL_free(conn.ssl);
    ERR_clear_error();
  }
  {
    std::lock_guard<std::mutex> lock(gConnMutex);
    gConns.erase(&conn);
  }
  close(fd);
  gWakeCv.notify_all();
}

int DropAllListeners() {
  int n = 0;
  {
    std::lock_guard<std::mutex> lock(gConnMutex);
    for (Conn* c : gConns)
      if (c->isStream && !c->dropped) {
        c->dropped = true;
        shutdown(c->fd, SHUT_RDWR);
        n++;
      }
  }
  gWakeCv.notify_all();
  return n;
}

void StopAllConnections() {
  gStopping = true;
  std::lock_guard<std::mutex> lock(gConnMutex);
  for (Conn* c : gConns) {
    c->dropped = true;
    shutdown(c->fd, SHUT_RDWR);
  }
  gWakeCv.notify_all();
}

void SetFaultSpec(const std::string& path, const std::string& query) {
  HttpRequest req;
  ParseRequest("GET " + path + "?" + query + " HTTP/1.1\r\n", req);
  Fault f = FaultFromParams(req, "kind");
  std::lock_guard<std::mutex> lock(gConnMutex);
  if (f.kind.empty() || f.kind == "none")
    gFaults.erase(path);
  else
    gFaults[path] = f;
}

int ActiveConnections() {
  std::lock_guard<std::mutex> lock(gConnMutex);
  return (int)gConns.size();
}
