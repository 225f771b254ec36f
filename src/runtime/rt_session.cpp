// What the desktop tells the main window: end of session (session manager, SIGTERM,
// SIGHUP), resume from standby, theme and display changes, a tray host coming up; the
// instance marker's socket.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QFileInfo>
#include <QScreen>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

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

// --- Sleep and the network on the system bus ---------------------------------------------

constexpr const char* kSystemConnection = "corvale-system";
constexpr const char* kLogin = "org.freedesktop.login1";
constexpr const char* kLoginPath = "/org/freedesktop/login1";
constexpr const char* kLoginManager = "org.freedesktop.login1.Manager";
constexpr const char* kNetwork = "org.freedesktop.NetworkManager";
constexpr const char* kNetworkPath = "/org/freedesktop/NetworkManager";
constexpr int kSleepLockLimitMs = 3000;

int gSystemState = 0;
int gInhibitFd = -1;          // the delay lock; -1 while none is held
bool gInhibitAsked = false;   // an Inhibit call is on its way
int gNetworkShown = -1;       // last state told to window 1: -1 none yet, 0 down, 1 up
QTimer* gSleepLockTimer = nullptr;

// NetworkManager's states: below CONNECTED_LOCAL (50) there is no network at all;
// 0 is "unknown" and tells nothing.
int NetworkUpFromManager(uint state) {
  if (state == 0) return -1;
  return state >= 50 ? 1 : 0;
}

QString SystemBusAddress() {
  const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (env && *env) return QString::fromLocal8Bit(env);
  for (const char* path : {"/run/dbus/system_bus_socket", "/var/run/dbus/system_bus_socket"})
    if (QFileInfo::exists(QString::fromLatin1(path))) return QStringLiteral("unix:path=") + path;
  return QString();
}

void ReleaseSleepLock() {
  if (gSleepLockTimer) gSleepLockTimer->stop();
  if (gInhibitFd >= 0) close(gInhibitFd);
  gInhibitFd = -1;
}

class SystemWatch : public QObject {
  Q_OBJECT
 public:
  // Asks logind for the delay lock; the answer comes later, never blocking the loop.
  void TakeSleepLock() {
    if (gInhibitFd >= 0 || gInhibitAsked || !(gSystemState & SystemSleepWatched)) return;
    QDBusConnection bus(QString::fromLatin1(kSystemConnection));
    QDBusMessage m = QDBusMessage::createMethodCall(kLogin, kLoginPath, kLoginManager, QStringLiteral("Inhibit"));
    m << QStringLiteral("sleep") << QStringLiteral("Corvale Player")
      << QStringLiteral("Stopping the stream before the system sleeps") << QStringLiteral("delay");
    gInhibitAsked = true;
    auto* w = new QDBusPendingCallWatcher(bus.asyncCall(m, 5000), this);
    connect(w, &QDBusPendingCallWatcher::finished, this, [](QDBusPendingCallWatcher* call) {
      gInhibitAsked = false;
      QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
      // Our own copy: Qt's copies go with the reply, and the lock lasts while any is open.
      if (!reply.isError() && reply.value().isValid() && gInhibitFd < 0)
        gInhibitFd = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 3);
      call->deleteLater();
    });
  }

  void AskNetworkState() {
    QDBusConnection bus(QString::fromLatin1(kSystemConnection));
    QDBusMessage m = QDBusMessage::createMethodCall(kNetwork, kNetworkPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                    QStringLiteral("Get"));
    m << QString::fromLatin1(kNetwork) << QStringLiteral("State");
    auto* w = new QDBusPendingCallWatcher(bus.asyncCall(m, 5000), this);
    connect(w, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
      QDBusPendingReply<QDBusVariant> reply = *call;
      if (!reply.isError()) NetworkStateChanged(reply.value().variant().toUInt());
      call->deleteLater();
    });
  }

 public slots:
  void PrepareForSleep(bool starting) {
    WindowMessage m;
    if (!starting) {
      ReleaseSleepLock();
      m.kind = MsgResume;
      SendWindowMessage(1, m);
      TakeSleepLock();
      return;
    }
    m.kind = MsgSuspend;
    // Whatever the player does, the lock goes soon: the sleep is never held up for long.
    if (!SendWindowMessage(1, m)) {
      ReleaseSleepLock();
    } else if (gInhibitFd >= 0) {
      if (!gSleepLockTimer) {
        gSleepLockTimer = new QTimer(this);
        gSleepLockTimer->setSingleShot(true);
        connect(gSleepLockTimer, &QTimer::timeout, this, [] { ReleaseSleepLock(); });
      }
      gSleepLockTimer->start(kSleepLockLimitMs);
    }
  }

  void NetworkStateChanged(uint state) {
    const int up = NetworkUpFromManager(state);
    if (up < 0 || up == gNetworkShown) return;
    gNetworkShown = up;
    WindowMessage m;
    m.kind = MsgNetworkChanged;
    m.param = up;
    SendWindowMessage(1, m);
  }
};
SystemWatch* gSystemWatch = nullptr;

