// The shared set-up of the core tests that halt playback or show boxes: the runtime on
// Qt's offscreen platform, boxes answered on standard error, and the playback and
// worker records back at rest before and after each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/core.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

class CoreEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    static char arg0[] = "test_core";
    static char* argv[] = {arg0, nullptr};
    setenv("CORVALE_DIALOGS", "stderr", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);  // no display needed
    ASSERT_EQ(RuntimeInit(1, argv), 1);
    gApp.playbackHalted = 0;
    gApp.sessionEnded = 0;
    gPlayer.shutdown = 0;
    gPlayer.streamHandle = 0;
    gPlayer.workerThread = 0;
    gApp.versionCheckThread = 0;
    gApp.streamInfoThread = 0;
  }
  void TearDown() override {
    gApp.playbackHalted = 0;
    gApp.sessionEnded = 0;
    gPlayer.shutdown = 0;
    gPlayer.workerThread = 0;
    gApp.versionCheckThread = 0;
  }
};

class Boxes : public CoreEnv {};
class Halt : public CoreEnv {};
class Shutdown : public CoreEnv {};
