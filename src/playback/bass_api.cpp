// The binding to the audio library: loader with its version check, start-up
// configuration, output open/close and the error texts.
#include "playback/bass_api.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <filesystem>
#include <mutex>

#include "base/base.h"
#include "playback/playback.h"

#ifdef _WIN32
// The system loader's entry points (kernel32), declared here: windows.h does not mix with
// the player's own names (WinMain is a window number).
extern "C" {
__declspec(dllimport) void* __stdcall LoadLibraryExW(const wchar_t* file, void* reserved, unsigned long flags);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) int __stdcall FreeLibrary(void* module);
}
#endif

BassApi gBass;

namespace {

// The library handle, one per process. Main thread only.
void* gAudioLibrary = nullptr;

// The user agent handed to the library: the library may keep the pointer, so the copy
// lives until the program ends.
std::string* gUserAgentBuffer = nullptr;

#ifdef _WIN32
constexpr unsigned long kLoadWithAlteredSearchPath = 0x00000008;

// The path is UTF-8. Made full, with backslashes, so that the library's own folder is
// searched for the DLLs it needs (the decoders', the downloader's).
void* OpenLibrary(const std::string& path) {
  std::error_code error;
  std::filesystem::path full =
      std::filesystem::absolute(std::filesystem::path(std::u8string(path.begin(), path.end())), error);
  if (error) return nullptr;
  full.make_preferred();
  return LoadLibraryExW(full.c_str(), nullptr, kLoadWithAlteredSearchPath);
}
void* LibrarySymbol(void* library, const char* name) { return GetProcAddress(library, name); }
void CloseLibrary(void* library) { FreeLibrary(library); }
#else
void* OpenLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* LibrarySymbol(void* library, const char* name) { return dlsym(library, name); }
void CloseLibrary(void* library) { dlclose(library); }
#endif

template <typename T>
void Resolve(T& slot, const char* name) {
  // A missing export is not detected here: the slot stays null.
  slot = reinterpret_cast<T>(LibrarySymbol(gAudioLibrary, name));
}

struct ErrorText {
  int code;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "OK"},
    {1, "Memory error"},
    {2, "Can't open the file"},
    {3, "Can't find a free/valid driver"},
    {4, "The sample buffer was lost"},
    {5, "Invalid handle"},
    {6, "Unsupported sample format"},
    {7, "Invalid playback position"},
    {8, "BASS_Init has not been successfully called"},
    {9, "BASS_Start has not been successfully called"},
    {14, "Already initialized"},
    {18, "Can't get a free channel"},
    {19, "An illegal type was specified"},
    {20, "An illegal parameter was specified"},
    {21, "No 3D support"},
    {22, "No EAX support"},
    {23, "Illegal device number"},
    {24, "Not playing"},
    {25, "Illegal sample rate"},
    {27, "The stream is not a file stream"},
    {29, "No hardware voices available"},
    {31, "The MOD music has no sequence Data"},
    {32, "No internet connection could be opened"},
    {33, "Couldn't create the file"},
    {34, "Effects are not available"},
    {37, "Requested Data is not available"},
    {38, "The channel is a decoding channel"},
    {39, "A sufficient DirectX version is not installed"},
    {40, "Connection timed out"},
    {41, "Unsupported file format"},
    {42, "Unavailable speaker"},
    {43, "Invalid BASS version (add-on error)"},
    {44, "Codec is Not available/supported"},
    {45, "The channel/file has ended"},
    {46, "The device is busy"},
    {-1, "Unknown"},
};

}  // namespace

int AudioLibraryLoaded() { return gAudioLibrary != nullptr ? 1 : 0; }

int LoadAudioLibrary(const std::string& path) {
  if (gAudioLibrary != nullptr) return 0;
  gAudioLibrary = OpenLibrary(path);
  if (gAudioLibrary == nullptr) return 0;
  Resolve(gBass.BASS_GetVersion, "BASS_GetVersion");
  if (gBass.BASS_GetVersion == nullptr) {
    UnloadAudioLibrary();
    return 0;
  }
  const uint32_t version = gBass.BASS_GetVersion();
  if ((version & 0xFFFF0000u) != 0x02040000u || version < 0x02040A00u) {
    UnloadAudioLibrary();
    return 0;
  }
  Resolve(gBass.BASS_SetConfig, "BASS_SetConfig");
  Resolve(gBass.BASS_GetConfig, "BASS_GetConfig");
  Resolve(gBass.BASS_SetConfigPtr, "BASS_SetConfigPtr");
  Resolve(gBass.BASS_ErrorGetCode, "BASS_ErrorGetCode");
  Resolve(gBass.BASS_Init, "BASS_Init");
  Resolve(gBass.BASS_Free, "BASS_Free");
  Resolve(gBass.BASS_PluginLoad, "BASS_PluginLoad");
  Resolve(gBass.BASS_StreamCreate, "BASS_StreamCreate");
  Resolve(gBass.BASS_StreamCreateURL, "BASS_StreamCreateURL");
  Resolve(gBass.BASS_StreamFree, "BASS_StreamFree");
  Resolve(gBass.BASS_StreamGetFilePosition, "BASS_StreamGetFilePosition");
  Resolve(gBass.BASS_ChannelIsActive, "BASS_ChannelIsActive");
  Resolve(gBass.BASS_ChannelGetInfo, "BASS_ChannelGetInfo");
  Resolve(gBass.BASS_ChannelGetTags, "BASS_ChannelGetTags");
  Resolve(gBass.BASS_ChannelPlay, "BASS_ChannelPlay");
  Resolve(gBass.BASS_ChannelStop, "BASS_ChannelStop");
  Resolve(gBass.BASS_ChannelSetAttribute, "BASS_ChannelSetAttribute");
  Resolve(gBass.BASS_ChannelGetAttribute, "BASS_ChannelGetAttribute");
  Resolve(gBass.BASS_ChannelSlideAttribute, "BASS_ChannelSlideAttribute");
  Resolve(gBass.BASS_ChannelGetLength, "BASS_ChannelGetLength");
  Resolve(gBass.BASS_ChannelGetLevelEx, "BASS_ChannelGetLevelEx");
  Resolve(gBass.BASS_ChannelGetData, "BASS_ChannelGetData");
  Resolve(gBass.BASS_ChannelSetSync, "BASS_ChannelSetSync");
  Resolve(gBass.BASS_ChannelRemoveSync, "BASS_ChannelRemoveSync");
  Resolve(gBass.BASS_ChannelSetDSP, "BASS_ChannelSetDSP");
  return 1;
}

