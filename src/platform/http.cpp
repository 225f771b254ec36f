// The HTTP(S) fetch into memory on libcurl: a session with the player's user agent,
// time-outs, the status check, and the reads handed over in blocks so that a progress
// callback sees them the way the player expects.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/file_handle.h"
#include "platform/platform.h"

namespace {

std::once_flag gCurlInit;
int gCurlReady = 0;

int CurlGlobalInit() {
  // curl_global_init is not safe to race; every fetch passes through here first.
  std::call_once(gCurlInit, [] { gCurlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return gCurlReady;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

struct Fetch {
  CURL* curl = nullptr;
  char* buffer = nullptr;
  int64_t capacity = 0;
  int64_t received = 0;
  int64_t chunk = 0;
  int64_t total = 0;
  DownloadCallback callback = nullptr;
  void* user = nullptr;
  int result = 0;  // set when the write side stops the transfer
  bool statusSeen = false;
  // The last time anything arrived; a wait for data longer than the time-out ends the
  // fetch even while the server keeps the connection open.
  std::chrono::steady_clock::time_point lastData;
  int64_t timeoutMs = 0;
};

int WatchStall(void* userp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Fetch& f = *static_cast<Fetch*>(userp);
  auto idle = std::chrono::steady_clock::now() - f.lastData;
  return f.timeoutMs > 0 && idle > std::chrono::milliseconds(f.timeoutMs) ? 1 : 0;
}

// At the first body bytes: 0 for a 200 answer (with the announced length, if any, in
// *total), else the result code of the status.
int BodyStatus(CURL* curl, int64_t* total) {
  long code = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code == 0) return kDownloadStatusFailed;
  if (code != 200) return kDownloadStatusNot200;
  curl_off_t length = -1;
  if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0) *total = length;
  return 0;
}

// Takes the body as it arrives; every piece of at most `chunk` bytes counts as one
// read of the fetch.
size_t WriteBody(char* data, size_t one, size_t count, void* userp) {
  Fetch& f = *static_cast<Fetch*>(userp);
  size_t n = one * count;
  f.lastData = std::chrono::steady_clock::now();
  if (!f.statusSeen) {
    f.statusSeen = true;
    f.result = BodyStatus(f.curl, &f.total);
    if (f.result != 0) return 0;
  }
  size_t done = 0;
  while (done < n) {
    int64_t piece = std::min<int64_t>(f.chunk, int64_t(n - done));
    const char* block = data + done;
    if (f.received + piece > f.capacity) {
      f.result = kDownloadTooLarge;
      return 0;
    }
    if (f.callback) {
      int64_t taken = f.callback(f.total, f.received, piece, block, f.user);
      if (taken != piece) {
        taken = std::clamp<int64_t>(taken, 0, piece);
        std::memcpy(f.buffer + f.received, block, size_t(taken));
        f.received += taken;
        f.result = kDownloadAborted;
        return 0;
      }
    }
    std::memcpy(f.buffer + f.received, block, size_t(piece));
    f.received += piece;
    done += size_t(piece);
  }
  return n;
}

size_t WatchHeaders(char*, size_t one, size_t count, void* userp) {
  static_cast<Fetch*>(userp)->lastData = std::chrono::steady_clock::now();
  return one * count;
}

// The session rules every fetch shares: http and https only, redirects bounded and never
// from https down to clear text, the extra authority file, ICY status lines accepted.
void SetFetchOptions(CURL* curl, const std::string& url, const std::string& userAgent) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, StartsWithNoCase(url, "https://") ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 8L);
  // The usual variable for another file of trusted authorities, as the audio library
  // reads it; without it the system's bundle.
  if (const char* ca = std::getenv("SSL_CERT_FILE"); ca && *ca) curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
  // Playlists are often served by the stream servers themselves.
  static curl_slist* aliases = curl_slist_append(nullptr, "ICY 200 OK");
  curl_easy_setopt(curl, CURLOPT_HTTP200ALIASES, aliases);
}

