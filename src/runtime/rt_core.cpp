// Start and end of the runtime, the event queue, window timers and threads.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

#include "runtime/rt_internal.h"

namespace rt {

namespace {

struct QueuedEvent {
  int kind, window, object, type, data, mouseX, mouseY;
};

std::mutex gQueueLock;
std::deque<QueuedEvent> gQueue;  // guarded by gQueueLock
QueuedEvent gCurrent{};          // main thread only

QApplication* gApp = nullptr;  // main thread only
// Any thread may post; the wake-up target is read and cleared under gQueueLock, so a
// late post from a library thread never touches a dispatcher that teardown destroyed.
QAbstractEventDispatcher* gDispatcher = nullptr;  // guarded by gQueueLock
std::atomic<bool> gReady{false};
std::thread::id gMainThreadId;
bool gOwnApp = false;
int gArgc = 1;
char gArg0[] = "corvale-player";
char* gArgvStore[2] = {gArg0, nullptr};
QTimer* gWaitTimer = nullptr;
std::chrono::steady_clock::time_point gLastProcessed;  // main thread only

}  // namespace

QString ToQ(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string FromQ(const QString& s) { return s.toUtf8().toStdString(); }
QColor RgbColor(uint32_t rgb) { return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

bool OnMainThread() { return gReady.load() && std::this_thread::get_id() == gMainThreadId; }

void PushEvent(int kind, int window, int object, int type, int data, int mouseX, int mouseY, bool coalesce) {
  {
    std::lock_guard<std::mutex> lock(gQueueLock);
    // Moves and sizes arrive in bursts while the user drags; the loop only needs the last.
    if (coalesce && !gQueue.empty()) {
      const QueuedEvent& last = gQueue.back();
      if (last.kind == kind && last.window == window && last.object == object) return;
    }
    gQueue.push_back({kind, window, object, type, data, mouseX, mouseY});
    if (gDispatcher && std::this_thread::get_id() != gMainThreadId) gDispatcher->wakeUp();
  }
}

void TimerTick(int window, int timerId) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  // Like WM_TIMER, a timer has at most one tick waiting: a loop that is busy (a modal
  // dialog) gets one tick afterwards, not a burst.
  if (w->timerPending[timerId]) return;
  w->timerPending[timerId] = true;
  PushEvent(EventTimer, window, timerId, 0, 0, 0, 0, false);
}

}  // namespace rt

using namespace rt;

int RuntimeInit(int argc, char** argv) {
  if (gApp) return 1;
  if (QCoreApplication::instance()) {
    gApp = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!gApp) return 0;
  } else {
    // The player's own rounding decides every pixel; Qt must not scale on top of it.
    setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 1);
    const char* platform = getenv("QT_QPA_PLATFORM");
    const char* display = getenv("DISPLAY");
    // xcb keeps positions, keep-above and key grabs working under XWayland too, so it
    // wins over a desktop's Wayland default; a chosen headless platform (offscreen in
    // the tests) is kept.
    bool waylandDefault = platform && std::strncmp(platform, "wayland", 7) == 0;
    if ((!platform || !*platform || waylandDefault) && display && *display) setenv("QT_QPA_PLATFORM", "xcb", 1);
    if (argc > 0 && argv) {
      gArgc = 1;
      gArgvStore[0] = argv[0];
    }
    QGuiApplication::setDesktopFileName(QStringLiteral("corvale-player"));
    QGuiApplication::setApplicationName(QStringLiteral("corvale-player"));
    gApp = new QApplication(gArgc, gArgvStore);
    gOwnApp = true;
  }
  QApplication::setQuitOnLastWindowClosed(false);
  gMainThreadId = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(gQueueLock);
    gDispatcher = QAbstractEventDispatcher::instance(gApp->thread());
  }
  gReady.store(true);
  gWaitTimer = new QTimer();
  gWaitTimer->setSingleShot(true);
  gWaitTimer->setTimerType(Qt::PreciseTimer);
  StartDialogs();
  InstallKeyFilter();
  StartSessionWatch();
  StartDesktopWatch();
  return 1;
}

