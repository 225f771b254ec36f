// The Windows output: WASAPI shared mode on the default device, which under Wine is a
// PulseAudio server's sink when one answers and nothing at all without one; and how the
// mixer's stereo is laid on a device's channels.
#include <gtest/gtest.h>

#include <vector>

#include "channel_map.h"

// Catches the mixer's stereo laid wrongly on a device: left and right swapped or not on
// the first two channels, sound on the others, or a mono device given one side only.
TEST(ChannelMap, StereoOnTheDevicesChannels) {
  const float in[] = {0.5f, -0.25f, 0.1f, 0.3f};
  struct Case {
    int channels;
    std::vector<float> out;
  } cases[] = {
      {1, {0.125f, 0.2f}},
      {2, {0.5f, -0.25f, 0.1f, 0.3f}},
      {6, {0.5f, -0.25f, 0, 0, 0, 0, 0.1f, 0.3f, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    std::vector<float> out(c.out.size(), 9.0f);
    audiolib::SpreadStereo(in, 2, out.data(), c.channels);
    EXPECT_EQ(out, c.out) << c.channels << " channels";
  }
}

#ifdef _WIN32
#include <windows.h>
// (windows.h first: the audio headers need its types.)
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmsystem.h>

#include <atomic>
#include <cmath>
#include <string>

#include "media.h"
#include "playback/bass_api.h"
#include "portable.h"
#include "test_server.h"

namespace {

bool HasSoundDevice() { return waveOutGetNumDevs() > 0; }

// The default device's mix rate, asked of Windows apart from the library; 0 when none.
int DeviceRate() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IMMDeviceEnumerator* enumerator = nullptr;
  IMMDevice* device = nullptr;
  IAudioClient* client = nullptr;
  WAVEFORMATEX* format = nullptr;
  int rate = 0;
  if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                 reinterpret_cast<void**>(&enumerator))) &&
      SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) &&
      SUCCEEDED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client))) &&
      SUCCEEDED(client->GetMixFormat(&format))) {
    rate = int(format->nSamplesPerSec);
    CoTaskMemFree(format);
  }
  if (client) client->Release();
  if (device) device->Release();
  if (enumerator) enumerator->Release();
  CoUninitialize();
  return rate;
}

void LoadLibraryOnce() {
  if (!AudioLibraryLoaded()) {
    ASSERT_EQ(LoadAudioLibrary(DataDir() + kAudioLibraryFile), 1);
  }
}

void OnDsp(HDSP, DWORD, void*, DWORD, void* user) { ++*static_cast<std::atomic<int>*>(user); }

}  // namespace

// Catches the default output that is not WASAPI, a device left at the rate the player
// asked for instead of its own, a write that never returns (the DSP stops being called),
// levels that do not follow the tone through the device's delay, and an output that
// cannot be closed and opened again (COM released on the wrong thread).
TEST(Wasapi, PlaysOnTheDefaultDeviceAtItsRate) {
  if (!HasSoundDevice()) GTEST_SKIP() << "no sound device (no sound server for Wine)";
  const int deviceRate = DeviceRate();
  ASSERT_GT(deviceRate, 0);
  LoadLibraryOnce();
  // The player's own buffering: no wait for a full buffer at the connect.
  gBass.BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 0);
  gBass.BASS_SetConfig(BASS_CONFIG_NET_BUFFER, 1000);
  TestServer server;
  server.Route("/mp3", {.headers = {"content-type:audio/mpeg"}, .body = MediaBytes(Media::Mp3Tone)});
  for (const char* output : {"wasapi", ""}) {
    SCOPED_TRACE(output);
    if (*output)
      setenv("CORVALE_AUDIO_OUTPUT", output, 1);
    else
      unsetenv("CORVALE_AUDIO_OUTPUT");
    const DWORD asked = deviceRate == 44100 ? 48000 : 44100;
    ASSERT_TRUE(gBass.BASS_Init(-1, asked, 0, nullptr, nullptr)) << gBass.BASS_ErrorGetCode();
    const HSTREAM h = gBass.BASS_StreamCreateURL(server.Url("/mp3").c_str(), 0, kStreamConnectFlags, nullptr, nullptr);
    ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
    float rate = 0;
    ASSERT_TRUE(gBass.BASS_ChannelGetAttribute(h, BASS_ATTRIB_FREQ, &rate));
    EXPECT_EQ(int(rate), deviceRate);
    std::atomic<int> dspCalls{0};
    gBass.BASS_ChannelSetDSP(h, OnDsp, &dspCalls, 0);
    ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
    // 75 chunks of 40 ms: three seconds taken by the device.
    EXPECT_TRUE(WaitFor([&] { return dspCalls.load() > 75; }, 60)) << dspCalls.load();
    float levels[2] = {0, 0};
    EXPECT_TRUE(gBass.BASS_ChannelGetLevelEx(h, levels, 0.05f, BASS_LEVEL_STEREO));
    EXPECT_NEAR(levels[0], 0.5f, 0.05f);
    EXPECT_EQ(gBass.BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
    EXPECT_TRUE(gBass.BASS_StreamFree(h));
    EXPECT_TRUE(gBass.BASS_Free());
  }
  setenv("CORVALE_AUDIO_OUTPUT", "null", 1);
}

// Catches an output that hangs, or reports success, when Windows has no sound device at
// all (as under Wine without a sound server; the build runs this test once more with
// Wine's audio drivers switched off).
TEST(WasapiNoDevice, InitFailsWithTheDriverError) {
  if (HasSoundDevice()) {
    const char* meantGone = std::getenv("CORVALE_TEST_NO_SOUND_DEVICE");
    if (meantGone && *meantGone) FAIL() << "the sound device was meant to be gone";
    GTEST_SKIP() << "there is a sound device";
  }
  LoadLibraryOnce();
  setenv("CORVALE_AUDIO_OUTPUT", "wasapi", 1);
  EXPECT_FALSE(gBass.BASS_Init(-1, 48000, 0, nullptr, nullptr));
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_DRIVER);
  // The null output still opens: the player can tell no sound from no library.
  EXPECT_TRUE(gBass.BASS_Init(0, 48000, 0, nullptr, nullptr));
  EXPECT_TRUE(gBass.BASS_Free());
  setenv("CORVALE_AUDIO_OUTPUT", "null", 1);
}
#endif
