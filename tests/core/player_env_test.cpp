// The shared fixture (tests/player_env.h): what one test leaves in the player's records
// is gone in the next, and what start-up writes once for the whole program stays.
#include <gtest/gtest.h>

#include <cmath>

#include "player_env.h"

// Catches a reset that misses a record (or a field of one) or drops what it must keep:
// every record is dirtied, then compared with a fresh start after one reset.
TEST(PlayerEnvReset, EveryRecordAtRestAndStartUpFieldsKept) {
  gApp.dataFolder = "/data/";
  gApp.userFolder = "/user/";
  gApp.version = "5.4";
  gApp.trayImageMuted = 7;
  gApp.quitRequested = 1;
  gApp.minimized = 1;
  gApp.infoScale = 2.0f;
  gPlayer.audioReady = 1;
  gPlayer.streamHandle = 9;
  gPlayer.networkState = 1;
  gPlayer.titleLufs = -20.0;
  SetPlayerString(&PlayerState::showName, "Show");
  QueueTitleChange("StreamTitle='A - B';", 1000);
  SetTrackInfo(NowPlaying{"A", "B", "C"});
  SetStreamList({StreamEntry{"1", "http://127.0.0.1:9/a", "mp3", 128}});
  gStation.infoUrls = {"http://127.0.0.1:9/info"};
  gSettings.preset = 2;
  gSettings.SetCodec("MP3");

  ResetPlayerState();

  const struct {
    const char* what;
    bool atRest;
  } cases[] = {
      {"program data folder kept", gApp.dataFolder == "/data/"},
      {"per-user folder kept", gApp.userFolder == "/user/"},
      {"version kept", gApp.version == "5.4"},
      {"tray image kept", gApp.trayImageMuted == 7},
      {"open output kept", gPlayer.audioReady.load() == 1},
      {"quit request gone", gApp.quitRequested.load() == 0},
      {"minimised gone", gApp.minimized.load() == 0},
      {"window scale back to 1", gApp.infoScale == 1.0f},
      {"stream handle gone", gPlayer.streamHandle.load() == 0},
      {"network state unknown", gPlayer.networkState.load() == -1},
      {"title loudness unmeasured", std::isnan(gPlayer.titleLufs.load())},
      {"show text gone", PlayerString(&PlayerState::showName).empty()},
      {"title queue empty", gTitleQueue.waiting.empty() && gTitleQueue.due.empty()},
      {"track info empty", GetTrackInfo().title.empty()},
      {"stream list empty", StreamListSize() == 0},
      {"station empty", gStation.infoUrls.empty()},
      {"settings at their defaults", gSettings.preset.load() == 1 && gSettings.GetCodec().empty()},
  };
  for (const auto& c : cases) EXPECT_TRUE(c.atRest) << c.what;
  // What the reset keeps, this test put there.
  gApp.dataFolder.clear();
  gApp.userFolder.clear();
  gApp.version.clear();
  gApp.trayImageMuted = 0;
  gPlayer.audioReady = 0;
}
