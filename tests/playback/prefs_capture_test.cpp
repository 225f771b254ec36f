// The preferences window's volume controls on real audio: the station
// simulator's stream plays through the real audio library into a file while the
// test works the slider and the play/pause key of the open preferences window,
// then reads back what was played.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include "playback/bass_api.h"
#include "playback_test_util.h"
#include "station_sim_fixture.h"
#include "ui/ui.h"

using namespace playtest;

namespace {

constexpr int kRate = 48000;  // the output mixes stereo floats at 48 kHz
constexpr size_t kMs = kRate / 1000;

class PrefsCapture : public PlayerEnv {};

}  // namespace

// Catches a slider that moves the picture but not the sound, a volume that is
// not the -20 dB the slider's middle stands for, and the window's play/pause
// key that does not silence and bring back the stream at the slider's level.
TEST_F(PrefsCapture, SliderAndPlayPauseKeyReachThePlayedAudio) {
  ScratchFolder output;
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--title-seconds", "60", "--no-tls"})) << sim.startError;
  const std::string path = output.Path() + "prefs.raw";
  ASSERT_EQ(OpenAudioLibrary("file:" + path), "");
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("CORVALE_DIALOGS", "stderr", 0);
  static char arg0[] = "test_playback";
  static char* argv[] = {arg0, nullptr};
  ASSERT_EQ(RuntimeInit(1, argv), 1);
  SetCoreMainThread();

  ScratchPlayerFolders folders;
  gApp.dataFolder = TEST_DATA_DIR;
  gStation.infoUrls = {sim.Url("/info.json?streams=opus")};

  LogCapture log;
  ASSERT_TRUE(StartPlaying(log));
  // Each state lasts a stretch of the played audio, not of the clock, however slowly a
  // loaded machine writes it.
  ASSERT_TRUE(WaitForFrames(path, CapturedFrames(path) + 4 * kRate));

  ASSERT_EQ(OpenPrefsWindow(1, 0), 1);
  const size_t slid = CapturedFrames(path);
  // The middle of the slider.
  PrefsGadgetEvent(PrefsSlider, GadgetLeftButtonDown, GadgetHeight(WinPrefs, PrefsSlider) / 2, 0);
  EXPECT_NEAR(VolumeToDb(gSettings.preset1.load()), -20.0, 0.01);
  ASSERT_TRUE(WaitForFrames(path, slid + 3 * kRate));

  WindowMessage key;
  key.kind = MsgMediaPlayPauseUp;
  key.window = WinPrefs;
  key.key = VkMediaPlayPause;
  const size_t mutedAt = CapturedFrames(path);
  PrefsWindowCallback(key);
  EXPECT_EQ(gSettings.muted.load(), 1);
  ASSERT_TRUE(WaitForFrames(path, mutedAt + 2 * kRate));
  const size_t unmutedAt = CapturedFrames(path);
  PrefsWindowCallback(key);
  EXPECT_EQ(gSettings.muted.load(), 0);
  ASSERT_TRUE(WaitForFrames(path, unmutedAt + 2 * kRate));

  SimResponse stats = SimGet(sim.port, "/control/stats");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(stats.body, m, std::regex("\"loudness\": (-?[0-9.]+)")));
  const double loudness = std::stod(m[1]);
  StopStream();
  OpenPrefsWindow(0, 0);

  std::vector<float> s = ReadFrames(path);
  // A change reaches the next block the mixer mixes (40 ms) and slides over 100 ms.
  const double full = SoundLevel(s, slid - 2500 * kMs, slid - 500 * kMs);
  const double reduced = SoundLevel(s, mutedAt - 1200 * kMs, mutedAt - 200 * kMs);
  const double silent = Level(s, mutedAt + 200 * kMs, unmutedAt);
  const double after = SoundLevel(s, unmutedAt + 300 * kMs, unmutedAt + 1300 * kMs);
  RecordProperty("full", std::to_string(full));
  RecordProperty("reduced", std::to_string(reduced));
  RecordProperty("after", std::to_string(after));
  RecordProperty("loudness", std::to_string(loudness));
  EXPECT_NEAR(full, loudness, 2.0);
  EXPECT_NEAR(reduced, loudness - 20.0, 2.0) << "the slider's -20 dB did not reach the sound";
  EXPECT_LT(silent, -90.0) << "the key did not silence the output";
  EXPECT_NEAR(after, reduced, 2.0) << "the unmute did not return to the slider's level";

  CloseCapture();
}