void StartSystemWatch() {
  if (gSystemWatch) return;
  const QString address = SystemBusAddress();
  if (address.isEmpty()) return;
  QDBusConnection bus = QDBusConnection::connectToBus(address, QString::fromLatin1(kSystemConnection));
  if (!bus.isConnected()) {
    QDBusConnection::disconnectFromBus(QString::fromLatin1(kSystemConnection));
    return;
  }
  gSystemState = SystemBusConnected;
  gSystemWatch = new SystemWatch();
  QDBusConnectionInterface* names = bus.interface();
  // The resume refresh is wanted whenever the bus is there; the rest only with logind.
  bus.connect(kLogin, kLoginPath, kLoginManager, QStringLiteral("PrepareForSleep"), gSystemWatch,
              SLOT(PrepareForSleep(bool)));
  if (names && names->isServiceRegistered(QString::fromLatin1(kLogin))) {
    gSystemState |= SystemSleepWatched;
    gSystemWatch->TakeSleepLock();
  }
  if (names && names->isServiceRegistered(QString::fromLatin1(kNetwork))) {
    gSystemState |= SystemNetworkWatched;
    bus.connect(kNetwork, kNetworkPath, kNetwork, QStringLiteral("StateChanged"), gSystemWatch,
                SLOT(NetworkStateChanged(uint)));
    gSystemWatch->AskNetworkState();
  }
}

void StopSystemWatch() {
  if (!gSystemWatch) return;
  ReleaseSleepLock();
  delete gSystemWatch;  // its timer and pending calls go with it
  gSystemWatch = nullptr;
  gSleepLockTimer = nullptr;
  gInhibitAsked = false;
  gNetworkShown = -1;
  gSystemState = 0;
  QDBusConnection::disconnectFromBus(QString::fromLatin1(kSystemConnection));
}

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
  StartSystemWatch();
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
  StopSystemWatch();
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

void AllowSleep() { ReleaseSleepLock(); }

int SystemWatchState() { return gSystemState; }

int SetInstanceMarker(int window, const std::string& name) {
  if (!FindWindow(window) || name.empty()) return 0;
  if (gMarker.window) RemoveInstanceMarker(gMarker.window);
  int fd = InstanceListenerOpen(name);
  if (fd < 0) return 0;
  gMarker.window = window;
  gMarker.fd = fd;
  gMarker.notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
  QObject::connect(gMarker.notifier, &QSocketNotifier::activated, []() {
    std::vector<int> commands;
    if (InstanceListenerRead(gMarker.fd, &commands) > 0 && FindWindow(gMarker.window)) {
      // Another start asked for us: restore and bring the marked window to the front.
      SetWindowState(gMarker.window, WindowNormal);
      ActivateWindowNumber(gMarker.window);
    }
    // Commands handed over arrive as the window's menu commands, without raising it.
    for (int command : commands)
      if (FindWindow(gMarker.window)) PushEvent(EventMenu, gMarker.window, command, 0, 0, 0, 0, false);
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
