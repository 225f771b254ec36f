// A stand-in for logind and NetworkManager on a private system bus, for the tests of
// sleep and network handling. It owns org.freedesktop.login1 and
// org.freedesktop.NetworkManager, answers Inhibit with a pipe's end (and tells when every
// copy of it has been closed) and NetworkManager's State property, and emits the signals
// it is told to on its standard input, one command a line:
//   sleep | wake        PrepareForSleep(true) / PrepareForSleep(false)
//   net N               State = N, then StateChanged(N)
//   quit
// Standard output, one line each: "ready", "inhibit <n>" (lock n taken), "released <n>"
// (every copy of lock n closed), "sent <command>".
//   system-bus-stand-in ADDRESS [--no-logind] [--no-network] [--state N]
#include <fcntl.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* kBus = "stand-in";
uint gState = 70;  // NM_STATE_CONNECTED_GLOBAL
int gLocks = 0;

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

class Login : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return QString(); }
  bool handleMessage(const QDBusMessage& msg, const QDBusConnection& connection) override {
    if (msg.member() != QLatin1String("Inhibit")) return false;
    QDBusConnection c(connection);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      c.send(msg.createErrorReply("org.freedesktop.DBus.Error.Failed", "pipe"));
      return true;
    }
    const int n = ++gLocks;
    // The caller gets the write end; the read end sees the end of file once every copy
    // of the write end is closed, which is when logind lets the sleep go on.
    auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [notifier, fd = fds[0], n]() {
      char b[16];
      if (read(fd, b, sizeof b) > 0) return;
      notifier->setEnabled(false);
      close(fd);
      Say("released " + std::to_string(n));
      notifier->deleteLater();
    });
    c.send(msg.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fds[1]))));
    close(fds[1]);  // the reply holds its own copy until it is sent
    Say("inhibit " + std::to_string(n));
    return true;
  }
};

class Network : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return QString(); }
  bool handleMessage(const QDBusMessage& msg, const QDBusConnection& connection) override {
    QDBusConnection c(connection);
    const QList<QVariant> args = msg.arguments();
    if (msg.member() == QLatin1String("Get") && args.size() == 2 && args[1].toString() == "State") {
      c.send(msg.createReply(QVariant::fromValue(QDBusVariant(QVariant::fromValue(gState)))));
      return true;
    }
    return false;
  }
};

void Emit(const QString& path, const QString& iface, const QString& name, const QVariant& arg) {
  QDBusMessage s = QDBusMessage::createSignal(path, iface, name);
  s << arg;
  QDBusConnection(kBus).send(s);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: system-bus-stand-in ADDRESS [--no-logind] [--no-network] [--state N]\n");
    return 2;
  }
  bool login = true, network = true;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--no-logind")) login = false;
    if (!std::strcmp(argv[i], "--no-network")) network = false;
    if (!std::strcmp(argv[i], "--state") && i + 1 < argc) gState = uint(std::atoi(argv[++i]));
  }
  QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), kBus);
  if (!bus.isConnected()) {
    std::fprintf(stderr, "stand-in: no bus at %s\n", argv[1]);
    return 1;
  }
  Login loginObject;
  Network networkObject;
  if (login && (!bus.registerVirtualObject("/org/freedesktop/login1", &loginObject) ||
                !bus.registerService("org.freedesktop.login1")))
    return 1;
  if (network && (!bus.registerVirtualObject("/org/freedesktop/NetworkManager", &networkObject) ||
                  !bus.registerService("org.freedesktop.NetworkManager")))
    return 1;

  QSocketNotifier input(0, QSocketNotifier::Read);
  std::string pending;
  QObject::connect(&input, &QSocketNotifier::activated, [&]() {
    char b[256];
    ssize_t n = read(0, b, sizeof b);
    if (n <= 0) {
      app.quit();
      return;
    }
    pending.append(b, size_t(n));
    size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (line == "sleep" || line == "wake") {
        Emit("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", line == "sleep");
      } else if (line.rfind("net ", 0) == 0) {
        gState = uint(std::atoi(line.c_str() + 4));
        Emit("/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager", "StateChanged",
             QVariant::fromValue(gState));
      } else if (line == "quit") {
        app.quit();
        return;
      } else {
        continue;
      }
      Say("sent " + line);
    }
  });
  Say("ready");
  return app.exec();
}
