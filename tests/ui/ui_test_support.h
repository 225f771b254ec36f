// Shared set-up of the UI tests: the runtime on Qt's offscreen platform and the data
// folder of the build, where the generated skin images are; fixtures derive from
// PlayerEnv for the player's records at rest.
#pragma once

#include <cstdlib>
#include <string>

#include "core/core.h"
#include "player_env.h"
#include "runtime/runtime.h"

inline void UiTestRuntime() {
  static bool ready = false;
  if (ready) return;
  static char arg0[] = "test_ui";
  static char* argv[] = {arg0, nullptr};
  RuntimeInit(1, argv);
  const char* data = std::getenv("CORVALE_DATA_DIR");
  gApp.dataFolder = std::string(data ? data : "data") + "/";
  ready = true;
}
