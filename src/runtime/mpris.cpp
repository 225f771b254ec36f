// Desktop media controls: the player as an MPRIS2 media player on the session bus.
// This is the Linux counterpart of the taskbar's two thumbnail buttons: desktop media
// widgets and task managers show Play/Pause and Next, which the player maps to mute and
// the next volume mode. The bus connection appearing (and appearing again after the bus
// restarts) plays the part of the shell's "TaskbarButtonCreated" message.
//
// The objects are QDBusVirtualObjects so that no meta-object compiler is needed and the
// replies stay under our control. Everything here runs on the main thread.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <cstdlib>
#include <string>

#include "runtime/rt_internal.h"
#include "runtime/runtime.h"

// Shared with the launcher entry (launcher_entry.cpp), which lives on the same connection.
int LauncherEntryAttach(QDBusConnection* c);
void LauncherEntryDetach(QDBusConnection* c);
void LauncherEntryResend();

namespace {

constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
constexpr const char* kRootInterface = "org.mpris.MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
constexpr const char* kPropsInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kIntrospectInterface = "org.freedesktop.DBus.Introspectable";
constexpr const char* kPlayerExtras = "com.corvale.Player.Buttons";
constexpr int kCheckMs = 2000;

constexpr const char* kServiceName = "org.mpris.MediaPlayer2.corvaleplayer";
constexpr const char* kIdentity = "Corvale Player";
constexpr const char* kDesktopEntry = "corvale-player";

// What the bus is shown: the player's state plus the two buttons.
struct MediaBusState {
  int muted = 0;
  std::string artist;
  std::string title;
  std::string artUrl;
  std::string muteTip;
  std::string muteIcon;  // file of the button image ("" = none)
  std::string modeTip;
  std::string modeIcon;
};

struct MediaBus {
  int started = 0;
  int window = 0;  // the window whose taskbar entry this is
  TaskbarMetadataSource source = nullptr;
  MediaBusState state;     // what the player set
  QString connectionName;  // "" while not connected
  int connectionSerial = 0;
  QTimer* timer = nullptr;
  QDBusVirtualObject* object = nullptr;
  MediaBusState last;  // what the bus was last told
  int haveLast = 0;
  QString buttonFolder;  // where the button pictures are written ("" = none yet)
  int pictureSerial = 0;
};

MediaBus gBus;

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

MediaBusState CurrentState() {
  if (gBus.source) gBus.source(&gBus.state.artist, &gBus.state.title, &gBus.state.artUrl);
  return gBus.state;
}

// A file path becomes a file URL; anything already carrying a scheme stays as it is.
QString ToUrl(const std::string& pathOrUrl) {
  if (pathOrUrl.empty()) return QString();
  QString s = Q(pathOrUrl);
  if (s.startsWith('/')) return QUrl::fromLocalFile(s).toString();
  return s;
}

QVariantMap MetadataOf(const MediaBusState& s) {
  QVariantMap m;
  // One track that never ends: the station's stream.
  m.insert("mpris:trackid", QVariant::fromValue(QDBusObjectPath("/com/corvale/Player/Track/Live")));
  m.insert("xesam:title", Q(s.title));
  QStringList artists;
  if (!s.artist.empty()) artists << Q(s.artist);
  m.insert("xesam:artist", artists);
  if (!s.artUrl.empty()) m.insert("mpris:artUrl", ToUrl(s.artUrl));
  return m;
}

QVariantMap ButtonsOf(const MediaBusState& s) {
  QVariantMap m;
  m.insert("MuteTooltip", Q(s.muteTip));
  m.insert("MuteIcon", ToUrl(s.muteIcon));
  m.insert("ModeTooltip", Q(s.modeTip));
  m.insert("ModeIcon", ToUrl(s.modeIcon));
  return m;
}

QVariantMap RootProperties() {
  QVariantMap m;
  m.insert("CanQuit", true);
  m.insert("CanRaise", true);
  m.insert("HasTrackList", false);
  m.insert("Identity", QString(kIdentity));
  m.insert("DesktopEntry", QString(kDesktopEntry));
  m.insert("SupportedUriSchemes", QStringList());
  m.insert("SupportedMimeTypes", QStringList());
  return m;
}

QVariantMap PlayerProperties(const MediaBusState& s) {
  QVariantMap m;
  m.insert("PlaybackStatus", QString(s.muted ? "Paused" : "Playing"));
  m.insert("Rate", 1.0);
  m.insert("MinimumRate", 1.0);
  m.insert("MaximumRate", 1.0);
  m.insert("Metadata", MetadataOf(s));
  m.insert("Volume", s.muted ? 0.0 : 1.0);
  m.insert("Position", QVariant::fromValue<qlonglong>(0));
  m.insert("CanGoNext", true);
  m.insert("CanGoPrevious", false);
  m.insert("CanPlay", true);
  m.insert("CanPause", true);
  m.insert("CanSeek", false);
  m.insert("CanControl", true);
  return m;
}

QVariantMap PropertiesOf(const QString& interface, const MediaBusState& s) {
  if (interface == kRootInterface) return RootProperties();
  if (interface == kPlayerInterface) return PlayerProperties(s);
  if (interface == kPlayerExtras) return ButtonsOf(s);
  return QVariantMap();
}

void SendChanged(QDBusConnection& c, const QString& interface, const QVariantMap& changed) {
  if (changed.isEmpty()) return;
  QDBusMessage sig = QDBusMessage::createSignal(kObjectPath, kPropsInterface, "PropertiesChanged");
  sig << interface << changed << QStringList();
  c.send(sig);
}

// Signals the properties that differ from what the bus was last told.
void PublishState(const MediaBusState& s, int force) {
  if (gBus.connectionName.isEmpty()) return;
  QDBusConnection c(gBus.connectionName);
  const MediaBusState& o = gBus.last;
  int first = force || !gBus.haveLast;
  QVariantMap player;
  if (first || o.muted != s.muted) {
    player.insert("PlaybackStatus", QString(s.muted ? "Paused" : "Playing"));
    player.insert("Volume", s.muted ? 0.0 : 1.0);
  }
  if (first || o.artist != s.artist || o.title != s.title || o.artUrl != s.artUrl)
    player.insert("Metadata", MetadataOf(s));
  QVariantMap buttons;
  if (first || o.muteTip != s.muteTip || o.muteIcon != s.muteIcon || o.modeTip != s.modeTip ||
      o.modeIcon != s.modeIcon)
    buttons = ButtonsOf(s);
  gBus.last = s;
  gBus.haveLast = 1;
  if (first) return;  // a newcomer reads the properties; nothing has changed for anyone
  SendChanged(c, kPlayerInterface, player);
  SendChanged(c, kPlayerExtras, buttons);
}

const char* kIntrospection =
    "  <interface name=\"org.mpris.MediaPlayer2\">\n"
    "    <method name=\"Raise\"/>\n"
    "    <method name=\"Quit\"/>\n"
    "    <property name=\"CanQuit\" type=\"b\" access=\"read\"/>\n"
    "    <property name=\"CanRaise\" type=\"b\" access=\"read\"/>\n"
    "    <property name=\"HasTrackList\" type=\"b\" access=\"read\"/>\n"
    "    <property name=\"Identity\" type=\"s\" access=\"read\"/>\n"
    "    <property name=\"DesktopEntry\" type=\"s\" access=\"read\"/>\n"
    "    <property name=\"SupportedUriSchemes\" type=\"as\" access=\"read\"/>\n"
    "    <property name=\"SupportedMimeTypes\" type=\"as\" access=\"read\"/>\n"
    "  </interface>\n"
    "  <interface name=\"org.mpris.MediaPlayer2.Player\">\n"
    "    <method name=\"Next\"/>\n"
    "    <method name=\"Previous\"/>\n"
    "    <method name=\"Pause\"/>\n"
    "    <method name=\"PlayPause\"/>\n"
    "    <method name=\"Stop\"/>\n"
    "    <method name=\"Play\"/>\n"
    "    <method name=\"Seek\"><arg name=\"Offset\" type=\"x\" direction=\"in\"/></method>\n"
    "    <method name=\"SetPosition\"><arg name=\"TrackId\" type=\"o\" direction=\"in\"/>"
    "<arg name=\"Position\" type=\"x\" direction=\"in\"/></method>\n"
    "    <method name=\"OpenUri\"><arg name=\"Uri\" type=\"s\" direction=\"in\"/></method>\n"
    "    <signal name=\"Seeked\"><arg name=\"Position\" type=\"x\"/></signal>\n"
    "    <property name=\"PlaybackStatus\" type=\"s\" access=\"read\"/>\n"
    "    <property name=\"Rate\" type=\"d\" access=\"read\"/>\n"
    "    <property name=\"Metadata\" type=\"a{sv}\" access=\"read\"/>\n"
    "    <property name=\"Volume\" type=\"d\" access=\"read\"/>\n"
    "    <property name=\"Position\" type=\"x\" access=\"read\"/>\n"
    "    <property name=\"MinimumRate\" type=\"d\" access=\"read\"/>\n"
    "    <property name=\"MaximumRate\" type=\"d\" access=\"read\"/>\n"
    "    <property name=\"CanGoNext\" type=\"b\" access=\"read\"/>\n"
    "    <property name=\"CanGoPrevious\" type=\"b\" access=\"read\"/>\n"
    "    <property name=\"CanPlay\" type=\"b\" access=\"read\"/>\n"
    "    <property name=\"CanPause\" type=\"b\" access=\"read\"/>\n"
    "    <property name=\"CanSeek\" type=\"b\" access=\"read\"/>\n"
    "    <property name=\"CanControl\" type=\"b\" access=\"read\"/>\n"
    "  </interface>\n"
    "  <interface name=\"com.corvale.Player.Buttons\">\n"
    "    <property name=\"MuteTooltip\" type=\"s\" access=\"read\"/>\n"
    "    <property name=\"MuteIcon\" type=\"s\" access=\"read\"/>\n"
    "    <property name=\"ModeTooltip\" type=\"s\" access=\"read\"/>\n"
    "    <property name=\"ModeIcon\" type=\"s\" access=\"read\"/>\n"
    "  </interface>\n"
    "  <interface name=\"org.freedesktop.DBus.Properties\">\n"
    "    <method name=\"Get\"><arg name=\"interface_name\" type=\"s\" direction=\"in\"/>"
    "<arg name=\"property_name\" type=\"s\" direction=\"in\"/>"
    "<arg name=\"value\" type=\"v\" direction=\"out\"/></method>\n"
    "    <method name=\"GetAll\"><arg name=\"interface_name\" type=\"s\" direction=\"in\"/>"
    "<arg name=\"properties\" type=\"a{sv}\" direction=\"out\"/></method>\n"
    "    <method name=\"Set\"><arg name=\"interface_name\" type=\"s\" direction=\"in\"/>"
    "<arg name=\"property_name\" type=\"s\" direction=\"in\"/>"
    "<arg name=\"value\" type=\"v\" direction=\"in\"/></method>\n"
    "    <signal name=\"PropertiesChanged\"><arg name=\"interface_name\" type=\"s\"/>"
    "<arg name=\"changed_properties\" type=\"a{sv}\"/>"
    "<arg name=\"invalidated_properties\" type=\"as\"/></signal>\n"
    "  </interface>\n";

// Hands a taskbar message to the window's callback, which turns a click into the menu
// command the button stands for, as the shell's button messages are.
void DeliverTaskbarMessage(int kind, int window, int param) {
  WindowMessage m;
  m.kind = kind;
  m.window = window;
  m.param = param;
  rt::SendWindowMessage(window, m);
}

// The bus's requests become what the taskbar buttons would send: PlayPause is the mute
// button, Next the volume-mode button. Play and Pause only act when they change the
// state; Stop mutes like Pause.
void RunCommand(const char* method) {
  const std::string m = method;
  int button = 0;
  if (m == "PlayPause")
    button = 1;
  else if (m == "Play")
    button = gBus.state.muted ? 1 : 0;
  else if (m == "Pause" || m == "Stop")
    button = gBus.state.muted ? 0 : 1;
  else if (m == "Next")
    button = 2;
  if (button) {
    // The shown state follows at once, so Play/Pause in quick succession stay right.
    if (button == 1) gBus.state.muted = !gBus.state.muted;
    DeliverTaskbarMessage(MsgThumbButtonClick, gBus.window, button);
  } else if (m == "Raise") {
    ActivateWindowNumber(gBus.window);
  } else if (m == "Quit") {
    PostEvent(EventCloseWindow, gBus.window, 0);
  }
}

class PlayerObject : public QDBusVirtualObject {
 public:
  QString introspect(const QString& path) const override {
    return path == kObjectPath ? QString::fromLatin1(kIntrospection) : QString();
  }

