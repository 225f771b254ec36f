// Start and end of the runtime on Qt, the wait for events, and window timers.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "runtime/rt_internal.h"

namespace rt {

namespace {

QApplication* gApp = nullptr;  // main thread only
// Set before the queue's waker and cleared after it is removed.
QAbstractEventDispatcher* gDispatcher = nullptr;
std::atomic<bool> gReady{false};
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

bool OnMainThread() { return gReady.load() && OnQueueThread(); }

namespace {
void WakeDispatcher() { gDispatcher->wakeUp(); }
}  // namespace

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
  gDispatcher = QAbstractEventDispatcher::instance(gApp->thread());
  SetEventWaker(WakeDispatcher);
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
  SetEventWaker(nullptr);
  ClearEventQueue();
  gDispatcher = nullptr;
  gReady.store(false);
  if (gOwnApp) delete gApp;
  gApp = nullptr;
  gOwnApp = false;
}

int WaitWindowEvent(int timeoutMs) {
  auto take = [](QueuedEvent* out) { return TakeEvent(out); };
  QueuedEvent ev{};
  auto deliver = [&]() {
    SetCurrentEvent(ev);
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
  const bool queued = !EventQueueEmpty();
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

// Qt runs the player's loop through its menus and window moves: no modal loop to bridge.
void SetModalLoopHook(void (*)()) {}

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
