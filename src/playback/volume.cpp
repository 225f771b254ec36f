// Volume and loudness: every volume change reaches the stream through SetVolume; at
// each title change the finished title's loudness goes into the history and the volume
// steps towards a fixed target loudness.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>

#include "base/base.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

namespace {

std::atomic<VolumeDisplay> gVolumeDisplay{nullptr};

std::string TwoDecimals(double value) { return FormatFixed(value, 2); }

}  // namespace

double LevelDb(double amplitude) {
  if (!(amplitude > 0.0)) return kSilenceFloorDb;
  return std::max(20.0 * std::log10(amplitude), kSilenceFloorDb);
}

void SetVolume(float level, int slideMs) {
  if (!(level >= 0.0f)) level = 0.0f;  // NaN too
  if (level > 1.0f) level = 1.0f;
  slideMs = std::clamp(slideMs, 1, 5000);
  gPlayer.volume = level;
  HSTREAM h = gPlayer.streamHandle.load();
  if (h != 0 && gBass.BASS_ChannelSlideAttribute)
    gBass.BASS_ChannelSlideAttribute(h, BASS_ATTRIB_VOL, gSettings.muted.load() ? 0.0f : level, DWORD(slideMs));
  if (VolumeDisplay display = gVolumeDisplay.load()) display(level);
}

void SetVolumeDisplay(VolumeDisplay display) { gVolumeDisplay.store(display); }

TitleLevels ComputeTitleLevels(double sumSquares, int64_t sampleCount, double titlePeak, float baseVolume) {
  TitleLevels out;
  out.volume = baseVolume;
  if (!(sumSquares > 0.0) || sampleCount <= 0 || !(titlePeak > 0.0)) return out;
  // Measured levels are kept as they are (a near-silent title may read -167 dBFS): the
  // guard above keeps them finite, and the step below clamps its own copies.
  double peak = 20.0 * std::log10(titlePeak);
  double rms = 20.0 * std::log10(std::sqrt(2.0 * sumSquares / double(sampleCount)));
  out.measured = 1;
  out.rms = float(rms);
  out.peak = float(peak);
  peak = std::clamp(peak, -100.0, 0.0);
  rms = std::clamp(rms, -100.0, 0.0);
  out.headroom = float(std::fabs(rms - peak));
  float gain = float(kTargetLoudness - rms);
  float v = float(baseVolume * std::pow(10.0, double(gain) * 0.05));
  if (v > 1.0f) v = 1.0f;
  if (v < 0.01f) v = 0.01f;
  out.volume = v;
  return out;
}

void DspFormat(HSTREAM h, double* rate, int64_t* channels) {
  *rate = 0.0;
  *channels = 0;
  float played = 0.0f;
  if (gBass.BASS_ChannelGetAttribute && gBass.BASS_ChannelGetAttribute(h, BASS_ATTRIB_FREQ, &played) && played > 0.0f)
    *rate = double(played);
  BASS_CHANNELINFO info{};
  if (gBass.BASS_ChannelGetInfo && gBass.BASS_ChannelGetInfo(h, &info)) {
    if (*rate <= 0.0) *rate = double(info.freq);
    // A source with more channels reaches the DSP mixed down to the output's.
    *channels = std::min(int64_t(info.chans), kOutputChannels);
  }
  if (!(*rate >= 1000.0 && *rate <= 384000.0)) *rate = 48000.0;
  if (*channels < 1 || *channels > 8) *channels = 2;
}

int64_t BufferedSamplesAhead() {
  HSTREAM h = gPlayer.streamHandle.load();
  if (h == 0 || !gBass.BASS_StreamGetFilePosition) return 0;
  double rate;
  int64_t chans;
  DspFormat(h, &rate, &chans);
  double seconds = 0.0;
  QWORD compressed = gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_BUFFER);
  double byteRate = double(gPlayer.bitrate.load()) / 8.0;
  if (compressed != QWORD(-1) && byteRate > 0.0) seconds += double(compressed) / byteRate;
  if (gBass.BASS_ChannelGetData) {
    // Decoded and waiting, already in the DSP's format.
    DWORD decoded = gBass.BASS_ChannelGetData(h, nullptr, BASS_DATA_AVAILABLE);
    if (decoded != DWORD(-1)) seconds += double(decoded) / (sizeof(float) * rate * double(chans));
  }
  seconds = std::clamp(seconds, 0.0, 10.0);
  return int64_t(std::llround(seconds * rate)) * chans;
}

void HandleTrackChange() {
  ParseStreamTitle();
  NowPlaying now = GetTrackInfo();
  if (now.title.empty()) return;
  std::string key = now.artist + now.title;
  if (key == PlayerString(&PlayerState::lastTrackKey)) return;
  int64_t t = UtcNow();

  std::string logLine;
  bool stepVolume = false;
  float newVolume = 0.0f;
  {
    std::lock_guard<std::mutex> lock(gTrackHistory.lock);
    std::vector<TrackHistoryEntry>& history = gTrackHistory.entries;
    if (!history.empty()) {
      if (history.front().artist == now.artist && history.front().title == now.title) return;
      SetPlayerString(&PlayerState::lastTrackKey, key);
      while (history.size() > kHistoryLimit) history.pop_back();
      TrackHistoryEntry& ended = history.front();
      ended.end = t;
      TitleLevels levels = ComputeTitleLevels(gPlayer.sumSquares.load(), gPlayer.sampleCount.load(),
                                              gPlayer.titlePeak.load(), SettingsVolumeFactor());
      if (levels.measured) {
        ended.rms = levels.rms;
        ended.peak = levels.peak;
        ended.headroom = levels.headroom;
        // The step runs in every volume mode, the presets included.
        stepVolume = true;
        newVolume = levels.volume;
      } else {
        ended.headroom = 0.0f;
        ended.peak = 0.0f;
      }
      if (Logging())
        logLine = "\"" + ended.artist + " - " + ended.title + "\", Headroom " + TwoDecimals(ended.headroom) +
                  " dB, RMS " + TwoDecimals(ended.rms) + " dBFS, " + TwoDecimals(ended.peak) + " dBFS Max Peak.";
    }
    TrackHistoryEntry entry;
    entry.artist = now.artist;
    entry.title = now.title;
    entry.album = now.album;
    entry.start = t;
    entry.end = t;
    history.insert(history.begin(), std::move(entry));
  }
  if (stepVolume) {
    gPlayer.volume = newVolume;
    SetVolume(newVolume, 1000);
  }
  if (!logLine.empty()) Log(logLine);
  // The new title's measurement starts with the DSP's next buffer.
  gPlayer.measureReset = 1;
  if (IsWindow(WinMain)) PostEvent(EventNowPlaying, WinMain, 0);
}
