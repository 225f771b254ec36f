// The shared set-up of the core tests: the runtime on Qt's offscreen platform, boxes
// and file dialogs answered on standard error, and the player's records back at rest
// before and after each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/core.h"
#include "player_env.h"
#include "runtime/runtime.h"

class CoreEnv : public PlayerEnv {
 protected:
  void SetUp() override {
    static char arg0[] = "test_core";
    static char* argv[] = {arg0, nullptr};
    setenv("CORVALE_DIALOGS", "stderr", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);  // no display needed
    ASSERT_EQ(RuntimeInit(1, argv), 1);
  }
};

class Boxes : public CoreEnv {};
class Halt : public CoreEnv {};
class Shutdown : public CoreEnv {};
