// The automatic volume step on real audio: the station simulator's titles (whose
// loudness cycles through four levels) play through the real audio library into a file
// while the main loop's part (the title changes) runs beside the measuring DSP; the
// played level of each title is read back from the file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "playback/bass_api.h"
#include "playback_test_util.h"
#include "station_sim_fixture.h"

using namespace playtest;

namespace {

constexpr size_t kRate = 48000;  // the output mixes stereo floats at 48 kHz

// RMS of frames [from, to) of the raw stereo float file, referred to a full-scale sine;
// the stretches a starved stream left silent do not count.
double PlayedLevel(const std::string& path, size_t from, size_t to) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(std::streamoff(from * 2 * sizeof(float)));
  std::vector<float> s((to - from) * 2);
  f.read(reinterpret_cast<char*>(s.data()), std::streamsize(s.size() * sizeof(float)));
  s.resize(size_t(f.gcount()) / sizeof(float) / 2 * 2);
  return SoundLevel(s, 0, to - from);
}

// The main loop's part, run on the mixing thread right after the player's measuring DSP
// saw each buffer: a title change is handled at the buffer it starts in, wherever the
// test's own thread is, so the measurement of each title and the start of each volume
// step do not depend on how busy the machine is.
struct LoopStandIn {
  std::string path;
  int seen = 0;  // events taken from the queue (only the title changes are posted)
  std::mutex lock;
  std::vector<size_t> changes;  // the output file position at each title change
};

void HandleChangesAfterMeasuring(HDSP, DWORD, void*, DWORD, void* user) {
  auto* loop = static_cast<LoopStandIn*>(user);
  while (PendingEventCount() > loop->seen) {
    ++loop->seen;
    const size_t before = TrackHistorySize();
    HandleTrackChange();
    if (TrackHistorySize() != before) {
      std::lock_guard<std::mutex> g(loop->lock);
      loop->changes.push_back(CapturedFrames(loop->path));
    }
  }
}

class AutoVolumeCapture : public PlayerEnv {};

}  // namespace

// Catches the step compounding from the volume it last set (the radio fading out within
// minutes): the volume is the mode's base level times the step of the title just ended,
// so from the second round of the loudness cycle on every title plays at the level it had
// the round before.
TEST_F(AutoVolumeCapture, LevelsRepeatEveryRound) {
  ScratchFolder output;
  ScratchPlayerFolders folders;
  StationSim sim;
  // Four titles, one per loudness level: every round plays the same music.
  ASSERT_TRUE(sim.Start({"--title-seconds", "6", "--variants", "4", "--no-tls"})) << sim.startError;
  const std::string path = output.Path() + "auto.raw";
  ASSERT_EQ(OpenAudioLibrary("file:" + path), "");
  gStation.infoUrls = {sim.Url("/info.json?streams=opus")};
  gSettings.preset = 0;  // automatic: base level 1.0

  LoopStandIn loop;
  loop.path = path;
  loop.seen = PendingEventCount();
  ASSERT_TRUE(StartPlayingWithLoopDsp(HandleChangesAfterMeasuring, &loop));
  // Fourteen title changes of 6 s each, counted in played audio, not in time.
  std::vector<size_t> changes;
  for (int idle = 0; idle < 3000;) {
    {
      std::lock_guard<std::mutex> g(loop.lock);
      changes = loop.changes;
    }
    if (changes.size() >= 14) break;
    const size_t frames = CapturedFrames(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    idle = CapturedFrames(path) == frames ? idle + 1 : 0;
  }
  CloseCapture();
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
}
