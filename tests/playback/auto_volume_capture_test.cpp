// The automatic volume step on real audio: the station simulator's titles (whose
// loudness cycles through four levels) play through the real audio library into a file
// while the main loop's part (title changes, the watchdog) runs here; the played level
// of each title is read back from the file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "playback/bass_api.h"
#include "playback_test_util.h"
#include "station_sim_fixture.h"

using namespace playtest;

namespace {

constexpr size_t kRate = 48000;  // the output mixes stereo floats at 48 kHz

size_t CapturedFrames(const std::string& path) {
  std::error_code ec;
  auto n = std::filesystem::file_size(path, ec);
  return ec ? 0 : size_t(n) / (2 * sizeof(float));
}

// RMS of frames [from, to) of the raw stereo float file, referred to a full-scale sine.
double PlayedLevel(const std::string& path, size_t from, size_t to) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(std::streamoff(from * 2 * sizeof(float)));
  std::vector<float> s((to - from) * 2);
  f.read(reinterpret_cast<char*>(s.data()), std::streamsize(s.size() * sizeof(float)));
  s.resize(size_t(f.gcount()) / sizeof(float));
  double sum = 0.0;
  for (float v : s) sum += double(v) * v;
  const double ms = s.empty() ? 0.0 : sum / double(s.size());
  return ms > 0.0 ? 20.0 * std::log10(std::sqrt(2.0 * ms)) : -200.0;
}

}  // namespace

// Catches the step compounding from the volume it last set (the radio fading out within
// minutes): the volume is the mode's base level times the step of the title just ended,
// so from the second round of the loudness cycle on every title plays at the level it had
// the round before.
TEST(AutoVolumeCapture, LevelsRepeatEveryRound) {
  ScratchFolder output, user, data;
  StationSim sim;
  // Four titles, one per loudness level: every round plays the same music.
  ASSERT_TRUE(sim.Start({"--title-seconds", "6", "--variants", "4", "--no-tls"})) << sim.startError;
  const std::string path = output.Path() + "auto.raw";
  setenv("CORVALE_AUDIO_OUTPUT", ("file:" + path).c_str(), 1);
  if (!AudioLibraryLoaded()) {
    ASSERT_TRUE(LoadAudioLibrary(std::string(TEST_DATA_DIR) + kAudioLibraryFile));
  }
  ASSERT_EQ(ConfigureAudioLibrary(TEST_DATA_DIR, "Corvale Player/5.4"), "");
  ResetPlayback();
  StationInfo savedStation = gStation;
  std::string savedUser = gApp.userFolder, savedData = gApp.dataFolder;
  const int64_t savedPreset = gSettings.preset.load();
  gApp.userFolder = user.Path();
  gApp.dataFolder = data.Path();
  gStation.infoUrls = {sim.Url("/info.json?streams=opus")};
  gSettings.preset = 0;  // automatic: base level 1.0
  gPlayer.volume = 1.0f;

  // The output file position at each title change, as the main loop handles it.
  std::vector<size_t> changes;
  StreamInfoWorker(kStreamInfoStartup);
  StartPlaybackWorker(1);
  int seen = PendingEventCount();
  const auto start = std::chrono::steady_clock::now();
  while (changes.size() < 14 && std::chrono::steady_clock::now() - start < std::chrono::seconds(150)) {
    while (PendingEventCount() != seen) {
      ++seen;
      const size_t before = TrackHistorySize();
      HandleTrackChange();
      if (TrackHistorySize() != before) changes.push_back(CapturedFrames(path));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  StopStream();
  for (int i = 0; i < 3000 && IsThread(gPlayer.workerThread.load()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  SetAudioOutput(0);
  gStation = savedStation;
  gApp.userFolder = savedUser;
  gApp.dataFolder = savedData;
  gSettings.preset = savedPreset;
  ASSERT_GE(changes.size(), 14u);

  // Title k is heard from changes[k] to changes[k + 1]; skip the 1 s volume slide and
  // the device's buffer at both ends. The first change is the title the stream started
  // in (its start unheard, its measurement cut by the fade-in); titles 1-4 are the first
  // round, 5-8 the second, 9-12 the third. The first round steers from that cut
  // measurement, so the rounds after it are compared: the third plays as the second did.
  std::vector<double> played;
  for (size_t k = 0; k + 1 < changes.size(); ++k)
    played.push_back(PlayedLevel(path, changes[k] + 3 * kRate / 2, changes[k + 1] - kRate / 2));
  for (size_t k = 5; k <= 12; ++k) {
    if (k >= 9) EXPECT_NEAR(played[k], played[k - 4], 1.0) << "title " << k;
    EXPECT_GT(played[k], -40.0) << "title " << k;
  }
  ResetPlayback();
}
