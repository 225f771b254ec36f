// Which windows and controls exist, readable from any thread: workers ask before they
// post to a window or set a control's text. The same on every system.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <utility>

#include "runtime/rt_shared.h"

namespace rt {

namespace {
std::atomic<uint64_t> gWindowBits{0};  // bit n: window n exists (0..63)
std::mutex gGadgetSetLock;
std::set<std::pair<int, int>> gGadgetSet;  // guarded by gGadgetSetLock
}  // namespace

void MarkWindow(int window, bool exists) {
  if (window < 0 || window > 63) return;
  const uint64_t bit = uint64_t(1) << window;
  if (exists)
    gWindowBits.fetch_or(bit);
  else
    gWindowBits.fetch_and(~bit);
}

void MarkGadget(int window, int gadget, bool exists) {
  std::lock_guard<std::mutex> lock(gGadgetSetLock);
  if (exists)
    gGadgetSet.insert({window, gadget});
  else
    gGadgetSet.erase({window, gadget});
}

void ForgetGadgetsOf(int window) {
  std::lock_guard<std::mutex> lock(gGadgetSetLock);
  for (auto it = gGadgetSet.begin(); it != gGadgetSet.end();) {
    if (it->first == window)
      it = gGadgetSet.erase(it);
    else
      ++it;
  }
}

}  // namespace rt

int IsWindow(int window) {
  if (window < 0 || window > 63) return 0;
  return (rt::gWindowBits.load() >> window) & 1 ? 1 : 0;
}

int IsGadget(int window, int gadget) {
  std::lock_guard<std::mutex> lock(rt::gGadgetSetLock);
  return rt::gGadgetSet.count({window, gadget}) ? 1 : 0;
}
