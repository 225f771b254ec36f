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

// The song log's row of a title that starts now: what the stream tells about it.
SongRow SongRowNow(const NowPlaying& now) {
  SongRow row;
  row.artist = now.artist;
  row.title = now.title;
  row.album = now.album;
  row.streamTitle = LastStreamTitleText();
  row.stationId = gStation.id;
  row.streamName = PlayerString(&PlayerState::connectId);
  if (row.streamName.empty()) row.streamName = PlayerString(&PlayerState::serverName);
  row.codec = PlayerString(&PlayerState::codecName);
  row.bitrate = int(gPlayer.bitrate.load() / 1000);
  return row;
}

// The song log's row of the title that ended, with the figures measured for it.
void RecordEndedTitle(const TrackHistoryEntry& ended, int measured) {
  auto figure = [](float value) { return std::isfinite(value) ? double(value) : NAN; };
  SongLogTitleEnded(ended.end, measured ? double(ended.rms) : NAN, measured ? double(ended.peak) : NAN,
                    figure(ended.lufs), figure(ended.luRange), figure(ended.truePeak), gPlayer.heardSeconds.load());
}

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

void EndPlayingTitle() {
  if (!SongLogPlaying()) return;
  TitleLevels levels = ComputeTitleLevels(gPlayer.sumSquares.load(), gPlayer.sampleCount.load(),
                                          gPlayer.titlePeak.load(), SettingsVolumeFactor());
  TrackHistoryEntry playing;
  playing.rms = levels.rms;
  playing.peak = levels.peak;
  TakeTitleLoudness(playing);
  playing.end = UtcNow();
  RecordEndedTitle(playing, levels.measured);
}

void HandleTrackChange() {
  ParseStreamTitle();
  NowPlaying now = GetTrackInfo();
  if (now.title.empty()) return;
  std::string key = now.artist + now.title;
  if (key == PlayerString(&PlayerState::lastTrackKey)) return;
  int64_t t = UtcNow();
  SongRow started = SongRowNow(now);
  bool titleEnded = false;
  int endedMeasured = 0;
  TrackHistoryEntry endedCopy;

  std::string logLine, loudnessLine, limitLine;
  bool stepVolume = false;
  float newVolume = 0.0f;
  {
    std::lock_guard<std::mutex> lock(gTrackHistory.lock);
    std::vector<TrackHistoryEntry>& history = gTrackHistory.entries;
    if (!history.empty()) {
      if (history.front().artist == now.artist && history.front().title == now.title) {
        // The stream information named this title before the stream did: it is heard
        // from here on.
        if (!SongLogPlaying()) SongLogTitleStarted(started, t, gPlayer.heardSeconds.load());
        return;
      }
      SetPlayerString(&PlayerState::lastTrackKey, key);
      while (history.size() > kHistoryLimit) history.pop_back();
      TrackHistoryEntry& ended = history.front();
      ended.end = t;
      TitleLevels levels = ComputeTitleLevels(gPlayer.sumSquares.load(), gPlayer.sampleCount.load(),
                                              gPlayer.titlePeak.load(), SettingsVolumeFactor());
      endedMeasured = levels.measured;
      TakeTitleLoudness(ended);
      const bool evenLoudness = gSettings.measure.load() == MeasureR128;
      if (levels.measured) {
        ended.rms = levels.rms;
        ended.peak = levels.peak;
        ended.headroom = levels.headroom;
        // The step runs in every volume mode, the presets included.
        stepVolume = !evenLoudness;
        newVolume = levels.volume;
      } else {
        ended.headroom = 0.0f;
        ended.peak = 0.0f;
      }
      const std::string name = ended.artist + " - " + ended.title;
      if (evenLoudness) {
        EvenLoudnessStep step =
            ComputeEvenLoudnessStep(ended.lufs, ended.truePeak, gPlayer.volume.load(), SettingsVolumeFactor());
        stepVolume = step.measured != 0;
        newVolume = step.volume;
        if (Logging()) {
          loudnessLine = LoudnessLogLine(name, ended);
          if (step.limited) limitLine = TruePeakLimitLogLine(name, step, ended.truePeak);
        }
      }
      if (Logging())
        logLine = "\"" + name + "\", Headroom " + TwoDecimals(ended.headroom) + " dB, RMS " + TwoDecimals(ended.rms) +
                  " dBFS, " + TwoDecimals(ended.peak) + " dBFS Max Peak.";
    }
    if (!history.empty()) {
      titleEnded = true;
      endedCopy = history.front();
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
  for (const std::string* line : {&logLine, &loudnessLine, &limitLine})
    if (!line->empty()) Log(*line);
  if (titleEnded) RecordEndedTitle(endedCopy, endedMeasured);
  SongLogTitleStarted(started, t, gPlayer.heardSeconds.load());
  // The new title's measurement starts with the DSP's next buffer.
  gPlayer.measureReset = 1;
  if (IsWindow(WinMain)) PostEvent(EventNowPlaying, WinMain, 0);
}
