// Keyboard shortcuts, the media play/pause key and the global hotkey (an X11 key grab).
#include <qguiapplication_platform.h>
#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>

#include <dlfcn.h>

#include <cstdlib>

#include "runtime/rt_internal.h"

namespace rt {

int VirtualKeyOf(int key) {
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return 'A' + (key - Qt::Key_A);
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return '0' + (key - Qt::Key_0);
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return 0x70 + (key - Qt::Key_F1);
  switch (key) {
    case Qt::Key_Menu:
      return VkApps;
    case Qt::Key_MediaPlay:
    case Qt::Key_MediaTogglePlayPause:
    case Qt::Key_MediaPause:
      return VkMediaPlayPause;
    case Qt::Key_MediaNext:
      return 176;
    case Qt::Key_MediaPrevious:
      return 177;
    case Qt::Key_MediaStop:
      return 178;
    case Qt::Key_Escape:
      return 27;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return 13;
    case Qt::Key_Space:
      return 32;
    case Qt::Key_Tab:
      return 9;
    case Qt::Key_Backspace:
      return 8;
    case Qt::Key_Delete:
      return 46;
    case Qt::Key_Insert:
      return 45;
    case Qt::Key_Home:
      return 36;
    case Qt::Key_End:
      return 35;
    case Qt::Key_PageUp:
      return 33;
    case Qt::Key_PageDown:
      return 34;
    case Qt::Key_Left:
      return 37;
    case Qt::Key_Up:
      return 38;
    case Qt::Key_Right:
      return 39;
    case Qt::Key_Down:
      return 40;
    default:
      return 0;
  }
}

namespace {

int ModifierBits(Qt::KeyboardModifiers m) {
  int bits = 0;
  if (m & Qt::ShiftModifier) bits |= ShortcutShift;
  if (m & Qt::ControlModifier) bits |= ShortcutControl;
  if (m & Qt::AltModifier) bits |= ShortcutAlt;
  return bits;
}

// Sees every key of every window before the controls do, so that a shortcut wins over
// a text control's own Ctrl+C, as a window's accelerator table does.
class KeyFilter : public QObject {
 public:
  bool eventFilter(QObject* obj, QEvent* e) override {
    if (e->type() != QEvent::KeyPress && e->type() != QEvent::KeyRelease) return false;
    auto* widget = qobject_cast<QWidget*>(obj);
    if (!widget) return false;
    WindowRecord* w = WindowOfWidget(widget);
    if (!w) return false;
    auto* ke = static_cast<QKeyEvent*>(e);
    int vk = VirtualKeyOf(ke->key());
    if (!vk) return false;
    if (e->type() == QEvent::KeyRelease) {
      if (vk == VkMediaPlayPause && !ke->isAutoRepeat()) {
        WindowMessage m;
        m.kind = MsgMediaPlayPauseUp;
        m.key = vk;
        int n = w->number;
        // The filter sees the release once per widget on the way up; answer it once.
        QWidget* focus = QApplication::focusWidget();
        if (obj == focus || (!focus && obj == widget->window())) SendWindowMessage(n, m);
      }
      return false;
    }
    int code = vk | ModifierBits(ke->modifiers());
    auto it = w->shortcuts.find(code);
    if (it == w->shortcuts.end()) return false;
    if (!ke->isAutoRepeat()) PushEvent(EventMenu, w->number, it->second, 0, 0, 0, 0, false);
    return true;
  }
};

KeyFilter* gKeyFilter = nullptr;

}  // namespace

void InstallKeyFilter() {
  if (gKeyFilter) return;
  gKeyFilter = new KeyFilter();
  qApp->installEventFilter(gKeyFilter);
}

void RemoveKeyFilter() {
  if (!gKeyFilter) return;
  qApp->removeEventFilter(gKeyFilter);
  delete gKeyFilter;
  gKeyFilter = nullptr;
}

// --- Global hotkey ------------------------------------------------------------------------
// Xlib is loaded at run time: the xcb platform plugin already has it in the process, and
// the player needs no X11 development files to build.

namespace {

// The grab itself goes through xcb with checked requests: an error (another client holds
// the key) comes back to us instead of Qt's own error handler.
struct XcbCookie {
  unsigned int sequence;
};
struct XApi {
  void* x11 = nullptr;
  void* xcb = nullptr;
  unsigned char (*KeysymToKeycode)(void*, unsigned long) = nullptr;
  unsigned long (*DefaultRootWindow)(void*) = nullptr;
  XcbCookie (*GrabKeyChecked)(void*, uint8_t, uint32_t, uint16_t, uint8_t, uint8_t, uint8_t) = nullptr;
  XcbCookie (*UngrabKey)(void*, uint8_t, uint32_t, uint16_t) = nullptr;
  void* (*RequestCheck)(void*, XcbCookie) = nullptr;
  int (*Flush)(void*) = nullptr;
  bool Load() {
    if (x11 && xcb) return true;
    x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!x11 || !xcb) return Unload();
    KeysymToKeycode = reinterpret_cast<decltype(KeysymToKeycode)>(dlsym(x11, "XKeysymToKeycode"));
    DefaultRootWindow = reinterpret_cast<decltype(DefaultRootWindow)>(dlsym(x11, "XDefaultRootWindow"));
    GrabKeyChecked = reinterpret_cast<decltype(GrabKeyChecked)>(dlsym(xcb, "xcb_grab_key_checked"));
    UngrabKey = reinterpret_cast<decltype(UngrabKey)>(dlsym(xcb, "xcb_ungrab_key"));
    RequestCheck = reinterpret_cast<decltype(RequestCheck)>(dlsym(xcb, "xcb_request_check"));
    Flush = reinterpret_cast<decltype(Flush)>(dlsym(xcb, "xcb_flush"));
    if (!KeysymToKeycode || !DefaultRootWindow || !GrabKeyChecked || !UngrabKey || !RequestCheck || !Flush)
      return Unload();
    return true;
  }
  bool Unload() {
    if (x11) dlclose(x11);
    if (xcb) dlclose(xcb);
    x11 = xcb = nullptr;
    return false;
  }
} gX;

constexpr unsigned long kXF86AudioPlay = 0x1008FF14;
constexpr unsigned int kLockMask = 1 << 1, kMod2Mask = 1 << 4;  // Caps Lock, Num Lock
const unsigned int kModifierSets[4] = {0, kLockMask, kMod2Mask, kLockMask | kMod2Mask};

struct Hotkey {
  int window = 0, id = 0, vk = 0, keycode = 0;
};
std::vector<Hotkey> gHotkeys;

// The layout of an xcb key press, as the X protocol fixes it.
struct KeyPressEvent {
  uint8_t responseType;
  uint8_t detail;
  uint16_t sequence;
  uint32_t time, root, event, child;
  int16_t rootX, rootY, eventX, eventY;
  uint16_t state;
  uint8_t sameScreen, pad;
};

class HotkeyFilter : public QAbstractNativeEventFilter {
 public:
  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t" || gHotkeys.empty()) return false;
    auto* ev = static_cast<const KeyPressEvent*>(message);
    if ((ev->responseType & 0x7F) != 2) return false;  // KeyPress
    for (const Hotkey& h : gHotkeys) {
      if (h.keycode == ev->detail && ev->event == ev->root) {
        WindowMessage m;
        m.kind = MsgHotkey;
        m.param = h.id;
        m.key = h.vk;
        int window = h.window;
        QMetaObject::invokeMethod(
            qApp, [window, m]() { SendWindowMessage(window, m); }, Qt::QueuedConnection);
        return true;
      }
    }
    return false;
  }
};
HotkeyFilter* gHotkeyFilter = nullptr;