  bool handleMessage(const QDBusMessage& msg, const QDBusConnection& connection) override {
    QDBusConnection c(connection);
    const QString iface = msg.interface();
    const QString member = msg.member();
    const QList<QVariant> args = msg.arguments();
    if (iface == kPropsInterface) {
      if (member == "Get" && args.size() == 2) {
        QVariantMap all = PropertiesOf(args[0].toString(), CurrentState());
        auto it = all.constFind(args[1].toString());
        if (it == all.constEnd()) {
          c.send(msg.createErrorReply("org.freedesktop.DBus.Error.UnknownProperty",
                                      "No such property: " + args[1].toString()));
        } else {
          c.send(msg.createReply(QVariant::fromValue(QDBusVariant(it.value()))));
        }
        return true;
      }
      if (member == "GetAll" && args.size() == 1) {
        c.send(msg.createReply(PropertiesOf(args[0].toString(), CurrentState())));
        return true;
      }
      if (member == "Set") {
        c.send(msg.createErrorReply("org.freedesktop.DBus.Error.PropertyReadOnly",
                                    "The player's properties are read-only."));
        return true;
      }
      return false;
    }
    if (iface == kRootInterface || iface == kPlayerInterface || iface.isEmpty()) {
      static const char* const kMethods[] = {"Raise", "Quit", "Next", "Previous",    "Pause",  "PlayPause",
                                             "Stop",  "Play", "Seek", "SetPosition", "OpenUri"};
      for (const char* m : kMethods) {
        if (member == QLatin1String(m)) {
          // Reply first: the command may open windows or end the loop.
          if (msg.isReplyRequired()) c.send(msg.createReply());
          RunCommand(m);
          return true;
        }
      }
    }
    return false;
  }
};

void Disconnect() {
  if (gBus.connectionName.isEmpty()) return;
  {
    QDBusConnection c(gBus.connectionName);
    c.unregisterObject(kObjectPath);
    LauncherEntryDetach(&c);
  }
  QDBusConnection::disconnectFromBus(gBus.connectionName);
  gBus.connectionName.clear();
}

// The session bus address: the environment's, else the per-user bus socket. Never
// autolaunches a bus of its own.
QString SessionBusAddress() {
  const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (env && *env) return QString::fromLocal8Bit(env);
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir && *runtimeDir) {
    QString path = QString::fromLocal8Bit(runtimeDir) + "/bus";
    if (QFileInfo::exists(path)) return "unix:path=" + path;
  }
  return QString();
}

