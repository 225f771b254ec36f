// The event queue: any thread posts, the main thread takes. The same on every system;
// the back end waits for it and is woken through the waker.
#include <deque>
#include <mutex>
#include <thread>

#include "runtime/rt_shared.h"

namespace rt {

namespace {
std::mutex gQueueLock;
std::deque<QueuedEvent> gQueue;   // guarded by gQueueLock
void (*gWaker)() = nullptr;       // guarded by gQueueLock
std::thread::id gQueueThread;     // written with the waker, on the main thread
QueuedEvent gCurrent{};           // main thread only
}  // namespace

void PushEvent(int kind, int window, int object, int type, int data, int mouseX, int mouseY, bool coalesce) {
  std::lock_guard<std::mutex> lock(gQueueLock);
  if (coalesce && !gQueue.empty()) {
    const QueuedEvent& last = gQueue.back();
    if (last.kind == kind && last.window == window && last.object == object) return;
  }
  gQueue.push_back({kind, window, object, type, data, mouseX, mouseY});
  if (gWaker && std::this_thread::get_id() != gQueueThread) gWaker();
}

bool TakeEvent(QueuedEvent* out) {
  std::lock_guard<std::mutex> lock(gQueueLock);
  if (gQueue.empty()) return false;
  *out = gQueue.front();
  gQueue.pop_front();
  return true;
}

void SetCurrentEvent(const QueuedEvent& event) { gCurrent = event; }

bool EventQueueEmpty() {
  std::lock_guard<std::mutex> lock(gQueueLock);
  return gQueue.empty();
}

void SetEventWaker(void (*wake)()) {
  std::lock_guard<std::mutex> lock(gQueueLock);
  gWaker = wake;
  if (wake) gQueueThread = std::this_thread::get_id();
}

bool OnQueueThread() {
  std::lock_guard<std::mutex> lock(gQueueLock);
  return std::this_thread::get_id() == gQueueThread;
}

void ClearEventQueue() {
  std::lock_guard<std::mutex> lock(gQueueLock);
  gQueue.clear();
}

}  // namespace rt

using namespace rt;

int EventWindow() { return gCurrent.window; }
int EventObject() { return gCurrent.object; }
int EventType() { return gCurrent.type; }
int EventData() { return gCurrent.data; }
int EventMouseX() { return gCurrent.mouseX; }
int EventMouseY() { return gCurrent.mouseY; }

void PostEvent(int kind, int window, int object, int type, int data) {
  PushEvent(kind, window, object, type, data, 0, 0, false);
}

int PendingEventCount() {
  std::lock_guard<std::mutex> lock(gQueueLock);
  return static_cast<int>(gQueue.size());
}
