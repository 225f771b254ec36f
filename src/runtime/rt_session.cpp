// What the desktop tells the main window: end of session (session manager, SIGTERM,
// SIGHUP), resume from standby, theme and display changes, a tray host coming up; the
// instance marker's socket.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QScreen>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "runtime/rt_internal.h"

namespace rt {

namespace {

// --- End of session -------------------------------------------------------------------

int gSignalPipe[2] = {-1, -1};
QSocketNotifier* gSignalNotifier = nullptr;
struct sigaction gOldTerm {
}, gOldHup{};

void OnSignal(int) {
  int saved = errno;
  char c = 1;
  if (gSignalPipe[1] >= 0) (void)!write(gSignalPipe[1], &c, 1);
  errno = saved;
}

// The question step of the session manager: save now. The session may still go on
// (a checkpoint, or a log-out the user cancels), so nothing else happens.
void QueryEndSession() {
  WindowMessage q;
  q.kind = MsgQueryEndSession;
  SendWindowMessage(1, q);
}

// The end of the session, as Windows sends it: first the question (save now), then the end.
void EndSession() {
  QueryEndSession();
  WindowMessage e;
  e.kind = MsgEndSession;
  e.param = 1;
  int handled = SendWindowMessage(1, e);
  // Without a main window callback yet (start-up), a close request still ends the loop.
  if (!handled) PushEvent(EventCloseWindow, 1, 0, 0, 0, 0, 0, true);
}

// Resume from standby comes from logind on the system bus.
class SleepWatch : public QObject {
  Q_OBJECT
 public slots:
  void PrepareForSleep(bool starting) {
    if (starting) return;
    WindowMessage m;
    m.kind = MsgResume;
    SendWindowMessage(1, m);
  }
};
SleepWatch* gSleepWatch = nullptr;

// The session manager's real end of the session reaches the application as its quit
// request; the player leaves through its own end-of-session path instead of having
// the toolkit close its windows.
class SessionEndFilter : public QObject {
 public:
  bool eventFilter(QObject* obj, QEvent* e) override {
    if (obj == qApp && e->type() == QEvent::Quit) {
      EndSession();
      return true;
    }
    return false;
  }
};
SessionEndFilter* gSessionEndFilter = nullptr;

// --- Desktop changes ----------------------------------------------------------------------

QObject* gDesktopWatch = nullptr;  // parent of the watchers and timers below
QTimer* gDisplayTimer = nullptr;
bool gTrayWasAvailable = false;

void TrayHostAppeared() {
  WindowMessage m;
  m.kind = MsgTaskbarCreated;
  SendWindowMessage(1, m);
}

class ThemeFilter : public QObject {
 public:
  bool eventFilter(QObject* obj, QEvent* e) override {
    if (e->type() == QEvent::ThemeChange) {
      // Every top-level widget hears it; the main window answers for all.
      WindowRecord* w = FindWindow(1);
      if (w && obj == w->widget) {
        WindowMessage m;
        m.kind = MsgThemeChanged;
        SendWindowMessage(1, m);
      }
    }
    return false;
  }
};
ThemeFilter* gThemeFilter = nullptr;

void WatchScreen(QScreen* s) {
  auto kick = []() {
    if (gDisplayTimer) gDisplayTimer->start(200);
  };
  QObject::connect(s, &QScreen::geometryChanged, gDesktopWatch, kick);
  QObject::connect(s, &QScreen::availableGeometryChanged, gDesktopWatch, kick);
}

// --- Instance marker ----------------------------------------------------------------------

struct Marker {
  int window = 0;
  int fd = -1;
  QSocketNotifier* notifier = nullptr;
};
Marker gMarker;

}  // namespace

void StartSessionWatch() {
  if (gSignalPipe[0] < 0 && pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    gSignalNotifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(gSignalNotifier, &QSocketNotifier::activated, []() {
      char buf[16];
      bool any = false;
      while (read(gSignalPipe[0], buf, sizeof buf) > 0) any = true;
      if (any) EndSession();
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, &gOldTerm);
    sigaction(SIGHUP, &sa, &gOldHup);
  }
  // The commit-data request is only the question: save and answer yes (the request is
  // not cancelled), and keep playing.
  QObject::connect(qApp, &QGuiApplication::commitDataRequest, qApp, [](QSessionManager&) { QueryEndSession(); });
  if (!gSessionEndFilter) {
    gSessionEndFilter = new SessionEndFilter();
    qApp->installEventFilter(gSessionEndFilter);
  }
  QDBusConnection system = QDBusConnection::systemBus();
  if (system.isConnected() && !gSleepWatch) {
    gSleepWatch = new SleepWatch();
    system.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                   QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), gSleepWatch,
                   SLOT(PrepareForSleep(bool)));
  }
}

