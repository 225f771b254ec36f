// Shared set-up of the runtime tests: one application for the whole test program.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "runtime/runtime.h"
#include "test_env.h"

#ifdef _WIN32
#include <direct.h>
#include <process.h>
#else
#include <unistd.h>
#endif

// Takes events until one of `kind` (and window/object when not 0) arrives or `maxWaits`
// waits of waitMs passed; returns 1 when it came.
inline int WaitForEvent(int kind, int window = 0, int object = 0, int maxWaits = 400, int waitMs = 10) {
  for (int i = 0; i < maxWaits; ++i) {
    int ev = WaitWindowEvent(waitMs);
    if (ev == kind && (!window || EventWindow() == window) && (!object || EventObject() == object)) return 1;
  }
  return 0;
}

// Runs the loop for a number of short waits, dropping the events.
inline void PumpEvents(int waits = 20) {
  for (int i = 0; i < waits; ++i) WaitWindowEvent(5);
}
