// The player's global records back at rest before and after each test: the flags, worker
// numbers, playback figures, queues, lists and settings as a fresh start has them, so no
// test sees what an earlier one left behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "base/base.h"
#include "data/data.h"
#include "playback/playback.h"

namespace playerenv {

// Records with atomics and locks cannot be assigned: ending the record's life and starting
// a fresh one in its place gives every default without naming a field. Only at rest,
// when no worker or audio thread holds the record.
template <class Record>
void Renew(Record& record) {
  std::destroy_at(&record);
  std::construct_at(&record);
}

}  // namespace playerenv

// Keeps what start-up writes once and a test sets up for its whole program (the version
// texts, the folders, the tray images made by the runtime it runs) and whether the audio
// output is open, which mirrors the library; everything else starts afresh.
inline void ResetPlayerState() {
  std::string version = std::move(gApp.version), versionLong = std::move(gApp.versionLong);
  std::string dataFolder = std::move(gApp.dataFolder), userFolder = std::move(gApp.userFolder);
  std::string userAgent = std::move(gApp.userAgent);
  const int images[] = {gApp.trayImageNormal, gApp.trayImageMuted, gApp.trayImageConnect};
  const int64_t audioReady = gPlayer.audioReady.load();

  playerenv::Renew(gApp);
  playerenv::Renew(gPlayer);
  playerenv::Renew(gTitleQueue);
  playerenv::Renew(gTrackInfo);
  playerenv::Renew(gTrackHistory);
  playerenv::Renew(gStreamList);
  playerenv::Renew(gStation);
  ResetSettings();

  gApp.version = std::move(version);
  gApp.versionLong = std::move(versionLong);
  gApp.dataFolder = std::move(dataFolder);
  gApp.userFolder = std::move(userFolder);
  gApp.userAgent = std::move(userAgent);
  gApp.trayImageNormal = images[0];
  gApp.trayImageMuted = images[1];
  gApp.trayImageConnect = images[2];
  gPlayer.audioReady = audioReady;
}

// Derive a test's fixture from this one: the construction and destruction of each test's
// fixture, around its SetUp and TearDown, put the records back at rest.
class PlayerEnv : public ::testing::Test {
 protected:
  PlayerEnv() { ResetPlayerState(); }
  ~PlayerEnv() override { ResetPlayerState(); }
};