void StopSessionWatch() {
  if (gSessionEndFilter) {
    qApp->removeEventFilter(gSessionEndFilter);
    delete gSessionEndFilter;
    gSessionEndFilter = nullptr;
  }
  QObject::disconnect(qApp, &QGuiApplication::commitDataRequest, qApp, nullptr);
  if (gSignalNotifier) {
    sigaction(SIGTERM, &gOldTerm, nullptr);
    sigaction(SIGHUP, &gOldHup, nullptr);
    delete gSignalNotifier;
    gSignalNotifier = nullptr;
    close(gSignalPipe[0]);
    close(gSignalPipe[1]);
    gSignalPipe[0] = gSignalPipe[1] = -1;
  }
  if (gSleepWatch) {
    QDBusConnection::systemBus().disconnect(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), gSleepWatch,
        SLOT(PrepareForSleep(bool)));
    delete gSleepWatch;
    gSleepWatch = nullptr;
  }
}

void StartDesktopWatch() {
  if (gDesktopWatch) return;
  gDesktopWatch = new QObject();
  gDisplayTimer = new QTimer(gDesktopWatch);
  gDisplayTimer->setSingleShot(true);
  QObject::connect(gDisplayTimer, &QTimer::timeout, []() {
    WindowMessage m;
    m.kind = MsgDisplayChanged;
    SendWindowMessage(1, m);
  });
  for (QScreen* s : QGuiApplication::screens()) WatchScreen(s);
  QObject::connect(qApp, &QGuiApplication::screenAdded, gDesktopWatch, [](QScreen* s) {
    WatchScreen(s);
    gDisplayTimer->start(200);
  });
  QObject::connect(qApp, &QGuiApplication::screenRemoved, gDesktopWatch, [](QScreen*) { gDisplayTimer->start(200); });
  gThemeFilter = new ThemeFilter();
  qApp->installEventFilter(gThemeFilter);
  // A tray host (StatusNotifierWatcher) that starts or restarts is Explorer's
  // "TaskbarCreated"; XEmbed trays are caught by a slow look at the availability.
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    auto* watcher = new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"), bus,
                                            QDBusServiceWatcher::WatchForRegistration, gDesktopWatch);
    QObject::connect(watcher, &QDBusServiceWatcher::serviceRegistered, gDesktopWatch, [](const QString&) {
      // Give Qt's own tray code a moment to see the new watcher first.
      QTimer::singleShot(500, gDesktopWatch, []() { TrayHostAppeared(); });
    });
  }
  gTrayWasAvailable = QSystemTrayIcon::isSystemTrayAvailable();
  auto* poll = new QTimer(gDesktopWatch);
  QObject::connect(poll, &QTimer::timeout, []() {
    bool now = QSystemTrayIcon::isSystemTrayAvailable();
    if (now && !gTrayWasAvailable) TrayHostAppeared();
    gTrayWasAvailable = now;
  });
  poll->start(5000);
}

void StopDesktopWatch() {
  if (gThemeFilter) {
    qApp->removeEventFilter(gThemeFilter);
    delete gThemeFilter;
    gThemeFilter = nullptr;
  }
  delete gDesktopWatch;
  gDesktopWatch = nullptr;
  gDisplayTimer = nullptr;
}

void TeardownInstanceMarker() {
  if (gMarker.window) RemoveInstanceMarker(gMarker.window);
}

}  // namespace rt

using namespace rt;

int SetInstanceMarker(int window, const std::string& name) {
  if (!FindWindow(window) || name.empty()) return 0;
  if (gMarker.window) RemoveInstanceMarker(gMarker.window);
  int fd = InstanceListenerOpen(name);
  if (fd < 0) return 0;
  gMarker.window = window;
  gMarker.fd = fd;
  gMarker.notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
  QObject::connect(gMarker.notifier, &QSocketNotifier::activated, []() {
    if (InstanceListenerRead(gMarker.fd) > 0 && FindWindow(gMarker.window)) {
      // Another start asked for us: restore and bring the marked window to the front.
      SetWindowState(gMarker.window, WindowNormal);
      ActivateWindowNumber(gMarker.window);
    }
  });
  return 1;
}

void RemoveInstanceMarker(int window) {
  if (!gMarker.window || gMarker.window != window) return;
  delete gMarker.notifier;
  InstanceListenerClose(gMarker.fd);
  gMarker = Marker{};
}

#include "rt_session.moc"