int RuntimeReady() { return gReady.load() ? 1 : 0; }

std::string RuntimePlatformName() { return gApp ? FromQ(QGuiApplication::platformName()) : std::string(); }

void RuntimeTeardown() {
  if (!gApp) return;
  // Workers first: they may be waiting for a dialog answer or about to post.
  TeardownDialogs();
  TeardownThreads();
  TeardownInstanceMarker();
  TeardownHotkeys();
  TeardownTaskbar();
  TeardownMenusAndTray();
  std::vector<int> numbers;
  for (auto& [n, w] : gWindows) numbers.push_back(n);
  // Owned windows before their owners, so no widget is deleted twice.
  for (auto it = numbers.rbegin(); it != numbers.rend(); ++it) CloseWindow(*it);
  StopDesktopWatch();
  StopSessionWatch();
  RemoveKeyFilter();
  delete gWaitTimer;
  gWaitTimer = nullptr;
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
  TeardownImagesAndFonts();
  {
    std::lock_guard<std::mutex> lock(gQueueLock);
    gQueue.clear();
    gDispatcher = nullptr;
  }
  gReady.store(false);
  if (gOwnApp) delete gApp;
  gApp = nullptr;
  gOwnApp = false;
}

int WaitWindowEvent(int timeoutMs) {
  auto take = [](QueuedEvent* out) {
    std::lock_guard<std::mutex> lock(gQueueLock);
    if (gQueue.empty()) return false;
    *out = gQueue.front();
    gQueue.pop_front();
    return true;
  };
  QueuedEvent ev{};
  auto deliver = [&]() {
    gCurrent = ev;
    if (ev.kind == EventTimer) {
      if (WindowRecord* w = FindWindow(ev.window)) w->timerPending[ev.object] = false;
    }
    return ev.kind;
  };
  if (!gApp) return 0;
  // A queue that never runs dry must not starve the toolkit (painting, input, a worker's
  // dialog): every few milliseconds the toolkit's own events get their turn anyway.
  auto now = std::chrono::steady_clock::now();
  if (now - gLastProcessed < std::chrono::milliseconds(10) && take(&ev)) return deliver();
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(gQueueLock);
    queued = !gQueue.empty();
  }
  // With nothing queued and time to wait, the blocking pass below handles the toolkit's
  // pending events first: one pass of the toolkit per wake instead of two.
  if (queued || timeoutMs <= 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    gLastProcessed = std::chrono::steady_clock::now();
    if (take(&ev)) return deliver();
    if (timeoutMs <= 0) return 0;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto rest = deadline - std::chrono::steady_clock::now();
    if (rest <= decltype(rest)::zero()) break;
    // Rounded up: a wait cut short by a fraction of a millisecond would come back with
    // nothing due, and a caller that waits again for the same moment would spin.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(rest).count();
    // The single-shot timer bounds the blocking wait; a post from another thread
    // interrupts it through the dispatcher's wake-up.
    gWaitTimer->start(static_cast<int>(left));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    gWaitTimer->stop();
    gLastProcessed = std::chrono::steady_clock::now();
    if (take(&ev)) return deliver();
  }
  return 0;
}

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

int AddWindowTimer(int window, int timerId, int intervalMs) {
  WindowRecord* w = FindWindow(window);
  if (!w || !w->widget || intervalMs < 0) return 0;
  QTimer*& t = w->timers[timerId];
  if (!t) {
    t = new QTimer(w->widget);
    QObject::connect(t, &QTimer::timeout, [window, timerId]() { TimerTick(window, timerId); });
  }
  // Long timers (days) need no precision; short ones (the stats refresh) keep their pace.
  t->setTimerType(intervalMs <= 1000 ? Qt::PreciseTimer : Qt::CoarseTimer);
  t->start(intervalMs);
  return 1;
}

void RemoveWindowTimer(int window, int timerId) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  auto it = w->timers.find(timerId);
  if (it == w->timers.end()) return;
  if (it->second) {
    it->second->stop();
    it->second->deleteLater();
  }
  w->timers.erase(it);
  w->timerPending.erase(timerId);
}

