// Inside the audio library: streams, the mixer, output devices, the network source and
// the decoder. Everything here is private to libbass.so.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bass.h"
#include "ring.h"

namespace audiolib {

using Clock = std::chrono::steady_clock;

// --- errors and configuration -------------------------------------------------------
void SetError(int code);
inline BOOL Fail(int code) {
  SetError(code);
  return FALSE;
}

struct Config {
  std::atomic<DWORD> buffer{500};
  std::atomic<DWORD> curveVol{0};
  std::atomic<DWORD> floatDsp{0};
  std::atomic<DWORD> netTimeout{5000};
  std::atomic<DWORD> netBuffer{5000};
  std::atomic<DWORD> netPrebuf{75};
  std::atomic<DWORD> verify{16000};
  std::atomic<DWORD> option29{0};
  std::atomic<DWORD> devDefault{0};
  std::atomic<DWORD> netReadTimeout{0};
  std::atomic<DWORD> unicode{0};
  std::atomic<DWORD> mp4Video{0};
  std::atomic<DWORD> aacMp4{1};
  std::mutex agentLock;
  std::string agent;  // "" = the library's own
};
// The library's records are made once and never destroyed: a host may exit (return from
// main, exit() on any thread) while the library's threads still run and use them.
extern Config& gConfig;

// Formats switched on by the add-ons.
extern std::atomic<bool> gAacEnabled, gMp4Enabled, gOpusEnabled;
extern std::atomic<DWORD> gAacPlugin, gOpusPlugin;

// --- output devices -----------------------------------------------------------------
struct OutputDevice {
  const char* name;
  // Opens the device for interleaved float frames; may change rate to what the device
  // takes. Returns 1 on success.
  int (*open)(void** state, const char* argument, int* rate, int channels);
  // Writes frames (blocking or paced to real time). Returns 1, or 0 on a device error.
  int (*write)(void* state, const float* frames, int count);
  // Frames written but not yet heard.
  int (*delay)(void* state);
  void (*close)(void* state);
  // Called (when set) on the mixing thread as it stops writing, before close, so that an
  // output can release what it opened on that thread.
  void (*finish)(void* state);
};
const OutputDevice* FindOutputDevice(const std::string& device, std::string* argument);
#ifdef _WIN32
// The default render endpoint in WASAPI shared mode.
extern const OutputDevice kWasapiOutput;
#else
// ALSA (argument: a PCM name, "" for "default").
extern const OutputDevice kAlsaOutput;
// The sound server's output (argument: a server address, "" for the user's default).
extern const OutputDevice kPulseOutput;
bool PulseServerAnswers();
#endif

// --- streams ------------------------------------------------------------------------
struct SyncEntry {
  HSYNC handle;
  DWORD type;  // with its MIXTIME/ONETIME flags
  SYNCPROC* proc;
  void* user;
  bool spent;  // a ONETIME sync that has fired and awaits its call
};

struct DspEntry {
  HDSP handle;
  DSPPROC* proc;
  void* user;
  int priority;
};

struct NetSource;
struct Decoder;
void DestroyDecoder(Decoder* d);
struct DecoderDeleter {
  void operator()(Decoder* d) const { DestroyDecoder(d); }
};

enum class SourceKind { Dummy, Proc, Url };

struct Stream {
  ~Stream();

  std::atomic<HSTREAM> handle{0};  // reserved before any thread of the stream starts
  SourceKind kind = SourceKind::Dummy;
  DWORD flags = 0;
  // Fixed once the stream is created.
  BASS_CHANNELINFO info{};
  std::string url;
  std::vector<char> httpTags;  // NUL-separated lines, ended by an empty one
  bool icyResponse = false;
  BASS_WAVEFORMATEX waveFormat{};
  bool hasWaveFormat = false;
  int outRate = 48000, outChans = 2;

  STREAMPROC* proc = nullptr;
  void* procUser = nullptr;

  std::unique_ptr<NetSource> net;
  std::unique_ptr<Decoder, DecoderDeleter> decoder;
  std::thread decodeThread;

  // Decoded frames at the device's rate and channel count, ready for the mixer.
  ByteRing pcm;
  std::atomic<bool> stop{false};   // every thread of the stream ends
  std::atomic<bool> freed{false};  // the handle is gone; no more callbacks

  // Mixer state: written by the mixer thread and the entry points.
  std::atomic<bool> inMixer{false};
  std::atomic<bool> stalled{false};
  std::atomic<bool> started{false};  // has played some sound
  std::atomic<bool> ended{false};

