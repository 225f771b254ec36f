// The exported entry points: errors, configuration, the handle table, stream creation
// and freeing, channel attributes, tags, levels, syncs, DSPs and add-ons.
#include <strings.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "internal.h"

namespace audiolib {

namespace {
thread_local int tError = 0;

// Never destroyed (see gConfig): the streams' threads look them up until the very end.
std::mutex gTableLock;
std::unordered_map<DWORD, StreamPtr>& gStreams = *new std::unordered_map<DWORD, StreamPtr>;
std::vector<StreamPtr>& gPending = *new std::vector<StreamPtr>;  // streams being created, so that BASS_Free can stop them
DWORD gNextHandle = 0x10000001;   // under gTableLock
std::atomic<DWORD> gNextSubHandle{0x20000001};

// Add-ons: path and dlopen handle; the plugin handle is the index + kPluginBase.
constexpr DWORD kPluginBase = 0x30000001;
std::mutex gPluginLock;
std::vector<std::pair<std::string, void*>>& gPlugins = *new std::vector<std::pair<std::string, void*>>;
thread_local DWORD tRegisteringPlugin = 0;
std::atomic<bool> gAacOptions{false};

DWORD NewSubHandle() {
  DWORD h = gNextSubHandle.fetch_add(1);
  if (h == 0) h = gNextSubHandle.fetch_add(1);
  return h;
}

bool OnThread(const std::thread& t) { return t.joinable() && t.get_id() == std::this_thread::get_id(); }

void JoinOrLeave(std::thread& t) {
  if (!t.joinable()) return;
  // A callback that frees its own stream runs on that stream's thread: the thread
  // holds a reference to the stream and ends by itself once stop is set.
  if (OnThread(t))
    t.detach();
  else
    t.join();
}

// Stops every thread of a stream and releases it from the engine.
void Teardown(const StreamPtr& s) {
  s->freed = true;
  DetachFromEngine(s);
  s->stop = true;
  s->pcm.Abort();
  if (s->net) StopNetSource(*s->net);
  JoinOrLeave(s->decodeThread);
  if (s->net) JoinOrLeave(s->net->thread);
}

StreamPtr TakeStream(DWORD handle) {
  std::lock_guard<std::mutex> g(gTableLock);
  auto it = gStreams.find(handle);
  if (it == gStreams.end()) return nullptr;
  StreamPtr s = it->second;
  gStreams.erase(it);
  return s;
}

void RemovePending(const StreamPtr& s) {
  std::lock_guard<std::mutex> g(gTableLock);
  gPending.erase(std::remove(gPending.begin(), gPending.end(), s), gPending.end());
}

// Picks the stream's handle before its threads start; it becomes valid for callers only
// when Register publishes it.
void ReserveHandle(Stream& s) {
  std::lock_guard<std::mutex> g(gTableLock);
  DWORD h;
  do {
    h = gNextHandle++;
    if (gNextHandle == 0 || gNextHandle >= 0x20000000) gNextHandle = 0x10000001;
  } while (h == 0 || gStreams.count(h));
  s.handle = h;
}

// Puts a finished stream into the table; 0 when the library was freed meanwhile.
DWORD Register(const StreamPtr& s) {
  std::lock_guard<std::mutex> g(gTableLock);
  gPending.erase(std::remove(gPending.begin(), gPending.end(), s), gPending.end());
  if (!gEngine.inited || s->stop) return 0;
  const DWORD h = s->handle;
  gStreams.emplace(h, s);
  return h;
}

size_t PcmBytes(int rate, int chans) {
  DWORD ms = std::clamp<DWORD>(gConfig.buffer.load(), 10, 5000);
  // At least 100 ms so that the mixer's 40 ms chunks always find a full one.
  ms = std::max<DWORD>(ms, 100);
  return size_t(rate) * ms / 1000 * size_t(chans) * sizeof(float);
}

void InitStreamCommon(Stream& s) {
  s.outRate = gEngine.rate;
  s.outChans = gEngine.channels;
  const size_t bytes = PcmBytes(s.outRate, s.outChans);
  // The decoder wakes when a quarter of the buffer is free and fills it in one go.
  s.pcm.Reset(bytes, bytes / 4);
  s.history.assign(size_t(s.outRate) * 2 * size_t(s.outChans), 0.0f);
}

int HostEnableFormat(DWORD ctype) {
  switch (ctype) {
    case BASS_CTYPE_STREAM_AAC:
      gAacEnabled = true;
      gAacPlugin = tRegisteringPlugin;
      return 1;
    case BASS_CTYPE_STREAM_MP4:
      gMp4Enabled = true;
      return 1;
    case BASS_CTYPE_STREAM_OPUS:
      gOpusEnabled = true;
      gOpusPlugin = tRegisteringPlugin;
      return 1;
    default:
      return 0;
  }
}

int HostAddConfigOption(DWORD option, DWORD value) {
  if (option == BASS_CONFIG_MP4_VIDEO) {
    gConfig.mp4Video = value;
  } else if (option == BASS_CONFIG_AAC_MP4) {
    gConfig.aacMp4 = value;
  } else {
    return 0;
  }
  gAacOptions = true;
  return 1;
}

const BASS_ADDON_HOST kHost = {BASS_LIBRARY_VERSION, HostEnableFormat, HostAddConfigOption};

float CurrentVolume(const Stream& s) {
  if (!s.sliding || s.slideTotal == 0) return s.volume;
  return s.slideFrom + (s.slideTo - s.slideFrom) * float(double(s.slideDone) / double(s.slideTotal));
}

}  // namespace

void SetError(int code) { tError = code; }

Config& gConfig = *new Config;
Engine& gEngine = *new Engine;
std::atomic<bool> gAacEnabled{false}, gMp4Enabled{false}, gOpusEnabled{false};
std::atomic<DWORD> gAacPlugin{0}, gOpusPlugin{0};

uint64_t NowMs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

// When the library is unloaded after BASS_Free nothing of it runs any more, and its
// records go with it. At a host's exit with the library still in use they stay: its
// threads may still be using them.
void ReleaseRecords() {
  if (gEngine.inited || gEngine.mixer.joinable() || gEngine.syncThread.joinable()) return;
  {
    std::lock_guard<std::mutex> g(gTableLock);
    if (!gStreams.empty() || !gPending.empty()) return;
  }
  delete &gStreams;
  delete &gPending;
  delete &gPlugins;
  delete &gEngine;
  delete &gConfig;
}

#ifdef _WIN32
// At a process's end Windows has stopped every other thread before it detaches the
// library, and locks they held stay held: only an unload by FreeLibrary (reserved is
// null) releases the records.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) ReleaseRecords();
  return TRUE;
}

