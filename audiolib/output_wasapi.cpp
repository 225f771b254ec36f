// The default render endpoint through WASAPI in shared mode: event-driven, in the
// device's own mix format (float), whose rate becomes the mixer's; the mixer's stereo is
// spread over the device's channels. The COM objects that play belong to the mixing
// thread: open() only looks at the device from the caller's thread (whatever apartment
// that is in), the first write() opens it on the mixing thread and finish() releases it
// there.
#include <windows.h>
// (windows.h first: the audio headers need its types.)
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "channel_map.h"
#include "internal.h"

namespace audiolib {

namespace {

constexpr REFERENCE_TIME kBufferHns = 100 * 10000;  // 100 ms held by the device
// A device that takes nothing for this long has gone, whether or not it signals.
constexpr ULONGLONG kStallMs = 2000;

template <typename T>
void Release(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

struct WasapiState {
  int rate = 0;
  int channels = 2;        // the mixer's
  int deviceChannels = 2;  // the mix format's
  // Written and read on the mixing thread only.
  bool opened = false;
  bool failed = false;
  bool started = false;
  bool comInitialised = false;
  IAudioClient* client = nullptr;
  IAudioRenderClient* render = nullptr;
  HANDLE event = nullptr;
  UINT32 bufferFrames = 0;
  UINT32 latencyFrames = 0;
};

bool IsFloat(const WAVEFORMATEX* f) {
  if (!f || f->wBitsPerSample != 32) return false;
  if (f->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
  if (f->wFormatTag != WAVE_FORMAT_EXTENSIBLE || f->cbSize < 22) return false;
  // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT: the format tag in the wave formats' base GUID.
  static const GUID kFloat = {WAVE_FORMAT_IEEE_FLOAT, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  return IsEqualGUID(reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f)->SubFormat, kFloat);
}

// The default endpoint's client with its mix format (freed with CoTaskMemFree), or
// nullptr: no device at all (E_NOTFOUND, as under Wine without a sound server), or one
// that cannot be activated. The shared-mode mix format is float on every Windows.
IAudioClient* ActivateDefault(WAVEFORMATEX** format) {
  *format = nullptr;
  IMMDeviceEnumerator* enumerator = nullptr;
  IMMDevice* device = nullptr;
  IAudioClient* client = nullptr;
  if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                 reinterpret_cast<void**>(&enumerator))) &&
      SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) &&
      SUCCEEDED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client)))) {
    if (FAILED(client->GetMixFormat(format)) || !IsFloat(*format)) {
      CoTaskMemFree(*format);
      *format = nullptr;
      Release(client);
    }
  }
  Release(device);
  Release(enumerator);
  return client;
}

int WasapiOpen(void** state, const char*, int* rate, int channels) {
  if (channels != 2) return 0;  // the mixer's stereo is what gets spread
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  WAVEFORMATEX* format = nullptr;
  IAudioClient* client = ActivateDefault(&format);
  if (client) {
    auto* st = new WasapiState();
    st->rate = int(format->nSamplesPerSec);
    st->channels = channels;
    st->deviceChannels = format->nChannels;
    *rate = st->rate;
    *state = st;
  }
  CoTaskMemFree(format);
  const bool found = client != nullptr;
  Release(client);
  if (SUCCEEDED(com)) CoUninitialize();
  return found ? 1 : 0;
}

// Opens the default device for playing on the calling (mixing) thread.
bool OpenForPlaying(WasapiState* st) {
  st->opened = true;
  st->comInitialised = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  WAVEFORMATEX* format = nullptr;
  st->client = ActivateDefault(&format);
  // Another default device since open must still take the mixer's rate.
  bool ok = st->client && int(format->nSamplesPerSec) == st->rate &&
            SUCCEEDED(st->client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, kBufferHns, 0,
                                             format, nullptr));
  if (ok) st->deviceChannels = format->nChannels;
  CoTaskMemFree(format);
  if (!ok) return false;
  st->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ok = st->event && SUCCEEDED(st->client->SetEventHandle(st->event)) &&
       SUCCEEDED(st->client->GetBufferSize(&st->bufferFrames)) &&
       SUCCEEDED(st->client->GetService(__uuidof(IAudioRenderClient), reinterpret_cast<void**>(&st->render)));
  REFERENCE_TIME latency = 0;
  if (ok && SUCCEEDED(st->client->GetStreamLatency(&latency)))
    st->latencyFrames = UINT32(latency * st->rate / 10000000);
  return ok;
}

int Failed(WasapiState* st) {
  st->failed = true;
  return 0;
}

// Blocks until the device has taken every frame. A device that was removed fails its
// calls (AUDCLNT_E_DEVICE_INVALIDATED); one that stops taking data fails by the clock.
int WasapiWrite(void* state, const float* frames, int count) {
  auto* st = static_cast<WasapiState*>(state);
  if (st->failed || (!st->opened && !OpenForPlaying(st))) return Failed(st);
  ULONGLONG progress = GetTickCount64();
  while (count > 0) {
    UINT32 padding = 0;
    if (FAILED(st->client->GetCurrentPadding(&padding))) return Failed(st);
    const int n = std::min(count, int(st->bufferFrames - std::min(padding, st->bufferFrames)));
    if (n > 0) {
      BYTE* out = nullptr;
      if (FAILED(st->render->GetBuffer(UINT32(n), &out))) return Failed(st);
      if (st->deviceChannels == st->channels)
        std::memcpy(out, frames, size_t(n) * size_t(st->channels) * sizeof(float));
      else
        SpreadStereo(frames, n, reinterpret_cast<float*>(out), st->deviceChannels);
      if (FAILED(st->render->ReleaseBuffer(UINT32(n), 0))) return Failed(st);
      frames += size_t(n) * size_t(st->channels);
      count -= n;
      progress = GetTickCount64();
      // Started once there is something to play, so that it does not begin with a gap.
      if (!st->started) {
        if (FAILED(st->client->Start())) return Failed(st);
        st->started = true;
      }
      continue;
    }
    // The device signals each period as it takes data.
    WaitForSingleObject(st->event, DWORD(kStallMs));
    if (GetTickCount64() - progress >= kStallMs) return Failed(st);
  }
  return 1;
}

// What the device holds and its stream latency: what was written and is not heard yet.
int WasapiDelay(void* state) {
  auto* st = static_cast<WasapiState*>(state);
  UINT32 padding = 0;
  if (!st->client || st->failed || FAILED(st->client->GetCurrentPadding(&padding))) return 0;
  return int(padding + st->latencyFrames);
}

void WasapiFinish(void* state) {
  auto* st = static_cast<WasapiState*>(state);
  if (st->started) st->client->Stop();
  Release(st->render);
  Release(st->client);
  if (st->event) CloseHandle(st->event);
  st->event = nullptr;
  if (st->comInitialised) CoUninitialize();
  st->comInitialised = false;
}

void WasapiClose(void* state) { delete static_cast<WasapiState*>(state); }

}  // namespace

const OutputDevice kWasapiOutput = {"wasapi", WasapiOpen, WasapiWrite, WasapiDelay, WasapiClose, WasapiFinish};

}  // namespace audiolib
