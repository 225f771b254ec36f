// The network source: one download thread per stream runs a libcurl transfer through
// the multi interface, so that freeing the stream can wake it at once whatever it is
// waiting for (DNS, TLS, a silent server). The audio goes into a bounded ring; when the
// ring is full the thread simply waits in the write callback until the decoder has
// taken a quarter of it, which limits the download to the playback rate.
#include <curl/curl.h>
#ifndef _WIN32
#include <openssl/crypto.h>
#endif
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "icy.h"
#include "internal.h"

namespace audiolib {

namespace {

std::once_flag gCurlOnce;

struct Transfer {
  StreamPtr stream;
  NetSource* net;
  IcyDemux icy;
  bool aborted = false;
  void* easy = nullptr;
  bool checkServer = false;  // the server's certificate against the system's authorities
};

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

// The value of the last header of that name ("" when none): a server that repeats
// icy-metaint interleaves its blocks at the interval it announced last.
std::string HeaderValue(const std::vector<std::string>& headers, const char* name) {
  const size_t n = std::strlen(name);
  std::string value;
  for (const std::string& h : headers) {
    if (h.size() > n && h[n] == ':' && strncasecmp(h.c_str(), name, n) == 0) value = h.substr(n + 1);
  }
  return value;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  NetSource& n = *t->net;
  const size_t length = size * count;
  if (n.stop) return 0;
  std::string line(data, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  const bool statusLine = StartsWithNoCase(line, "HTTP/") || StartsWithNoCase(line, "ICY ");
#ifdef _WIN32
  // Before anything of a response is believed; each redirect may lead to another server.
  if (statusLine && t->checkServer && !ServerCertificateTrusted(t->easy)) {
    std::lock_guard<std::mutex> g(n.headerLock);
    n.phase = 2;
    n.error = BASS_ERROR_FILEOPEN;
    n.headerCv.notify_all();
    return 0;
  }
#endif

  std::unique_lock<std::mutex> g(n.headerLock);
  if (statusLine) {
    // A new response (after a redirect or an interim reply) replaces the last one.
    n.headers.clear();
    n.icy = StartsWithNoCase(line, "ICY ");
    const size_t sp = line.find(' ');
    n.status = sp == std::string::npos ? 0 : std::atoi(line.c_str() + sp + 1);
    n.headers.push_back(line);
    return length;
  }
  if (!line.empty()) {
    if (n.headers.size() < 200 && line.size() < 8192) n.headers.push_back(line);
    return length;
  }
  // The end of one response's headers.
  if (n.status / 100 == 1) return length;
  if (n.status / 100 == 3 && !HeaderValue(n.headers, "location").empty()) return length;  // followed
  if (n.status != 200) {
    // Any other status is a failure, whatever an ICY server's status line says.
    n.phase = 2;
    n.error = BASS_ERROR_FILEOPEN;
    n.headerCv.notify_all();
    return 0;
  }
  t->icy.Reset(ParseIcyMetaint(HeaderValue(n.headers, "icy-metaint")));
  n.connected = true;
  n.phase = 1;
  n.headerCv.notify_all();
  return length;
}

void AudioOut(void* context, const uint8_t* data, size_t length) {
  auto* t = static_cast<Transfer*>(context);
  if (t->aborted) return;
  if (t->net->ring.Write(data, length, true) < length) t->aborted = true;
  // Handed on as received, whether the decoder took them or the stream is being freed.
  if (t->net->download && !t->stream->freed) t->net->download(data, DWORD(length), t->net->downloadUser);
}

void MetaOut(void* context, const std::string& text) {
  auto* t = static_cast<Transfer*>(context);
  Stream& s = *t->stream;
  {
    std::lock_guard<std::mutex> g(s.lock);
    // Servers repeat the same block; only a new text is news.
    if (s.hasMeta && s.meta == text) return;
    s.meta = text;
    s.hasMeta = true;
  }
  FireSyncs(t->stream, BASS_SYNC_META, 0);
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  NetSource& n = *t->net;
  const size_t length = size * count;
  if (n.stop || t->aborted) return 0;
  IcyFeed(t->icy, reinterpret_cast<const uint8_t*>(data), length, AudioOut, MetaOut, t);
  return t->aborted || n.stop ? 0 : length;
}

int ProgressCallback(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->net->stop ? 1 : 0;
}

int MapCurlError(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return BASS_ERROR_TIMEOUT;
    case CURLE_OUT_OF_MEMORY:
      return BASS_ERROR_MEM;
    default:
      return BASS_ERROR_FILEOPEN;
  }
}

void DownloadThread(StreamPtr s) {
  NetSource& n = *s->net;
  Transfer t;
  t.stream = s;
  t.net = &n;

  CURL* easy = curl_easy_init();
  CURLM* multi = curl_multi_init();
  curl_slist* headers = curl_slist_append(nullptr, "Icy-MetaData: 1");
  curl_slist* aliases = curl_slist_append(nullptr, "ICY 200 OK");
  bool timedOut = false;
  CURLcode result = CURLE_OK;
  if (easy && multi && headers && aliases) {
    curl_easy_setopt(easy, CURLOPT_URL, n.url.c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, n.agent.empty() ? "BASS/2.4" : n.agent.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_HTTP200ALIASES, aliases);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 8L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // An https stream never falls back to clear text through a redirect.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                     StartsWithNoCase(n.url, "https://") ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(n.connectTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    // The usual variable for another set of trusted authorities (a test CA, a company
    // proxy); without it the system's bundle.
    const char* ca = std::getenv("SSL_CERT_FILE");
    if (ca && *ca) curl_easy_setopt(easy, CURLOPT_CAINFO, ca);
#ifdef _WIN32
    // Schannel refuses a certificate whose revocation it cannot check (no list reachable
    // from behind a firewall); a certificate known to be revoked is still refused.
    curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_REVOKE_BEST_EFFORT));
    // With a file of authorities libcurl checks the chain against those alone.
    t.easy = easy;
    t.checkServer = !(ca && *ca);
#endif
#if LIBCURL_VERSION_NUM >= 0x075700
    // Do not wait for a resolver thread stuck in DNS when the stream is freed.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
#endif
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, HeaderCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &t);
    curl_multi_add_handle(multi, easy);
    {
      std::lock_guard<std::mutex> g(n.curlLock);
      n.multi = multi;
    }
    const uint64_t start = NowMs();
    int running = 1;
    while (!n.stop) {
      curl_multi_perform(multi, &running);
      int queued = 0;
      while (CURLMsg* m = curl_multi_info_read(multi, &queued)) {
        if (m->msg == CURLMSG_DONE) result = m->data.result;
      }
      if (!running) break;
      int phase;
      {
        std::lock_guard<std::mutex> g(n.headerLock);
        phase = n.phase;
      }
      const uint64_t now = NowMs();
      uint64_t wait = 1000;
      if (phase == 0) {
        const uint64_t spent = now - start;
        if (spent >= n.connectTimeoutMs) {
          timedOut = true;
          break;
        }
        wait = std::min<uint64_t>(wait, n.connectTimeoutMs - spent);
      } else if (n.readTimeoutMs > 0) {
        // A server that keeps the connection open but sends nothing has gone. The time
        // counts while the decoder waits for bytes, not since the last ones came: a
        // server at the live edge may send a slow stream in batches further apart than
        // the time-out (Icecast sends Ogg Vorbis pages two at a time, about a second
        // apart), which is no gap while the buffer still holds what plays meanwhile.
        const Clock::time_point starved = n.ring.StarvedSince();
        const uint64_t waited =
            starved == Clock::time_point::max()
                ? 0
                : uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - starved).count());
        if (waited >= n.readTimeoutMs) break;
        wait = std::min<uint64_t>(wait, n.readTimeoutMs - waited);
      }
      curl_multi_poll(multi, nullptr, 0, int(std::max<uint64_t>(wait, 1)), nullptr);
    }
    {
      std::lock_guard<std::mutex> g(n.curlLock);
      n.multi = nullptr;
    }
  } else {
    result = CURLE_OUT_OF_MEMORY;
  }
  {
    std::lock_guard<std::mutex> g(n.headerLock);
    if (n.phase == 0) {
      n.phase = 2;
      // Stopped while connecting: the library is being freed.
      n.error = n.stop               ? BASS_ERROR_INIT
                : timedOut           ? BASS_ERROR_TIMEOUT
                : result != CURLE_OK ? MapCurlError(result)
                                     : BASS_ERROR_FILEOPEN;
    }
    n.headerCv.notify_all();
  }
  // Once the headers are in, however the transfer ended is the end of the stream: a
  // clean close, a reset, or a TLS close without its notify (Schannel reports that as a
  // receive error, 56). What was downloaded plays out, then END fires.
  n.connected = false;
  n.ring.Close();
  // The download's end, as the interface tells it: a call without data. A stream being
  // freed gets none; its host has let go of it.
  bool answered;
  {
    std::lock_guard<std::mutex> g(n.headerLock);
    answered = n.phase == 1;
  }
  if (n.download && answered && !s->freed) n.download(nullptr, 0, n.downloadUser);
  if (multi && easy) curl_multi_remove_handle(multi, easy);
  if (easy) curl_easy_cleanup(easy);
  if (multi) curl_multi_cleanup(multi);
  curl_slist_free_all(headers);
  curl_slist_free_all(aliases);
}

}  // namespace