void UnloadAudioLibrary() {
  if (gAudioLibrary == nullptr) return;
  gBass = BassApi{};
  CloseLibrary(gAudioLibrary);
  gAudioLibrary = nullptr;
}

std::string AudioErrorText(int code) {
  if (code == 0 && gBass.BASS_ErrorGetCode != nullptr) code = gBass.BASS_ErrorGetCode();
  const char* text = "Unexpected";
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.code == code) {
      text = entry.text;
      break;
    }
  }
  return std::string("BASS: ") + text + "! (error " + std::to_string(code) + ")";
}

int64_t SetAudioOutput(int open) {
  if (open != 0) {
    gPlayer.audioReady = 1;
    // There is no window handle to pass on this platform; the library does not need one.
    if (gBass.BASS_Init == nullptr || !gBass.BASS_Init(-1, 48000, 0, nullptr, nullptr)) {
      // "Already initialized" means the output is open: saying it is not would leave the
      // player believing it has no sound while it has.
      if (gBass.BASS_ErrorGetCode == nullptr || gBass.BASS_ErrorGetCode() != BASS_ERROR_ALREADY) {
        gPlayer.audioReady = 0;
        if (Logging()) Log(AudioErrorText(0));
      }
    }
  } else if (gPlayer.audioReady == 1) {
    gPlayer.audioReady = 0;
    if (gBass.BASS_Free != nullptr) gBass.BASS_Free();
  }
  return gPlayer.audioReady;
}

std::string ConfigureAudioLibrary(const std::string& dataFolder, const std::string& userAgent) {
  if (gAudioLibrary == nullptr) return "BASS v2.4 needed!" + dataFolder;
  struct Option {
    DWORD option;
    DWORD value;
  };
  static constexpr Option kOptions[] = {
      {BASS_CONFIG_UNICODE, 1},     {BASS_CONFIG_OPTION29, 1},           {BASS_CONFIG_BUFFER, 500},
      {BASS_CONFIG_VERIFY, 4000},   {BASS_CONFIG_NET_PREBUF, 0},         {BASS_CONFIG_NET_BUFFER, 1000},
      {BASS_CONFIG_CURVE_VOL, 0},   {BASS_CONFIG_NET_READTIMEOUT, 1000}, {BASS_CONFIG_NET_TIMEOUT, 5000},
      {BASS_CONFIG_DEV_DEFAULT, 1}, {BASS_CONFIG_FLOATDSP, 1},
  };
  for (const Option& entry : kOptions) {
    if (!gBass.BASS_SetConfig(entry.option, entry.value)) return AudioErrorText(0);
  }

  // The text is passed as 8-bit bytes; the UTF-8 we hold already is that.
  if (gUserAgentBuffer == nullptr) gUserAgentBuffer = new std::string();
  *gUserAgentBuffer = userAgent;
  if (!gBass.BASS_SetConfigPtr(BASS_CONFIG_NET_AGENT, gUserAgentBuffer->c_str())) return AudioErrorText(0);

  if (SetAudioOutput(1) == 0) return AudioErrorText(0);

  if (gBass.BASS_GetConfig(BASS_CONFIG_FLOAT) == 0) return "Floating point not possible on this system.";

  const HSTREAM probe = gBass.BASS_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT, STREAMPROC_DUMMY, nullptr);
  if (probe == 0) return "32bit floating point stream not supported on default device.";
  gBass.BASS_StreamFree(probe);

  // A missing add-on only narrows the formats that play, so none of these is checked.
  gBass.BASS_PluginLoad((dataFolder + kAudioAacAddonFile).c_str(), BASS_UNICODE);
  gBass.BASS_SetConfig(BASS_CONFIG_AAC_MP4, 1);
  gBass.BASS_SetConfig(BASS_CONFIG_MP4_VIDEO, 1);
  gBass.BASS_PluginLoad((dataFolder + kAudioOpusAddonFile).c_str(), BASS_UNICODE);
  return "";
}

std::string StartAudioLibrary(const std::string& dataFolder, const std::string& userAgent) {
  if (!LoadAudioLibrary(dataFolder + kAudioLibraryFile)) return "BASS v2.4 needed!" + dataFolder;
  return ConfigureAudioLibrary(dataFolder, userAgent);
}