// The result code of a finished transfer that its callbacks did not already decide.
int FetchResult(CURLcode rc, long code, bool statusSeen) {
  if (rc == CURLE_OK) {
    // An empty body never reached the write side: check the status here.
    if (code == 0) return kDownloadStatusFailed;
    return code != 200 ? kDownloadStatusNot200 : 0;
  }
  if (rc == CURLE_OUT_OF_MEMORY) return kDownloadNoMemory;
  if (statusSeen || code == 200) return kDownloadReadFailed;
  // Lost on the way through redirects (a loop, or a connection that dropped between two
  // hops): the address could not be opened. A redirect to a refused scheme is the
  // server's answer and falls through to the status below.
  if (rc == CURLE_TOO_MANY_REDIRECTS || (code >= 300 && code < 400 && rc != CURLE_UNSUPPORTED_PROTOCOL))
    return kDownloadOpenFailed;
  if (code != 0 && code != 200) return kDownloadStatusNot200;
  return kDownloadOpenFailed;
}

}  // namespace

int DownloadToMemory(const std::string& url, const std::string& userAgent, int64_t chunkSize, void* buffer,
                     int64_t& size, DownloadCallback callback, void* callbackUser, int64_t timeoutMs) {
  int64_t capacity = size;
  size = 0;
  if (!CurlGlobalInit()) return kDownloadNoInternet;
  CURL* curl = curl_easy_init();
  if (!curl) return kDownloadNoInternet;

  int result = 0;
  Fetch f;
  if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) {
    result = kDownloadBadProtocol;
  } else if (chunkSize < 1 || !buffer || capacity < 0) {
    result = kDownloadNoMemory;
  } else {
    f.curl = curl;
    f.buffer = static_cast<char*>(buffer);
    f.capacity = capacity;
    f.chunk = chunkSize;
    f.callback = callback;
    f.user = callbackUser;

    SetFetchOptions(curl, url, userAgent);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &f);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, WatchHeaders);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &f);
    f.lastData = std::chrono::steady_clock::now();
    f.timeoutMs = timeoutMs;
    if (timeoutMs > 0) {
      // The connect time-out as given; a server that stays silent that long while the
      // request is answered or the body read is given up the same way.
      curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(timeoutMs));
      // And the whole fetch ends by then too: a server that trickles a byte now and then
      // never trips the idle check, and the start-up waits on this fetch.
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(timeoutMs));
      curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, WatchStall);
      curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &f);
      curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }
    CURLcode rc = curl_easy_perform(curl);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (f.result != 0) {
      result = f.result;
    } else {
      result = FetchResult(rc, code, f.statusSeen);
    }
  }
  size = f.received;
  curl_easy_cleanup(curl);
  return result;
}

// ---------------------------------------------------------------------------------------
// The HTTP(S) fetch into a file (installers): the same session rules, the body written
// block by block, an idle time-out and a lowest speed.
// ---------------------------------------------------------------------------------------

