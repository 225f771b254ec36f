// Start and end of the runtime on Win32, the wait for events (the thread's message queue
// and the runtime's own queue, woken by an event object when another thread posts),
// window timers, work handed to the main thread, and the bridge over modal loops.
#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <utility>

#include "runtime/rt_shared.h"
#include "runtime/win/rt_win.h"

namespace rt {

namespace {

HANDLE gWake = nullptr;  // auto-reset; created by RuntimeInit, closed by RuntimeTeardown
std::atomic<bool> gReady{false};
bool gTimerPeriod = false;  // timeBeginPeriod(1) in force

// A message-only window of the main thread: work from other threads and the
// modal-loop timer reach it through every message loop, the system's modal ones included.
constexpr wchar_t kMessageClass[] = L"CorvaleRuntimeMessages";
constexpr UINT kRunWork = WM_APP + 0x40;
constexpr UINT_PTR kModalTimer = 1;
constexpr UINT kModalStepMs = 25;  // the meter's pace
HWND gMessageWindow = nullptr;

std::mutex gWorkLock;
std::deque<std::pair<void (*)(void*), void*>> gWork;  // guarded by gWorkLock
bool gWorkPosted = false;                             // guarded by gWorkLock

void (*gModalHook)() = nullptr;  // main thread only
int gModalDepth = 0;
bool gInModalStep = false;

void WakeMainThread() { SetEvent(gWake); }

void RunQueuedWork() {
  for (;;) {
    std::pair<void (*)(void*), void*> item;
    {
      std::lock_guard<std::mutex> lock(gWorkLock);
      if (gWork.empty()) {
        gWorkPosted = false;
        return;
      }
      item = gWork.front();
      gWork.pop_front();
    }
    item.first(item.second);
  }
}

LRESULT CALLBACK MessageWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kRunWork) {
    RunQueuedWork();
    return 0;
  }
  if (msg == WM_TIMER && wp == kModalTimer) {
    // One step at a time: a step that shows a box of its own must not start another.
    if (gModalHook && !gInModalStep) {
      gInModalStep = true;
      gModalHook();
      gInModalStep = false;
    }
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

bool StartMessageWindow() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = MessageWindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = kMessageClass;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  gMessageWindow = CreateWindowExW(0, kMessageClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  return gMessageWindow != nullptr;
}

// Hands the thread's waiting window messages to their windows; keys of a
// shortcut become menu events first, as an accelerator table does.
void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (TranslateShortcut(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

int Deliver(const QueuedEvent& ev) {
  SetCurrentEvent(ev);
  if (ev.kind == EventTimer) {
    if (WindowRecord* w = FindWindow(ev.window)) w->timerPending[ev.object] = false;
  }
  return ev.kind;
}

}  // namespace

bool OnMainThread() { return gReady.load() && OnQueueThread(); }

bool RunOnMainThread(void (*work)(void*), void* context) {
  if (!gReady.load()) return false;
  std::lock_guard<std::mutex> lock(gWorkLock);
  gWork.emplace_back(work, context);
  // One message stands for the whole queue; the window drains it.
  if (!gWorkPosted) gWorkPosted = PostMessageW(gMessageWindow, kRunWork, 0, 0) != 0;
  return true;
}

void BeginModalLoop() {
  if (gModalDepth++ == 0 && gMessageWindow) SetTimer(gMessageWindow, kModalTimer, kModalStepMs, nullptr);
}

void EndModalLoop() {
  if (gModalDepth == 0) return;
  if (--gModalDepth == 0 && gMessageWindow) KillTimer(gMessageWindow, kModalTimer);
}

void TimerTick(int window, int timerId) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  // Like WM_TIMER, a timer has at most one tick waiting: a loop that was busy
  // (a modal loop) gets one tick afterwards, not a burst.
  if (w->timerPending[timerId]) return;
  w->timerPending[timerId] = true;
  PushEvent(EventTimer, window, timerId, 0, 0, 0, 0, false);
}

}  // namespace rt

using namespace rt;

int RuntimeInit(int argc, char** argv) {
  if (gReady.load()) return 1;
  gWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!gWake) return 0;
  // The DPI awareness is settled before the process has any window.
  StartWindows();
  if (!StartMessageWindow()) {
    CloseHandle(gWake);
    gWake = nullptr;
    return 0;
  }
  // The loop's waits and timers count single milliseconds (the meter's 25 ms
  // pace); Windows' default tick is 15.6 ms.
  gTimerPeriod = timeBeginPeriod(1) == TIMERR_NOERROR;
  SetEventWaker(WakeMainThread);
  gReady.store(true);
  StartShell();
  return 1;
}

int RuntimeReady() { return gReady.load() ? 1 : 0; }

std::string RuntimePlatformName() { return gReady.load() ? "windows" : ""; }

void SetModalLoopHook(void (*step)()) { gModalHook = step; }

void RuntimeTeardown() {
  if (!gReady.load()) return;
  // Workers first: they may be waiting for a dialog answer or about to post.
  TeardownDialogs();
  TeardownThreads();
  // What the workers handed over last still runs, on windows that are still there.
  RunQueuedWork();
  TeardownMenusAndTray();
  TeardownWindows();
  TeardownImagesAndFonts();
  gModalHook = nullptr;
  gModalDepth = 0;
  // From here on RunOnMainThread refuses: nothing is queued that would never run.
  gReady.store(false);
  RunQueuedWork();
  if (gMessageWindow) DestroyWindow(gMessageWindow);
  gMessageWindow = nullptr;
  {
    // The window's message went with it.
    std::lock_guard<std::mutex> lock(gWorkLock);
    gWorkPosted = false;
  }
  PumpMessages();
  if (gTimerPeriod) timeEndPeriod(1);
  gTimerPeriod = false;
  SetEventWaker(nullptr);
  ClearEventQueue();
  CloseHandle(gWake);
  gWake = nullptr;
}

int WaitWindowEvent(int timeoutMs) {
  if (!gReady.load()) return 0;
  QueuedEvent ev{};
  PumpMessages();
  if (TakeEvent(&ev)) return Deliver(ev);
  if (timeoutMs <= 0) return 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto rest = deadline - std::chrono::steady_clock::now();
    if (rest <= decltype(rest)::zero()) return 0;
    // Rounded up: a wait that came back a fraction early would find nothing
    // due, and a caller waiting again for the same moment would spin.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(rest).count();
    MsgWaitForMultipleObjectsEx(1, &gWake, static_cast<DWORD>(left), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    PumpMessages();
    if (TakeEvent(&ev)) return Deliver(ev);
  }
}

int AddWindowTimer(int window, int timerId, int intervalMs) {
  WindowRecord* w = FindWindow(window);
  if (!w || intervalMs < 0) return 0;
  // SetTimer with the same id restarts the timer with the new interval.
  if (!SetTimer(w->hwnd, static_cast<UINT_PTR>(timerId), static_cast<UINT>(intervalMs), nullptr)) return 0;
  w->timers.insert(timerId);
  return 1;
}

void RemoveWindowTimer(int window, int timerId) {
  WindowRecord* w = FindWindow(window);
  if (!w || !w->timers.count(timerId)) return;
  KillTimer(w->hwnd, static_cast<UINT_PTR>(timerId));
  // A WM_TIMER already in the queue finds the id gone and is dropped.
  w->timers.erase(timerId);
  w->timerPending.erase(timerId);
}