  // Guarded by lock.
  std::mutex lock;
  std::vector<SyncEntry> syncs;
  std::vector<DspEntry> dsps;
  std::string meta;  // the current ICY metadata text
  bool hasMeta = false;
  float volume = 1.0f;
  bool sliding = false;
  float slideFrom = 0, slideTo = 0;
  uint64_t slideTotal = 0, slideDone = 0;
  float bitrateKbps = 0;
  // What the mixer took from the stream before the volume, newest last.
  std::vector<float> history;  // ring of frames * outChans
  uint64_t historyFrames = 0;  // frames ever appended
};

using StreamPtr = std::shared_ptr<Stream>;

StreamPtr FindStream(DWORD handle);
// Fires the syncs of a type: MIXTIME ones on the calling thread, others on the sync
// thread.
void FireSyncs(const StreamPtr& s, DWORD type, DWORD data);

// --- engine: the device, the mixer and the sync thread ---------------------------------
struct Engine {
  std::mutex initLock;  // serialises BASS_Init and BASS_Free
  std::atomic<bool> inited{false};
  std::atomic<bool> deviceFailed{false};
  std::atomic<int> rate{48000};
  std::atomic<int> channels{2};
  std::atomic<int> delayFrames{0};
  const OutputDevice* device = nullptr;
  void* deviceState = nullptr;
  int deviceBufferFrames = 0;

  std::thread mixer;
  std::atomic<std::thread::id> mixerId{};
  std::mutex mixLock;
  std::condition_variable mixCv;
  bool mixerBusy = false;
  bool quit = false;
  std::vector<StreamPtr> playing;

  std::thread syncThread;
  std::atomic<std::thread::id> syncId{};
  std::mutex syncLock;
  std::condition_variable syncCv;
  struct PendingSync {
    StreamPtr stream;
    HSYNC handle;
    DWORD data;
  };
  std::vector<PendingSync> syncQueue;
  Stream* syncCurrent = nullptr;
  bool syncQuit = false;
};
extern Engine& gEngine;  // never destroyed, see gConfig

int StartEngine(int rate, const OutputDevice* device, const std::string& argument);
void StopEngine();
// Takes a stream out of the mixer and waits until no mixer or sync callback runs for it
// (unless called from those threads themselves).
void DetachFromEngine(const StreamPtr& s);
int EnginePlay(const StreamPtr& s);
void EngineStop(const StreamPtr& s);

// --- network source -------------------------------------------------------------------
struct NetSource {
  std::string url;
  std::string agent;
  DWORD connectTimeoutMs = 5000;
  DWORD readTimeoutMs = 0;
  ByteRing ring;  // audio bytes without the metadata blocks
  // The host's download callback: each run of audio bytes as it arrives, never spanning
  // a metadata block, so a MIXTIME META sync fired next marks the byte a title starts at.
  // Set before the thread starts; called on the download thread only.
  DOWNLOADPROC* download = nullptr;
  void* downloadUser = nullptr;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<bool> connected{false};

  std::mutex curlLock;  // guards multi against the thread's clean-up
  void* multi = nullptr;

  // Header phase: 0 waiting, 1 headers complete with 200, 2 failed (error holds the code).
  std::mutex headerLock;
  std::condition_variable headerCv;
  int phase = 0;
  int error = 0;
  int status = 0;
  std::vector<std::string> headers;
  bool icy = false;

  Stream* owner = nullptr;
};

// Starts the download thread; the thread keeps the stream alive.
void StartNetSource(const StreamPtr& s);
void StopNetSource(NetSource& n);
// Waits until the response headers are in (1), failed (0, error set) or the deadline.
int WaitForHeaders(NetSource& n, Clock::time_point deadline, int* error);
#ifdef _WIN32
// Whether the server of the running request (a libcurl handle) is who it claims to be:
// its certificate chain ends in a root the system trusts and names the host. True for
// plain HTTP.
bool ServerCertificateTrusted(void* easy);
#endif

// --- decoder --------------------------------------------------------------------------
// Probes the format from the stream's download buffer and opens the decoder. Returns 0
// or a BASS error code.
int OpenUrlDecoder(const StreamPtr& s, Clock::time_point deadline);
int OpenProcDecoder(const StreamPtr& s, DWORD freq, DWORD chans, DWORD flags);
// The decoding thread's body: fills s->pcm until the source ends or stop is set.
void RunDecoder(StreamPtr s);
// Bits per second of the source as far as known, 0 when not.
float DecoderBitrateKbps(Decoder* d);

uint64_t NowMs();

// The system's loader, for the add-ons (a UTF-8 path).
void* OpenModule(const char* path);
void* ModuleSymbol(void* module, const char* name);
void CloseModule(void* module);
#ifdef _WIN32
// UTF-8 to the UTF-16 of Windows' wide entry points.
std::wstring Widen(const char* utf8);
#endif

}  // namespace audiolib
