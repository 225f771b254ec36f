// The parts of the runtime that are the same on every system: the event queue and the
// threads. Each back end adds the wait for events (its own event loop) and the wake-up.
// No toolkit or system type here.
#pragma once

#include "runtime/runtime.h"

namespace rt {

struct QueuedEvent {
  int kind, window, object, type, data, mouseX, mouseY;
};

// Any thread may push. coalesce: an event equal in kind, window and object to the last
// queued one is dropped (moves and sizes arrive in bursts; the loop needs the last).
void PushEvent(int kind, int window, int object, int type, int data, int mouseX, int mouseY, bool coalesce);
// Main thread: takes the oldest event and makes it the current one (EventWindow() ...).
bool TakeEvent(QueuedEvent* out);
void SetCurrentEvent(const QueuedEvent& event);
bool EventQueueEmpty();
// The back end's wake-up of its waiting main thread, called (under the queue's lock) when
// another thread pushes; nullptr before start and after teardown, so a late push from a
// library thread never touches a loop that teardown destroyed. Called with a waker on the
// main thread, which it records as such for OnQueueThread.
void SetEventWaker(void (*wake)());
bool OnQueueThread();
void ClearEventQueue();

// Which windows and controls exist, kept by the back end as it opens and closes them, so
// that IsWindow and IsGadget answer from any thread (workers ask before they post).
void MarkWindow(int window, bool exists);
void MarkGadget(int window, int gadget, bool exists);
void ForgetGadgetsOf(int window);

// Joins every runtime thread after asking it to stop (teardown).
void TeardownThreads();

}  // namespace rt
