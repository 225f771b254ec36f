// Mute and unmute on real audio: the station simulator's stream plays through the real
// audio library into a file while the test mutes and unmutes the way the taskbar and the
// tray do (ApplyMute with the muted setting), then reads back what was really played.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include "playback_test_util.h"
#include "playback/bass_api.h"
#include "station_sim_fixture.h"
#include "ui/ui.h"

using namespace playtest;

namespace {

constexpr int kRate = 48000;  // the output mixes stereo floats at 48 kHz
constexpr size_t kMs = kRate / 1000;

}  // namespace

class MuteCapture : public PlayerEnv {
 protected:
  static void SetUpTestSuite() {
    output_ = new ScratchFolder;
    sim_ = new StationSim;
    // One long title: the levels before the mute and after the unmute are of the same music.
    if (!sim_->Start({"--title-seconds", "60", "--no-tls"})) error_ = "station-sim: " + sim_->startError;
    // Sound goes to a file, never to a sound card.
    if (error_.empty()) error_ = OpenAudioLibrary("file:" + output_->Path() + "mute.raw");
  }
  static void TearDownTestSuite() {
    CloseCapture();
    delete sim_;
    delete output_;
  }

  static StationSim* sim_;
  static ScratchFolder* output_;
  static std::string error_;
};

StationSim* MuteCapture::sim_ = nullptr;
ScratchFolder* MuteCapture::output_ = nullptr;
std::string MuteCapture::error_;

// Catches a mute that only changes the pictures while the sound goes on, an unmute that
// leaves the stream quiet or at another volume, and a jump (click) where the volume should
// slide over about 100 ms.
TEST_F(MuteCapture, MuteSilencesAndUnmuteRestoresTheLevel) {
  ASSERT_EQ(error_, "");
  ScratchPlayerFolders folders;
  gStation.infoUrls = {sim_->Url("/info.json?streams=opus")};

  LogCapture log;
  ASSERT_TRUE(StartPlaying(log));
  const float volume = 0.5f;
  SetVolume(volume, 1);
  const std::string path = output_->Path() + "mute.raw";
  // Each state lasts a stretch of the played audio, not of the clock: the buffers fill
  // with the title at this volume, then the mute holds 2 s and the unmute 2 s.
  ASSERT_TRUE(WaitForFrames(path, CapturedFrames(path) + 4 * kRate));
  gSettings.muted = 1;
  const size_t mutedAt = CapturedFrames(path);
  ASSERT_EQ(ApplyMute(), 1);
  ASSERT_TRUE(WaitForFrames(path, mutedAt + 2 * kRate));
  gSettings.muted = 0;
  const size_t unmutedAt = CapturedFrames(path);
  ASSERT_EQ(ApplyMute(), 1);
  ASSERT_TRUE(WaitForFrames(path, unmutedAt + 2 * kRate));

  SimResponse stats = SimGet(sim_->port, "/control/stats");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(stats.body, m, std::regex("\"loudness\": (-?[0-9.]+)")));
  const double expected = std::stod(m[1]) + 20.0 * std::log10(double(volume));
  StopStream();

  std::vector<float> s = ReadFrames(path);
  const size_t frames = s.size() / 2;
  ASSERT_GE(frames, unmutedAt + 2 * kRate);
  // A change reaches the next block the mixer mixes (40 ms) and slides over 100 ms: the
  // output is silent from the end of the slide down until the unmute.
  // The silence begins with the first 50 ms of quiet after the mute was asked for (the
  // music itself passes near zero now and then).
  size_t quietFrom = mutedAt, run = 0;
  for (size_t i = mutedAt; i < unmutedAt && run < 50 * kMs; ++i) {
    run = Quiet(s, i) ? run + 1 : 0;
    if (run == 1) quietFrom = i;
  }
  ASSERT_EQ(run, 50 * kMs) << "the output never went silent";
  EXPECT_LE(quietFrom, mutedAt + 200 * kMs) << "the output went silent late";
  EXPECT_LT(Level(s, quietFrom, unmutedAt), -90.0) << "the mute did not hold";
  size_t quietTo = std::max(unmutedAt, quietFrom);
  while (quietTo < frames && Quiet(s, quietTo)) ++quietTo;
  EXPECT_LE(quietTo, unmutedAt + 100 * kMs) << "the output stayed silent after the unmute";
  RecordProperty("silent_ms", std::to_string((quietTo - quietFrom) / kMs));

  const double before = SoundLevel(s, mutedAt - 1200 * kMs, mutedAt - 200 * kMs);
  const double after = SoundLevel(s, quietTo + 300 * kMs, quietTo + 1300 * kMs);
  // The slide back: quiet at its start, at the level again well within a few hundred ms.
  const double rampStart = Level(s, quietTo, quietTo + 20 * kMs);
  const double rampEnd = SoundLevel(s, quietTo + 150 * kMs, quietTo + 400 * kMs);
  // The slide down, seen from its end.
  const double fadeEnd = Level(s, quietFrom - 20 * kMs, quietFrom);
  RecordProperty("before", std::to_string(before));
  RecordProperty("after", std::to_string(after));
  RecordProperty("expected", std::to_string(expected));
  RecordProperty("ramp", std::to_string(rampStart) + " " + std::to_string(rampEnd));
  RecordProperty("fade_end", std::to_string(fadeEnd));
  EXPECT_NEAR(before, expected, 2.0);
  EXPECT_NEAR(after, expected, 2.0);
  EXPECT_NEAR(after, before, 2.0) << "unmute did not bring back the volume of before";
  EXPECT_LT(rampStart, after - 6.0) << "the unmute jumped instead of sliding";
  EXPECT_GT(rampEnd, after - 6.0) << "the unmute slid far longer than 100 ms";
  EXPECT_LT(fadeEnd, before - 6.0) << "the mute cut instead of sliding";
  EXPECT_EQ(gSettings.muted.load(), 0);

  for (int i = 0; i < 3000 && (gPlayer.connecting.load() != 0 || IsThread(gPlayer.workerThread.load())); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