struct X11Handles {
  void* display = nullptr;
  void* connection = nullptr;
};

X11Handles X11() {
  auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11) return {};
  return {static_cast<void*>(x11->display()), static_cast<void*>(x11->connection())};
}

}  // namespace

void TeardownHotkeys() {
  while (!gHotkeys.empty()) UnregisterHotkey(gHotkeys.back().window, gHotkeys.back().id);
  if (gHotkeyFilter) {
    qApp->removeNativeEventFilter(gHotkeyFilter);
    delete gHotkeyFilter;
    gHotkeyFilter = nullptr;
  }
}

}  // namespace rt

using namespace rt;

void AddKeyboardShortcut(int window, int shortcut, int menuCommand) {
  if (WindowRecord* w = FindWindow(window)) w->shortcuts[shortcut] = menuCommand;
}

void RemoveKeyboardShortcut(int window, int shortcut) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  if (shortcut == -1)
    w->shortcuts.clear();
  else
    w->shortcuts.erase(shortcut);
}

int RegisterHotkey(int window, int hotkeyId, int virtualKey) {
  if (!FindWindow(window) || virtualKey != VkMediaPlayPause) return 0;
  for (const Hotkey& h : gHotkeys)
    if (h.window == window && h.id == hotkeyId) return 0;
  X11Handles x = X11();
  if (!x.display || !x.connection || !gX.Load()) return 0;
  int keycode = gX.KeysymToKeycode(x.display, kXF86AudioPlay);
  if (!keycode) return 0;
  uint32_t root = static_cast<uint32_t>(gX.DefaultRootWindow(x.display));
  XcbCookie cookies[4];
  for (int i = 0; i < 4; ++i)
    cookies[i] = gX.GrabKeyChecked(x.connection, 1, root, static_cast<uint16_t>(kModifierSets[i]),
                                   static_cast<uint8_t>(keycode), 1, 1);
  bool failed = false;
  for (XcbCookie c : cookies) {
    if (void* err = gX.RequestCheck(x.connection, c)) {
      failed = true;
      free(err);
    }
  }
  if (failed) {
    // Another client holds the key, as RegisterHotKey fails on Windows.
    for (unsigned int mods : kModifierSets)
      gX.UngrabKey(x.connection, static_cast<uint8_t>(keycode), root, static_cast<uint16_t>(mods));
    gX.Flush(x.connection);
    return 0;
  }
  if (!gHotkeyFilter) {
    gHotkeyFilter = new HotkeyFilter();
    qApp->installNativeEventFilter(gHotkeyFilter);
  }
  gHotkeys.push_back({window, hotkeyId, virtualKey, keycode});
  return 1;
}

void UnregisterHotkey(int window, int hotkeyId) {
  for (auto it = gHotkeys.begin(); it != gHotkeys.end(); ++it) {
    if (it->window != window || it->id != hotkeyId) continue;
    int keycode = it->keycode;
    gHotkeys.erase(it);
    // Another registration of the same key keeps the grab.
    for (const Hotkey& h : gHotkeys)
      if (h.keycode == keycode) return;
    X11Handles x = X11();
    if (x.display && x.connection && gX.Load()) {
      uint32_t root = static_cast<uint32_t>(gX.DefaultRootWindow(x.display));
      for (unsigned int mods : kModifierSets)
        gX.UngrabKey(x.connection, static_cast<uint8_t>(keycode), root, static_cast<uint16_t>(mods));
      gX.Flush(x.connection);
    }
    return;
  }
}