std::wstring Widen(const char* utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), n);
  wide.resize(size_t(n - 1));
  return wide;
}

void* OpenModule(const char* path) {
  // A full path with backslashes, so that the add-on's own folder is searched for the
  // DLLs it needs.
  const std::wstring wide = Widen(path);
  const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0) return nullptr;
  std::wstring full(length, L'\0');
  const DWORD written = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length) return nullptr;
  full.resize(written);
  return LoadLibraryExW(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
void* ModuleSymbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void CloseModule(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }
#else
__attribute__((destructor)) void ReleaseRecordsAtUnload() { ReleaseRecords(); }

void* OpenModule(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* ModuleSymbol(void* module, const char* name) { return dlsym(module, name); }
void CloseModule(void* module) { dlclose(module); }
#endif

StreamPtr FindStream(DWORD handle) {
  std::lock_guard<std::mutex> g(gTableLock);
  auto it = gStreams.find(handle);
  return it == gStreams.end() ? nullptr : it->second;
}

Stream::~Stream() = default;

void FireSyncs(const StreamPtr& s, DWORD type, DWORD data) {
  std::vector<SyncEntry> direct;
  std::vector<HSYNC> queued;
  {
    std::lock_guard<std::mutex> g(s->lock);
    for (auto it = s->syncs.begin(); it != s->syncs.end();) {
      if ((it->type & 0x00FFFFFF) != type || it->spent) {
        ++it;
        continue;
      }
      if (it->type & BASS_SYNC_MIXTIME) {
        direct.push_back(*it);
        if (it->type & BASS_SYNC_ONETIME) {
          it = s->syncs.erase(it);
          continue;
        }
      } else {
        queued.push_back(it->handle);
        if (it->type & BASS_SYNC_ONETIME) it->spent = true;
      }
      ++it;
    }
  }
  if (!queued.empty()) {
    std::lock_guard<std::mutex> g(gEngine.syncLock);
    for (HSYNC h : queued) gEngine.syncQueue.push_back({s, h, data});
    gEngine.syncCv.notify_one();
  }
  for (const SyncEntry& e : direct) {
    if (s->freed) break;
    e.proc(e.handle, s->handle, data, e.user);
  }
}

// The global options: which field each one sets, its limits and its kind, read by
// BASS_SetConfig and BASS_GetConfig alike.
enum ConfigKind { ConfigValue, ConfigFlag, ConfigReadOnly, ConfigAacAddOn };

struct ConfigOption {
  DWORD option;
  std::atomic<DWORD>* field;  // nullptr for the read-only float option
  DWORD min, max;
  ConfigKind kind;
};

constexpr DWORD kAnyValue = 0xFFFFFFFFu;

const ConfigOption kConfigOptions[] = {
    {BASS_CONFIG_BUFFER, &gConfig.buffer, 10, 5000, ConfigValue},
    {BASS_CONFIG_CURVE_VOL, &gConfig.curveVol, 0, 1, ConfigFlag},
    {BASS_CONFIG_FLOATDSP, &gConfig.floatDsp, 0, 1, ConfigFlag},
    {BASS_CONFIG_NET_TIMEOUT, &gConfig.netTimeout, 0, kAnyValue, ConfigValue},
    {BASS_CONFIG_NET_BUFFER, &gConfig.netBuffer, 100, 60000, ConfigValue},
    {BASS_CONFIG_NET_PREBUF, &gConfig.netPrebuf, 0, 100, ConfigValue},
    {BASS_CONFIG_VERIFY, &gConfig.verify, 0, kAnyValue, ConfigValue},
    {BASS_CONFIG_OPTION29, &gConfig.option29, 0, kAnyValue, ConfigValue},
    {BASS_CONFIG_DEV_DEFAULT, &gConfig.devDefault, 0, 1, ConfigFlag},
    {BASS_CONFIG_NET_READTIMEOUT, &gConfig.netReadTimeout, 0, kAnyValue, ConfigValue},
    {BASS_CONFIG_UNICODE, &gConfig.unicode, 0, 1, ConfigFlag},
    {BASS_CONFIG_FLOAT, nullptr, 1, 1, ConfigReadOnly},
    // The two MP4 options exist only once the AAC add-on has been loaded.
    {BASS_CONFIG_MP4_VIDEO, &gConfig.mp4Video, 0, 1, ConfigAacAddOn},
    {BASS_CONFIG_AAC_MP4, &gConfig.aacMp4, 0, 1, ConfigAacAddOn},
};

const ConfigOption* FindConfigOption(DWORD option) {
  for (const ConfigOption& o : kConfigOptions)
    if (o.option == option) return &o;
  return nullptr;
}

}  // namespace audiolib

using namespace audiolib;

extern "C" {

DWORD BASS_GetVersion(void) {
  SetError(BASS_OK);
  return BASS_LIBRARY_VERSION;
}

int BASS_ErrorGetCode(void) { return tError; }

BOOL BASS_SetConfig(DWORD option, DWORD value) {
  const ConfigOption* o = FindConfigOption(option);
  if (!o || o->kind == ConfigReadOnly) return Fail(BASS_ERROR_ILLPARAM);
  if (o->kind == ConfigAacAddOn && !gAacOptions) return Fail(BASS_ERROR_ILLPARAM);
  if (o->kind == ConfigFlag) value = value ? 1 : 0;
  o->field->store(std::clamp<DWORD>(value, o->min, o->max));
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_GetConfig(DWORD option) {
  const ConfigOption* o = FindConfigOption(option);
  if (!o || (o->kind == ConfigAacAddOn && !gAacOptions)) {
    SetError(BASS_ERROR_ILLPARAM);
    return DWORD(-1);
  }
  // Every stream is mixed in float here: the read-only option is always on.
  DWORD v = o->field ? o->field->load() : 1;
  SetError(BASS_OK);
  return v;
}

BOOL BASS_SetConfigPtr(DWORD option, const void* value) {
  if (option != BASS_CONFIG_NET_AGENT) return Fail(BASS_ERROR_ILLPARAM);
  std::lock_guard<std::mutex> g(gConfig.agentLock);
  // Copied: the caller's buffer may change or go.
  gConfig.agent = value ? std::string(static_cast<const char*>(value)) : std::string();
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* clsid) {
  std::lock_guard<std::mutex> g(gEngine.initLock);
  if (gEngine.inited) return Fail(BASS_ERROR_ALREADY);
  if (device < -1 || device > 1) return Fail(BASS_ERROR_DEVICE);
  if (freq == 0) freq = 48000;
  if (freq < 8000 || freq > 192000) return Fail(BASS_ERROR_ILLPARAM);
  std::string deviceName = "null";
  if (device != 0) {  // device 0 is "no sound"
    const char* env = std::getenv("CORVALE_AUDIO_OUTPUT");
    deviceName = env && *env ? env : "auto";
  }
  std::string argument;
  const OutputDevice* out = FindOutputDevice(deviceName, &argument);
  if (!out) return Fail(BASS_ERROR_DEVICE);
  if (!StartEngine(int(freq), out, argument)) return Fail(BASS_ERROR_DRIVER);
  gEngine.inited = true;
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_Free(void) {
  std::lock_guard<std::mutex> g(gEngine.initLock);
  if (!gEngine.inited) return Fail(BASS_ERROR_INIT);
  const auto self = std::this_thread::get_id();
  // The library's own threads cannot wait for themselves to end.
  if (self == gEngine.mixerId.load() || self == gEngine.syncId.load()) return Fail(BASS_ERROR_BUSY);
  std::vector<StreamPtr> all;
  {
    std::lock_guard<std::mutex> t(gTableLock);
    gEngine.inited = false;
    for (auto& [h, s] : gStreams) all.push_back(s);
    gStreams.clear();
    for (auto& s : gPending) {
      s->stop = true;
      s->pcm.Abort();
      if (s->net) StopNetSource(*s->net);
    }
  }
  for (auto& s : all) Teardown(s);
  all.clear();
  StopEngine();
  SetError(BASS_OK);
  return TRUE;
}

HPLUGIN BASS_PluginLoad(const char* file, DWORD flags) {
  if (!file || !*file) {
    SetError(BASS_ERROR_ILLPARAM);
    return 0;
  }
  std::lock_guard<std::mutex> g(gPluginLock);
  for (auto& p : gPlugins) {
    if (p.first == file) {
      SetError(BASS_ERROR_ALREADY);
      return 0;
    }
  }
  void* lib = OpenModule(file);
  if (!lib) {
    SetError(BASS_ERROR_FILEOPEN);
    return 0;
  }
  auto reg = reinterpret_cast<BASS_ADDON_REGISTER*>(ModuleSymbol(lib, BASS_ADDON_REGISTER_NAME));
  if (!reg) {
    CloseModule(lib);
    SetError(BASS_ERROR_FILEFORM);
    return 0;
  }
  const HPLUGIN handle = kPluginBase + DWORD(gPlugins.size());
  tRegisteringPlugin = handle;
  const int ok = reg(&kHost);
  tRegisteringPlugin = 0;
  if (!ok) {
    // Formats it may have switched on stay on; the add-on stays loaded for them.
    SetError(BASS_ERROR_VERSION);
    return 0;
  }
  gPlugins.emplace_back(file, lib);
  SetError(BASS_OK);
  return handle;
}

HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void* user) {
  if (!gEngine.inited) return Fail(BASS_ERROR_INIT);
  if (gEngine.deviceFailed) return Fail(BASS_ERROR_UNKNOWN);
  if (freq < 1 || freq > 384000 || chans < 1 || chans > 8) return Fail(BASS_ERROR_FORMAT);
  // The push and device procedures are not offered.
  if (proc == reinterpret_cast<STREAMPROC*>(intptr_t(-1)) || proc == reinterpret_cast<STREAMPROC*>(intptr_t(-2)))
    return Fail(BASS_ERROR_NOTAVAIL);
  // Not make_shared: its tag is a unique symbol, which would pin the library in memory
  // and keep it from being unloaded.
  auto s = StreamPtr(new Stream());
  s->kind = proc ? SourceKind::Proc : SourceKind::Dummy;
  s->flags = flags;
  s->info.freq = freq;
  s->info.chans = chans;
  s->info.flags = flags & ~BASS_UNICODE;
  s->info.ctype = BASS_CTYPE_STREAM;
  s->info.origres = (flags & BASS_SAMPLE_FLOAT) ? 32 : 16;
  InitStreamCommon(*s);
  if (proc) {
    s->proc = proc;
    s->procUser = user;
    const int err = OpenProcDecoder(s, freq, chans, flags);
    if (err) return Fail(err);
  } else {
    s->pcm.Close();  // a dummy stream has nothing to play
  }
  {
    std::lock_guard<std::mutex> g(gTableLock);
    gPending.push_back(s);
  }
  ReserveHandle(*s);
  if (proc) s->decodeThread = std::thread(RunDecoder, s);
  const DWORD h = Register(s);
  if (!h) {
    Teardown(s);
    return Fail(BASS_ERROR_INIT);
  }
  SetError(BASS_OK);
  return h;
}

HSTREAM BASS_StreamCreateURL(const char* url, DWORD offset, DWORD flags, DOWNLOADPROC* proc, void* user) {
  if (!url || !*url) return Fail(BASS_ERROR_ILLPARAM);
  if (strncasecmp(url, "http://", 7) != 0 && strncasecmp(url, "https://", 8) != 0) return Fail(BASS_ERROR_ILLPARAM);
  if (offset != 0) return Fail(BASS_ERROR_NOTAVAIL);  // live streams only
  if (!gEngine.inited) return Fail(BASS_ERROR_INIT);
  if (gEngine.deviceFailed) return Fail(BASS_ERROR_UNKNOWN);

  auto s = StreamPtr(new Stream());
  ReserveHandle(*s);
  s->kind = SourceKind::Url;
  s->flags = flags;
  s->url = url;
  InitStreamCommon(*s);
  s->net = std::make_unique<NetSource>();
  NetSource& n = *s->net;
  n.owner = s.get();
  n.url = url;
  n.download = proc;
  n.downloadUser = user;
  {
    std::lock_guard<std::mutex> g(gConfig.agentLock);
    n.agent = gConfig.agent;
  }
  n.connectTimeoutMs = std::max<DWORD>(gConfig.netTimeout, 100);
  n.readTimeoutMs = gConfig.netReadTimeout;
  // NET_BUFFER milliseconds at up to 320 kbit/s, at least 32 KiB.
  const size_t netBytes = std::clamp<size_t>(size_t(gConfig.netBuffer) * 40, 32 * 1024, 8 * 1024 * 1024);
  n.ring.Reset(netBytes, netBytes / 4);
  {
    std::lock_guard<std::mutex> g(gTableLock);
    if (!gEngine.inited) return Fail(BASS_ERROR_INIT);
    gPending.push_back(s);
  }
  StartNetSource(s);

  auto fail = [&](int code) -> HSTREAM {
    RemovePending(s);
    Teardown(s);
    return Fail(code);
  };
  const auto timeout = std::chrono::milliseconds(n.connectTimeoutMs);
  int err = 0;
  if (!WaitForHeaders(n, Clock::now() + timeout, &err)) return fail(err ? err : BASS_ERROR_TIMEOUT);
  bool textType = false;
  {
    std::lock_guard<std::mutex> g(n.headerLock);
    for (const std::string& line : n.headers) {
      s->httpTags.insert(s->httpTags.end(), line.begin(), line.end());
      s->httpTags.push_back('\0');
      // A web page is not a stream, whatever its bytes may look like to a prober.
      if (strncasecmp(line.c_str(), "content-type:", 13) == 0) {
        const char* v = line.c_str() + 13;
        while (*v == ' ' || *v == '\t') ++v;
        textType = strncasecmp(v, "text/", 5) == 0;
      }
    }
    s->httpTags.push_back('\0');
    s->icyResponse = n.icy;
  }
  if (textType) return fail(BASS_ERROR_FILEFORM);
  err = OpenUrlDecoder(s, Clock::now() + timeout);
  if (err) return fail(err);

  const DWORD prebuf = gConfig.netPrebuf;
  if (prebuf > 0) n.ring.WaitFill(n.ring.Capacity() * prebuf / 100, Clock::now() + timeout);

  s->decodeThread = std::thread(RunDecoder, s);
  const DWORD h = Register(s);
  if (!h) {
    Teardown(s);
    return Fail(BASS_ERROR_INIT);
  }
  SetError(BASS_OK);
  return h;
}

BOOL BASS_StreamFree(HSTREAM handle) {
  StreamPtr s = TakeStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  Teardown(s);
  SetError(BASS_OK);
  return TRUE;
}

QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode) {
  StreamPtr s = FindStream(handle);
  if (!s) {
    SetError(BASS_ERROR_HANDLE);
    return QWORD(-1);
  }
  if (!s->net) {
    SetError(BASS_ERROR_NOTFILE);
    return QWORD(-1);
  }
  QWORD v;
  switch (mode) {
    case BASS_FILEPOS_CURRENT:
      v = s->net->ring.TotalOut();
      break;
    case BASS_FILEPOS_DOWNLOAD:
      v = s->net->ring.TotalIn();
      break;
    case BASS_FILEPOS_CONNECTED:
      v = s->net->connected ? 1 : 0;
      break;
    case BASS_FILEPOS_BUFFER:
      v = s->net->ring.Fill();
      break;
    case BASS_FILEPOS_END:
      SetError(BASS_ERROR_NOTAVAIL);  // an endless stream has no size
      return QWORD(-1);
    default:
      SetError(BASS_ERROR_ILLTYPE);
      return QWORD(-1);
  }
  SetError(BASS_OK);
  return v;
}

DWORD BASS_ChannelIsActive(DWORD handle) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  SetError(BASS_OK);
  if (s->ended || !s->inMixer) return BASS_ACTIVE_STOPPED;
  return s->stalled ? BASS_ACTIVE_STALLED : BASS_ACTIVE_PLAYING;
}

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  if (!info) return Fail(BASS_ERROR_ILLPARAM);
  *info = s->info;
  info->filename = s->url.empty() ? nullptr : s->url.c_str();
  SetError(BASS_OK);
  return TRUE;
}

