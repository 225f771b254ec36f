// A bounded poll for the tests: true as soon as a condition holds, checked every 10 ms.
#pragma once

#include <chrono>
#include <thread>

// Polls for at most ms: kept far below the waits that would pass without the rule under test.
template <typename F>
bool Within(int ms, F condition) {
  for (int i = 0; i < ms / 10; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}
