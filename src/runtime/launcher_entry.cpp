// The launcher-entry signal: the Linux counterpart of the taskbar button's progress
// bar. Docks and task managers that follow com.canonical.Unity.LauncherEntry show a
// progress bar and an urgency mark on the launcher of the desktop file named by the
// application URI. It shares the player's bus connection (mpris.cpp); the last state is
// kept so that a restarted bus, or a dock that asks later (Query), gets it again.
// Main thread only.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QVariantMap>
#include <string>

#include "runtime/runtime.h"

int MediaBusConnection(QDBusConnection* out);

namespace {

constexpr const char* kEntryPath = "/com/canonical/unity/launcherentry/corvaleplayer";
constexpr const char* kEntryInterface = "com.canonical.Unity.LauncherEntry";

struct LauncherEntry {
  int haveState = 0;
  QString appUri;
  double progress = 0.0;
  int progressVisible = 0;
  int urgent = 0;
  QDBusVirtualObject* object = nullptr;
};

LauncherEntry gEntry;

QVariantMap EntryProperties() {
  QVariantMap m;
  m.insert("progress", gEntry.progress);
  m.insert("progress-visible", gEntry.progressVisible != 0);
  m.insert("urgent", gEntry.urgent != 0);
  return m;
}

int Emit() {
  QDBusConnection c(QString{});
  if (!gEntry.haveState || !MediaBusConnection(&c)) return 0;
  QDBusMessage sig = QDBusMessage::createSignal(kEntryPath, kEntryInterface, "Update");
  sig << gEntry.appUri << EntryProperties();
  return c.send(sig) ? 1 : 0;
}

class EntryObject : public QDBusVirtualObject {
 public:
  QString introspect(const QString& path) const override {
    if (path != kEntryPath) return QString();
    return QString::fromLatin1(
        "  <interface name=\"com.canonical.Unity.LauncherEntry\">\n"
        "    <method name=\"Query\"><arg type=\"s\" direction=\"out\"/>"
        "<arg type=\"a{sv}\" direction=\"out\"/></method>\n"
        "    <signal name=\"Update\"><arg type=\"s\"/><arg type=\"a{sv}\"/></signal>\n"
        "  </interface>\n");
  }

  bool handleMessage(const QDBusMessage& msg, const QDBusConnection& connection) override {
    if (msg.member() != "Query") return false;
    if (!msg.interface().isEmpty() && msg.interface() != kEntryInterface) return false;
    QDBusConnection c(connection);
    QList<QVariant> out;
    out << gEntry.appUri << EntryProperties();
    c.send(msg.createReply(out));
    return true;
  }
};

}  // namespace

int LauncherEntryAttach(QDBusConnection* c) {
  if (!gEntry.object) gEntry.object = new EntryObject();
  return c->registerVirtualObject(kEntryPath, gEntry.object) ? 1 : 0;
}

void LauncherEntryDetach(QDBusConnection* c) { c->unregisterObject(kEntryPath); }

void LauncherEntryResend() { Emit(); }

int SetTaskbarProgress(int window, int state, int value, int total) {
  gEntry.appUri = QString::fromLatin1(kLauncherAppUri);
  double p = total > 0 ? static_cast<double>(value) / total : 0.0;
  gEntry.progress = p < 0.0 ? 0.0 : (p > 1.0 ? 1.0 : p);
  gEntry.progressVisible = state != ProgressNone;
  // Docks have no colours for the bar; the error (and paused) state asks for attention.
  gEntry.urgent = state == ProgressError || state == ProgressPaused;
  gEntry.haveState = 1;
  return Emit();
}