void StartNetSource(const StreamPtr& s) {
  std::call_once(gCurlOnce, [] {
#ifndef _WIN32
    // OpenSSL frees its global state from an exit handler unless told not to, and a host
    // may exit while a download thread is still inside a TLS call. Ours would then run
    // on freed memory; the process's end frees everything anyway. (A host that set up
    // OpenSSL before us keeps its own choice.) On Windows libcurl uses Schannel.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
#endif
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
  s->net->thread = std::thread(DownloadThread, s);
}

void StopNetSource(NetSource& n) {
  n.stop = true;
  n.ring.Abort();
  {
    std::lock_guard<std::mutex> g(n.curlLock);
    if (n.multi) curl_multi_wakeup(static_cast<CURLM*>(n.multi));
  }
  std::lock_guard<std::mutex> g(n.headerLock);
  n.headerCv.notify_all();
}

int WaitForHeaders(NetSource& n, Clock::time_point deadline, int* error) {
  std::unique_lock<std::mutex> g(n.headerLock);
  n.headerCv.wait_until(g, deadline, [&] { return n.phase != 0 || n.stop; });
  if (n.phase == 1) return 1;
  *error = n.phase == 2 ? n.error : n.stop ? BASS_ERROR_INIT : BASS_ERROR_TIMEOUT;
  return 0;
}

}  // namespace audiolib