const char* BASS_ChannelGetTags(DWORD handle, DWORD tags) {
  StreamPtr s = FindStream(handle);
  if (!s) {
    SetError(BASS_ERROR_HANDLE);
    return nullptr;
  }
  const char* result = nullptr;
  switch (tags) {
    case BASS_TAG_HTTP:
      if (!s->httpTags.empty()) result = s->httpTags.data();
      break;
    case BASS_TAG_ICY:
      if (s->icyResponse && !s->httpTags.empty()) result = s->httpTags.data();
      break;
    case BASS_TAG_META: {
      // Copied under the stream's lock into this thread's own buffer: the download
      // thread may store new titles at any moment, and the caller's pointer stays valid
      // until its next call for the tag.
      // (A plain array: a thread-local object with a destructor would pin the library.
      // An ICY block holds at most 255 x 16 bytes.)
      thread_local char tMeta[4096];
      std::lock_guard<std::mutex> g(s->lock);
      if (s->hasMeta) {
        const size_t n = std::min(s->meta.size(), sizeof tMeta - 1);
        std::memcpy(tMeta, s->meta.data(), n);
        tMeta[n] = '\0';
        result = tMeta;
      }
      break;
    }
    case BASS_TAG_WAVEFORMAT:
      if (s->hasWaveFormat) result = reinterpret_cast<const char*>(&s->waveFormat);
      break;
    default:
      break;
  }
  SetError(result ? BASS_OK : BASS_ERROR_NOTAVAIL);
  return result;
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  if (gEngine.deviceFailed) return Fail(BASS_ERROR_UNKNOWN);
  if (s->ended) return Fail(BASS_ERROR_ENDED);
  if (!EnginePlay(s)) return Fail(BASS_ERROR_INIT);
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ChannelStop(DWORD handle) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  EngineStop(s);
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  if (attrib != BASS_ATTRIB_VOL) return Fail(BASS_ERROR_ILLTYPE);
  if (!std::isfinite(value)) return Fail(BASS_ERROR_ILLPARAM);
  std::lock_guard<std::mutex> g(s->lock);
  s->volume = std::max(0.0f, value);
  s->sliding = false;
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  if (!value) return Fail(BASS_ERROR_ILLPARAM);
  if (attrib == BASS_ATTRIB_VOL) {
    std::lock_guard<std::mutex> g(s->lock);
    *value = CurrentVolume(*s);
  } else if (attrib == BASS_ATTRIB_FREQ) {
    // The rate the stream is played (and its DSPs fed) at.
    *value = float(s->outRate);
  } else if (attrib == BASS_ATTRIB_BITRATE) {
    if (!s->decoder || s->kind != SourceKind::Url) return Fail(BASS_ERROR_ILLTYPE);
    *value = DecoderBitrateKbps(s->decoder.get());
  } else {
    return Fail(BASS_ERROR_ILLTYPE);
  }
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ChannelSlideAttribute(DWORD handle, DWORD attrib, float value, DWORD time) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  if ((attrib & 0x00FFFFFF) != BASS_ATTRIB_VOL) return Fail(BASS_ERROR_ILLTYPE);
  if (!std::isfinite(value)) return Fail(BASS_ERROR_ILLPARAM);
  value = std::max(0.0f, value);
  std::lock_guard<std::mutex> g(s->lock);
  const float from = CurrentVolume(*s);
  // A slide runs in the mixer, sample by sample; a stream that is not playing has
  // nothing to slide and takes the value at once.
  if (time == 0 || !s->inMixer) {
    s->volume = value;
    s->sliding = false;
  } else {
    s->slideFrom = from;
    s->slideTo = value;
    s->slideTotal = uint64_t(s->outRate) * time / 1000;
    if (s->slideTotal == 0) s->slideTotal = 1;
    s->slideDone = 0;
    s->sliding = true;
  }
  SetError(BASS_OK);
  return TRUE;
}

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode) {
  StreamPtr s = FindStream(handle);
  SetError(s ? BASS_ERROR_NOTAVAIL : BASS_ERROR_HANDLE);  // live streams have no length
  return QWORD(-1);
}

