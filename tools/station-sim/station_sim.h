// Station simulator: a loopback radio station for the demo run and the integration tests.
// It serves the stream-information document, ICY streams in four codecs, playlists,
// artwork, a version list and installers, with faults on request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

// A title of known content (--signals), made by signals.cpp.
struct TitleSignal {
  std::string kind;  // "sine" (1 kHz), "pink" (noise), "bass" (45 Hz and harmonics), "peaks"
  double level;      // dBFS RMS referred to a full-scale sine (peaks: its sine's level)
};

// ---- options, written once by main before any thread starts ----
struct SimOptions {
  int port = 8471;
  double titleSeconds = 30.0;  // length of every title
  double burstSeconds = 4.0;   // audio sent at once when a listener connects
  int metaint = 16000;         // audio bytes between two metadata blocks
  int variants = 8;            // distinct titles before the programme repeats
  bool tls = true;
  bool legacyAll = false;  // every stream answers "ICY 200 OK"
  bool verbose = false;
  bool marker = false;     // the audio tells the programme's second (MarkerFrequency)
  std::string tlsDir;  // where the test CA and server certificate go ("" = temporary folder)
  // --dump-dir: each stream listener's audio bytes per announced title go to files there.
  std::string dumpDir;
  std::string stationName = "Corvale Demo Radio";
  std::vector<TitleSignal> signals;  // --signals: title v is signals[v] instead of music
};
extern SimOptions gOpt;

// ---- titles of known content (signals.cpp) ----
// "kind:level,kind:level,..." (1 to 8 titles, levels -80 .. 0); 0 when malformed.
int ParseSignals(const std::string& text, std::vector<TitleSignal>* out);
// Stereo, interleaved, float; deterministic for a signal, rate and variant.
std::vector<float> SynthesiseSignal(const TitleSignal& signal, int rate, double seconds, int variant);

// --marker: the tone of programme second n, 500 Hz + 100 Hz x (n mod 40). A capture's
// zero crossings give it back to within a step.
inline double MarkerFrequency(int second) { return 500.0 + 100.0 * (second % 40); }

// ---- codecs ----
enum Codec { CodecMp3 = 0, CodecAac = 1, CodecOpus = 2, CodecVorbis = 3, CodecCount = 4 };
struct CodecDesc {
  const char* key;    // path word: /stream/<key>
  const char* label;  // "codec" in the stream-information document
  const char* mime;   // Content-Type of the stream
  int kbps;           // icy-br
  int sampleRate;
};
const CodecDesc& GetCodecDesc(int codec);
int CodecFromKey(const std::string& key);  // -1 when unknown

// One pacing unit of an encoded title: an MP3 or ADTS frame, or an Ogg page.
struct EncodedUnit {
  uint32_t offset = 0;
  uint32_t size = 0;
  double end = 0;  // seconds from the title's start when this unit's audio ends
};
struct EncodedTitle {
  std::string bytes;
  std::vector<EncodedUnit> units;
  int headerUnits = 0;  // Ogg header pages at the front, resent to a listener joining mid-title
  double duration = 0;
};

// ---- titles and schedule ----
struct TitleMeta {
  std::string artist, title, album, year;
  double loudness;  // dBFS RMS referred to a full-scale sine
};
const TitleMeta& GetTitleMeta(int variant);
int VariantOf(int64_t titleIndex);

struct ScheduleSnapshot {
  int64_t index = 0;      // running title number
  int64_t forced = 0;     // counts "next title now" requests
  double elapsed = 0;     // seconds into the title
  int64_t startUnix = 0;  // wall-clock start of the title, seconds since 1970 (UTC)
};
ScheduleSnapshot GetSchedule();
int64_t ForceNextTitle();  // returns the new title number
struct HistoryItem {
  int64_t index;
  int64_t startUnix;
};
std::vector<HistoryItem> GetHistory(size_t maxItems);  // newest first, current title included

// ---- audio (audio.cpp) ----
void StartEncoder();
void StopEncoder();
// Waits until the title is encoded; returns null when the simulator stops first.
std::shared_ptr<const EncodedTitle> GetEncodedTitle(int variant, int codec, const std::atomic<bool>* cancel);
// Generated artwork for a variant; format "png" or "jpg"; "" on failure.
std::string GetArtwork(int variant, const std::string& format);

// ---- TLS (tls.cpp) ----
// Makes a test certificate authority and a server certificate for 127.0.0.1 and localhost.
SSL_CTX* CreateTlsContext(const std::string& dir, std::string& caPath);

// ---- HTTP (http.cpp) ----
void ServeConnection(int fd);
extern std::atomic<bool> gStopping;
int DropAllListeners();  // closes every stream connection; returns how many
void StopAllConnections();
int ActiveConnections();
// Sets the fault of a path from control-style parameters ("kind=close&n=1000").
void SetFaultSpec(const std::string& path, const std::string& query);
extern SSL_CTX* gTlsContext;
// Listening socket control, implemented in main.cpp.
int RequestRefuse(int ms);  // closes the listening socket for ms milliseconds

// ---- content (content.cpp) ----
struct HttpRequest {
  std::string method, target, path, query;
  std::map<std::string, std::string> params;   // decoded query parameters
  std::map<std::string, std::string> headers;  // names in lower case
  bool tls = false;
};
struct HttpReply {
  int status = 200;
  std::string reason = "OK";
  std::string contentType = "text/plain; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};
// Fills the reply for a fixed document; returns 0 when the path is unknown.
int BuildContent(const HttpRequest& req, HttpReply& reply);
std::string BaseUrl(bool https);
std::string JsonEscape(const std::string& s);
std::string FormatUtc(int64_t unixSeconds);
std::string InstallerBody(const std::string& name);
std::string ToLatin1(const std::string& utf8);