namespace {

using platform_detail::kNoFile;

struct FileFetch {
  CURL* curl = nullptr;
  std::string path;
  platform_detail::FileHandle fd = kNoFile;
  int64_t chunk = 0;
  int64_t total = 0;
  int64_t received = 0;
  DownloadCallback callback = nullptr;
  void* user = nullptr;
  int result = 0;
  bool statusSeen = false;
  std::chrono::steady_clock::time_point lastData;
  int64_t timeoutMs = 0;
  // The low-speed rule: what had arrived when the current window of lowSpeedMs began.
  int64_t lowSpeedMs = 0;
  std::chrono::steady_clock::time_point windowStart;
  int64_t windowBytes = 0;
  std::chrono::steady_clock::time_point lastTick;
};

constexpr int64_t kLowSpeedBytesPerSecond = 1024;

// An existing file is replaced; the name is never followed through a link.
platform_detail::FileHandle CreateTargetFile(const std::string& path) { return platform_detail::CreateFreshFile(path); }

bool WriteAll(platform_detail::FileHandle fd, const char* data, int64_t n) {
  return n <= 0 || platform_detail::WriteAllToFile(fd, data, size_t(n));
}

int WatchFileFetch(void* userp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  FileFetch& f = *static_cast<FileFetch*>(userp);
  auto now = std::chrono::steady_clock::now();
  // The caller may end a fetch that is waiting for data too (a window closed meanwhile).
  if (f.callback && now - f.lastTick >= std::chrono::seconds(1)) {
    f.lastTick = now;
    if (f.callback(f.total, f.received, 0, nullptr, f.user) != 0) {
      f.result = kDownloadAborted;
      return 1;
    }
  }
  // A slow but steady download goes on however long it takes; a trickle ends.
  if (f.lowSpeedMs > 0 && now - f.windowStart >= std::chrono::milliseconds(f.lowSpeedMs)) {
    if ((f.received - f.windowBytes) * 1000 < kLowSpeedBytesPerSecond * f.lowSpeedMs) return 1;
    f.windowStart = now;
    f.windowBytes = f.received;
  }
  return f.timeoutMs > 0 && now - f.lastData > std::chrono::milliseconds(f.timeoutMs) ? 1 : 0;
}

size_t WatchFileHeaders(char*, size_t one, size_t count, void* userp) {
  static_cast<FileFetch*>(userp)->lastData = std::chrono::steady_clock::now();
  return one * count;
}

size_t WriteFileBody(char* data, size_t one, size_t count, void* userp) {
  FileFetch& f = *static_cast<FileFetch*>(userp);
  size_t n = one * count;
  f.lastData = std::chrono::steady_clock::now();
  if (!f.statusSeen) {
    f.statusSeen = true;
    f.result = BodyStatus(f.curl, &f.total);
    if (f.result != 0) return 0;
  }
  if (f.fd == kNoFile) {
    f.fd = CreateTargetFile(f.path);
    if (f.fd == kNoFile) {
      f.result = kDownloadReadFailed;
      return 0;
    }
  }
  size_t done = 0;
  while (done < n) {
    int64_t piece = std::min<int64_t>(f.chunk, int64_t(n - done));
    const char* block = data + done;
    if (f.callback) {
      int64_t taken = f.callback(f.total, f.received, piece, block, f.user);
      if (taken != piece) {
        taken = std::clamp<int64_t>(taken, 0, piece);
        f.received += taken;
        WriteAll(f.fd, block, taken);
        f.result = kDownloadAborted;
        return 0;
      }
    }
    if (!WriteAll(f.fd, block, piece)) {
      f.result = kDownloadWriteFailed;
      return 0;
    }
    f.received += piece;
    done += size_t(piece);
  }
  return n;
}

}  // namespace

int DownloadToFile(const std::string& url, const std::string& userAgent, int64_t chunkSize, const std::string& filePath,
                   DownloadCallback callback, void* userData, int64_t timeoutMs, int64_t lowSpeedMs) {
  if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) return kDownloadBadProtocol;
  if (chunkSize < 1 || filePath.empty()) return kDownloadNoMemory;
  if (!CurlGlobalInit()) return kDownloadNoInternet;
  CURL* curl = curl_easy_init();
  if (!curl) return kDownloadNoInternet;

  FileFetch f;
  f.curl = curl;
  f.path = filePath;
  f.chunk = chunkSize;
  f.callback = callback;
  f.user = userData;
  f.timeoutMs = timeoutMs;
  f.lastData = f.windowStart = f.lastTick = std::chrono::steady_clock::now();
  f.lowSpeedMs = lowSpeedMs;
  SetFetchOptions(curl, url, userAgent);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteFileBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &f);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, WatchFileHeaders);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &f);
  if (timeoutMs > 0) curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(timeoutMs));
  if (timeoutMs > 0 || lowSpeedMs > 0 || callback) {
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, WatchFileFetch);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &f);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
  CURLcode rc = curl_easy_perform(curl);
  long code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  int result = f.result != 0 ? f.result : FetchResult(rc, code, f.statusSeen);
  // A complete, empty body still leaves the (empty) file behind.
  if (result == 0 && f.fd == kNoFile) {
    f.fd = CreateTargetFile(filePath);
    if (f.fd == kNoFile) result = kDownloadReadFailed;
  }
  // A full disk may show only when the last data reach it.
  if (f.fd != kNoFile && !platform_detail::CloseFile(f.fd) && result == 0) result = kDownloadWriteFailed;
  curl_easy_cleanup(curl);
  return result;
}
