// Start and end of the runtime on Win32, and the wait for events: the thread's message
// queue and the runtime's own queue, woken by an event object when another thread posts.
#include <windows.h>

#include <atomic>
#include <chrono>

#include "runtime/rt_shared.h"

namespace {

HANDLE gWake = nullptr;  // auto-reset; created by RuntimeInit, closed by RuntimeTeardown
std::atomic<bool> gReady{false};

void WakeMainThread() { SetEvent(gWake); }

// Hands the thread's waiting window messages to their windows.
void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace

using namespace rt;

int RuntimeInit(int argc, char** argv) {
  if (gReady.load()) return 1;
  gWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!gWake) return 0;
  SetEventWaker(WakeMainThread);
  gReady.store(true);
  return 1;
}

int RuntimeReady() { return gReady.load() ? 1 : 0; }

std::string RuntimePlatformName() { return gReady.load() ? "windows" : ""; }

void RuntimeTeardown() {
  if (!gReady.load()) return;
  TeardownThreads();
  SetEventWaker(nullptr);
  ClearEventQueue();
  CloseHandle(gWake);
  gWake = nullptr;
  gReady.store(false);
}

int WaitWindowEvent(int timeoutMs) {
  if (!gReady.load()) return 0;
  QueuedEvent ev{};
  PumpMessages();
  if (TakeEvent(&ev)) {
    SetCurrentEvent(ev);
    return ev.kind;
  }
  if (timeoutMs <= 0) return 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto rest = deadline - std::chrono::steady_clock::now();
    if (rest <= decltype(rest)::zero()) return 0;
    // Rounded up: a wait that came back a fraction early would find nothing due, and a
    // caller waiting again for the same moment would spin.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(rest).count();
    MsgWaitForMultipleObjects(1, &gWake, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
    PumpMessages();
    if (TakeEvent(&ev)) {
      SetCurrentEvent(ev);
      return ev.kind;
    }
  }
}
