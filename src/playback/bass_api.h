// The binding to the audio library: a table of entry points resolved by export name
// from the library file in the data folder, the version check, the start-up
// configuration, opening and closing the output, and the program's error texts.
// The player never links the library; every call goes through gBass.
#pragma once

#include <cstdint>
#include <string>

#include "../../audiolib/bass.h"

// File names of the library and its add-ons in the data folder.
#ifdef _WIN32
inline constexpr const char* kAudioLibraryFile = "bass.dll";
inline constexpr const char* kAudioAacAddonFile = "bass_aac.dll";
inline constexpr const char* kAudioOpusAddonFile = "bassopus.dll";
#else
inline constexpr const char* kAudioLibraryFile = "libbass.so";
inline constexpr const char* kAudioAacAddonFile = "libbass_aac.so";
inline constexpr const char* kAudioOpusAddonFile = "libbassopus.so";
#endif

// Flags of every stream connection: UTF-8 URL, status, block, restricted rate, float.
inline constexpr DWORD kStreamConnectFlags =
    BASS_UNICODE | BASS_STREAM_STATUS | BASS_STREAM_BLOCK | BASS_STREAM_RESTRATE | BASS_SAMPLE_FLOAT;
static_assert(kStreamConnectFlags == 0x80980100u);

// One pointer per entry point, in the order they are resolved. Written by
// LoadAudioLibrary/UnloadAudioLibrary on the main thread before any worker runs;
// read-only afterwards.
struct BassApi {
  decltype(&::BASS_GetVersion) BASS_GetVersion = nullptr;
  decltype(&::BASS_SetConfig) BASS_SetConfig = nullptr;
  decltype(&::BASS_GetConfig) BASS_GetConfig = nullptr;
  decltype(&::BASS_SetConfigPtr) BASS_SetConfigPtr = nullptr;
  decltype(&::BASS_ErrorGetCode) BASS_ErrorGetCode = nullptr;
  decltype(&::BASS_Init) BASS_Init = nullptr;
  decltype(&::BASS_Free) BASS_Free = nullptr;
  decltype(&::BASS_PluginLoad) BASS_PluginLoad = nullptr;
  decltype(&::BASS_StreamCreate) BASS_StreamCreate = nullptr;
  decltype(&::BASS_StreamCreateURL) BASS_StreamCreateURL = nullptr;
  decltype(&::BASS_StreamFree) BASS_StreamFree = nullptr;
  decltype(&::BASS_StreamGetFilePosition) BASS_StreamGetFilePosition = nullptr;
  decltype(&::BASS_ChannelIsActive) BASS_ChannelIsActive = nullptr;
  decltype(&::BASS_ChannelGetInfo) BASS_ChannelGetInfo = nullptr;
  decltype(&::BASS_ChannelGetTags) BASS_ChannelGetTags = nullptr;
  decltype(&::BASS_ChannelPlay) BASS_ChannelPlay = nullptr;
  decltype(&::BASS_ChannelStop) BASS_ChannelStop = nullptr;
  decltype(&::BASS_ChannelSetAttribute) BASS_ChannelSetAttribute = nullptr;
  decltype(&::BASS_ChannelGetAttribute) BASS_ChannelGetAttribute = nullptr;
  decltype(&::BASS_ChannelSlideAttribute) BASS_ChannelSlideAttribute = nullptr;
  decltype(&::BASS_ChannelGetLength) BASS_ChannelGetLength = nullptr;
  decltype(&::BASS_ChannelGetLevelEx) BASS_ChannelGetLevelEx = nullptr;
  decltype(&::BASS_ChannelGetData) BASS_ChannelGetData = nullptr;
  decltype(&::BASS_ChannelSetSync) BASS_ChannelSetSync = nullptr;
  decltype(&::BASS_ChannelRemoveSync) BASS_ChannelRemoveSync = nullptr;
  decltype(&::BASS_ChannelSetDSP) BASS_ChannelSetDSP = nullptr;
};

extern BassApi gBass;

// Loads the library file at path and checks its version (2.4.10.0 or later within
// 2.4). Returns 1 on success, 0 when already loaded, not loadable or the wrong version.
int LoadAudioLibrary(const std::string& path);
// Frees the library if it is loaded and clears gBass.
void UnloadAudioLibrary();
// 1 while a library is loaded.
int AudioLibraryLoaded();
// Opens (open != 0) or closes the default output; returns gPlayer.audioReady afterwards.
int64_t SetAudioOutput(int open);
// "BASS: " + text + "! (error " + code + ")"; code 0 asks the library for its last code.
std::string AudioErrorText(int code);

// The start-up configuration after the library is loaded: options, user agent, the
// output, the float checks and the add-ons. Returns "" on success or the fatal message
// that the caller reports before ending the program.
std::string ConfigureAudioLibrary(const std::string& dataFolder, const std::string& userAgent);
// Loading (fatal text "BASS v2.4 needed!" + dataFolder) followed by the configuration
// above; "" on success.
std::string StartAudioLibrary(const std::string& dataFolder, const std::string& userAgent);