// Connects, registers the object and the name; 1 when the player is on the bus.
int TryConnect() {
  QString address = SessionBusAddress();
  if (address.isEmpty()) return 0;
  QString name = QString("corvale-media-%1").arg(++gBus.connectionSerial);
  QDBusConnection c = QDBusConnection::connectToBus(address, name);
  if (!c.isConnected()) {
    QDBusConnection::disconnectFromBus(name);
    return 0;
  }
  if (!gBus.object) gBus.object = new PlayerObject();
  if (!c.registerVirtualObject(kObjectPath, gBus.object) || !LauncherEntryAttach(&c) ||
      !c.registerService(kServiceName)) {
    c.unregisterObject(kObjectPath);
    LauncherEntryDetach(&c);
    QDBusConnection::disconnectFromBus(name);
    return 0;
  }
  gBus.connectionName = name;
  gBus.haveLast = 0;
  PublishState(CurrentState(), 1);
  return 1;
}

// The periodic check: a lost bus is noticed and reconnected, and changes the player did
// not announce (a new title) reach the bus.
void Check() {
  if (!gBus.connectionName.isEmpty()) {
    QDBusConnection c(gBus.connectionName);
    if (c.isConnected()) {
      PublishState(CurrentState(), 0);
      return;
    }
    Disconnect();
  }
  if (TryConnect()) {
    LauncherEntryResend();
    DeliverTaskbarMessage(MsgTaskbarButtonCreated, gBus.window, 0);
  }
}

}  // namespace