BOOL BASS_ChannelGetLevelEx(DWORD handle, float* levels, float length, DWORD flags) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  if (!levels || !(length > 0.0f) || length > 1.0f) return Fail(BASS_ERROR_ILLPARAM);
  if (!s->inMixer) return Fail(BASS_ERROR_NOPLAY);
  const int chans = s->outChans;
  const size_t ring = s->history.size() / size_t(chans);
  const uint64_t delay = uint64_t(std::max(0, gEngine.delayFrames.load()));
  std::vector<double> acc(size_t(chans), 0.0);
  {
    std::lock_guard<std::mutex> g(s->lock);
    // What is heard now was mixed `delay` frames ago.
    const uint64_t end = s->historyFrames > delay ? s->historyFrames - delay : 0;
    uint64_t count = uint64_t(double(length) * s->outRate);
    count = std::min<uint64_t>({count, end, ring - 1});
    const bool rms = flags & BASS_LEVEL_RMS;
    // The frames lie in the ring in at most two runs: before and after its end.
    const size_t first = size_t((end - count) % ring);
    const size_t runs[2][2] = {{first, std::min<size_t>(first + size_t(count), ring)},
                               {0, first + size_t(count) > ring ? first + size_t(count) - ring : 0}};
    for (const auto& run : runs) {
      for (size_t f = run[0]; f < run[1]; ++f) {
        const float* frame = &s->history[f * size_t(chans)];
        for (int c = 0; c < chans; ++c) {
          const double a = std::fabs(frame[c]);
          acc[size_t(c)] = rms ? acc[size_t(c)] + a * a : std::max(acc[size_t(c)], a);
        }
      }
    }
    if (rms)
      for (double& v : acc) v = count ? std::sqrt(v / double(count)) : 0.0;
  }
  if (flags & BASS_LEVEL_MONO) {
    levels[0] = float(*std::max_element(acc.begin(), acc.end()));
  } else if (flags & BASS_LEVEL_STEREO) {
    double l = 0, r = 0;
    for (int c = 0; c < chans; ++c) (c % 2 ? r : l) = std::max(c % 2 ? r : l, acc[size_t(c)]);
    if (chans == 1) r = l;
    levels[0] = float(l);
    levels[1] = float(r);
  } else {
    for (int c = 0; c < chans; ++c) levels[c] = float(acc[size_t(c)]);
  }
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
  StreamPtr s = FindStream(handle);
  if (!s) {
    SetError(BASS_ERROR_HANDLE);
    return DWORD(-1);
  }
  if (length == BASS_DATA_AVAILABLE) {
    SetError(BASS_OK);
    // In the format the DSPs see: a mono source counts as mono.
    const size_t fill = s->pcm.Fill();
    return DWORD(s->info.chans == 1 && s->outChans == 2 ? fill / 2 : fill);
  }
  if (!buffer) {
    SetError(BASS_ERROR_ILLPARAM);
    return DWORD(-1);
  }
  // The most recently mixed samples, as float or 16-bit.
  const bool asFloat = length & BASS_DATA_FLOAT;
  const size_t bytes = length & 0x0FFFFFFF;
  const size_t sampleSize = asFloat ? 4 : 2;
  const int chans = s->outChans;
  const size_t ring = s->history.size() / size_t(chans);
  std::lock_guard<std::mutex> g(s->lock);
  uint64_t frames = std::min<uint64_t>({bytes / sampleSize / size_t(chans), s->historyFrames, ring});
  const uint64_t start = s->historyFrames - frames;
  for (uint64_t f = 0; f < frames; ++f) {
    const float* frame = &s->history[size_t((start + f) % ring) * size_t(chans)];
    for (int c = 0; c < chans; ++c) {
      const size_t i = size_t(f) * size_t(chans) + size_t(c);
      if (asFloat)
        static_cast<float*>(buffer)[i] = frame[c];
      else
        static_cast<int16_t*>(buffer)[i] = int16_t(std::lrint(std::clamp(frame[c], -1.0f, 1.0f) * 32767.0f));
    }
  }
  SetError(BASS_OK);
  return DWORD(frames * size_t(chans) * sampleSize);
}

HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC* proc, void* user) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  const DWORD base = type & 0x00FFFFFF;
  if (base != BASS_SYNC_END && base != BASS_SYNC_META && base != BASS_SYNC_DEV_FAIL) return Fail(BASS_ERROR_ILLTYPE);
  if (!proc) return Fail(BASS_ERROR_ILLPARAM);
  const HSYNC h = NewSubHandle();
  std::lock_guard<std::mutex> g(s->lock);
  s->syncs.push_back({h, type, proc, user, false});
  SetError(BASS_OK);
  return h;
}

BOOL BASS_ChannelRemoveSync(DWORD handle, HSYNC sync) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  std::lock_guard<std::mutex> g(s->lock);
  auto it = std::find_if(s->syncs.begin(), s->syncs.end(), [&](const SyncEntry& e) { return e.handle == sync; });
  if (it == s->syncs.end()) return Fail(BASS_ERROR_HANDLE);
  s->syncs.erase(it);
  SetError(BASS_OK);
  return TRUE;
}

HDSP BASS_ChannelSetDSP(DWORD handle, DSPPROC* proc, void* user, int priority) {
  StreamPtr s = FindStream(handle);
  if (!s) return Fail(BASS_ERROR_HANDLE);
  if (!proc) return Fail(BASS_ERROR_ILLPARAM);
  const HDSP h = NewSubHandle();
  std::lock_guard<std::mutex> g(s->lock);
  // Higher priority runs first; equal priorities in the order they were set.
  auto at = std::find_if(s->dsps.begin(), s->dsps.end(), [&](const DspEntry& e) { return e.priority < priority; });
  s->dsps.insert(at, {h, proc, user, priority});
  SetError(BASS_OK);
  return h;
}

}  // extern "C"