// --- Threads ------------------------------------------------------------------------

namespace {

struct ThreadRecord {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
};

std::mutex gThreadLock;
std::condition_variable gThreadDone;
std::map<int, ThreadRecord> gThreads;  // guarded by gThreadLock
int gNextThread = 1;
std::atomic<bool> gStopping{false};
thread_local int tThreadNumber = 0;
thread_local std::shared_ptr<std::atomic<bool>> tStopFlag;

// Joins a finished thread outside the table lock; the record is removed first.
void JoinRecord(ThreadRecord& rec) {
  if (rec.thread.joinable() && rec.thread.get_id() != std::this_thread::get_id()) rec.thread.join();
}

void ReapFinishedLocked(std::vector<ThreadRecord>& out) {
  for (auto it = gThreads.begin(); it != gThreads.end();) {
    if (it->second.finished->load()) {
      out.push_back(std::move(it->second));
      it = gThreads.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

int CreateThread(ThreadProc proc, int argument) {
  if (!proc || gStopping.load()) return 0;
  std::vector<ThreadRecord> done;
  int number = 0;
  {
    std::lock_guard<std::mutex> lock(gThreadLock);
    ReapFinishedLocked(done);
    number = gNextThread++;
    ThreadRecord& rec = gThreads[number];
    auto finished = rec.finished;
    auto stop = rec.stop;
    try {
      rec.thread = std::thread([proc, argument, number, finished, stop]() {
        tThreadNumber = number;
        tStopFlag = stop;
        proc(argument);
        {
          std::lock_guard<std::mutex> l(gThreadLock);
          finished->store(true);
        }
        gThreadDone.notify_all();
      });
    } catch (...) {
      gThreads.erase(number);
      number = 0;
    }
  }
  for (auto& r : done) JoinRecord(r);
  return number;
}

int IsThread(int thread) {
  if (thread <= 0) return 0;
  ThreadRecord rec;
  {
    std::lock_guard<std::mutex> lock(gThreadLock);
    auto it = gThreads.find(thread);
    if (it == gThreads.end()) return 0;
    if (!it->second.finished->load()) return 1;
    if (tThreadNumber == thread) return 1;
    rec = std::move(it->second);
    gThreads.erase(it);
  }
  JoinRecord(rec);
  return 0;
}

int WaitThread(int thread, int timeoutMs) {
  if (thread <= 0 || thread == tThreadNumber) return thread <= 0 ? 1 : 0;
  ThreadRecord rec;
  {
    std::unique_lock<std::mutex> lock(gThreadLock);
    auto it = gThreads.find(thread);
    if (it == gThreads.end()) return 1;
    auto finished = it->second.finished;
    auto pred = [&]() { return finished->load(); };
    if (timeoutMs < 0) {
      gThreadDone.wait(lock, pred);
    } else if (!gThreadDone.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred)) {
      return 0;
    }
    it = gThreads.find(thread);
    if (it == gThreads.end()) return 1;
    rec = std::move(it->second);
    gThreads.erase(it);
  }
  JoinRecord(rec);
  return 1;
}

void RequestThreadStop(int thread) {
  std::lock_guard<std::mutex> lock(gThreadLock);
  auto it = gThreads.find(thread);
  if (it != gThreads.end()) it->second.stop->store(true);
}

int ThreadStopRequested() {
  if (gStopping.load()) return 1;
  return tStopFlag && tStopFlag->load() ? 1 : 0;
}

int CurrentThread() { return tThreadNumber; }

void rt::TeardownThreads() {
  gStopping.store(true);
  std::vector<ThreadRecord> all;
  {
    std::lock_guard<std::mutex> lock(gThreadLock);
    for (auto& [n, rec] : gThreads) rec.stop->store(true);
    for (auto& [n, rec] : gThreads) all.push_back(std::move(rec));
    gThreads.clear();
  }
  // Nothing is detached: a worker must not run on against state the teardown frees.
  for (auto& rec : all) JoinRecord(rec);
  gStopping.store(false);
}