// The player's bus connection for the launcher entry; 0 while not on the bus.
int MediaBusConnection(QDBusConnection* out) {
  if (gBus.connectionName.isEmpty()) return 0;
  *out = QDBusConnection(gBus.connectionName);
  return 1;
}

int StartTaskbarEntry(int window) {
  if (!QCoreApplication::instance()) return 0;
  if (gBus.started) StopTaskbarEntry();
  gBus.window = window;
  gBus.started = 1;
  gBus.timer = new QTimer();
  gBus.timer->setInterval(kCheckMs);
  QObject::connect(gBus.timer, &QTimer::timeout, [] { Check(); });
  gBus.timer->start();
  // The first connection is announced from the event loop, as the shell's message is.
  QTimer::singleShot(0, gBus.timer, [] { Check(); });
  return 1;
}

void StopTaskbarEntry() {
  if (!gBus.started) return;
  Disconnect();
  delete gBus.timer;
  gBus.timer = nullptr;
  delete gBus.object;
  gBus.object = nullptr;
  gBus.started = 0;
  gBus.haveLast = 0;
  gBus.state = MediaBusState();
  gBus.source = nullptr;
  if (!gBus.buttonFolder.isEmpty()) QDir(gBus.buttonFolder).removeRecursively();
  gBus.buttonFolder.clear();
}

int TaskbarEntryConnected() {
  if (gBus.connectionName.isEmpty()) return 0;
  return QDBusConnection(gBus.connectionName).isConnected() ? 1 : 0;
}

void CheckTaskbarEntry() {
  if (gBus.started) Check();
}

void SetTaskbarMetadataSource(TaskbarMetadataSource source) {
  gBus.source = source;
  if (gBus.started) PublishState(CurrentState(), 0);
}

void SetTaskbarMuted(int muted) {
  gBus.state.muted = muted ? 1 : 0;
  if (gBus.started) PublishState(CurrentState(), 0);
}

int SetThumbButton(int window, int buttonId, int image, const std::string& tooltip) {
  if (!gBus.started || window != gBus.window || (buttonId != 1 && buttonId != 2)) return 0;
  std::string file;
  if (image && IsImage(image)) {
    // The bus carries pictures as files in the per-user runtime folder.
    if (gBus.buttonFolder.isEmpty()) {
      QString dir = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
      if (dir.isEmpty()) dir = QDir::tempPath();
      gBus.buttonFolder = dir + QString("/corvale-player-%1").arg(QCoreApplication::applicationPid());
      QDir().mkpath(gBus.buttonFolder);
    }
    // A new name per picture, so that readers holding the old URL never see it change.
    std::string path =
        (gBus.buttonFolder + QString("/button-%1-%2.png").arg(buttonId).arg(++gBus.pictureSerial))
            .toStdString();
    if (SaveImagePng(image, path)) file = path;
  }
  std::string& old = buttonId == 1 ? gBus.state.muteIcon : gBus.state.modeIcon;
  if (!old.empty() && old != file) QFile::remove(QString::fromStdString(old));
  if (buttonId == 1) {
    gBus.state.muteTip = tooltip;
    gBus.state.muteIcon = file;
  } else {
    gBus.state.modeTip = tooltip;
    gBus.state.modeIcon = file;
  }
  PublishState(CurrentState(), 0);
  return TaskbarEntryConnected();
}

namespace rt {

// Window 1 shown for the first time: its taskbar entry joins the bus.
void TaskbarWindowShown(int window) {
  if (window == 1 && !gBus.started) StartTaskbarEntry(window);
}

void TeardownTaskbar() { StopTaskbarEntry(); }

}  // namespace rt
