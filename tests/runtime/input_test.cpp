// Input the desktop would send (keys, clicks, the close box, the wheel), synthesised
// through the toolkit (Qt) or as window messages (Win32), and a real message box asked
// for by a worker thread.
#ifdef _WIN32
#include <windows.h>
#else
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QWheelEvent>
#include <QWidget>
#endif

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "runtime_env.h"
#ifdef _WIN32
#include "runtime/win/rt_win.h"
#endif

namespace {

void Drain() {
  while (WaitWindowEvent(0)) {
  }
}

// Catches a maximise on the main window that sticks although its callback swallowed it.
int SwallowMaximise(const WindowMessage& m) { return m.kind == MsgSysCommand && m.param == SysCmdMaximize; }

TEST(Input, SwallowedMaximiseIsUndone) {
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowMinimizeBox), 1);
  SetWindowCallback(1, SwallowMaximise);
  SetWindowState(1, WindowMaximized);
  for (int i = 0; i < 50 && GetWindowState(1) != WindowNormal; ++i) WaitWindowEvent(5);
  EXPECT_EQ(GetWindowState(1), WindowNormal);
  CloseWindow(1);
  PumpEvents(2);
}

// Catches minimise and restore not reported as their events.
TEST(Input, MinimiseAndRestoreEvents) {
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowMinimizeBox), 1);
  Drain();
  SetWindowState(1, WindowMinimized);
  EXPECT_EQ(WaitForEvent(EventMinimizeWindow, 1, 0, 50), 1);
  SetWindowState(1, WindowNormal);
  EXPECT_EQ(WaitForEvent(EventRestoreWindow, 1, 0, 50), 1);
  CloseWindow(1);
  PumpEvents(2);
}

struct Seen {
  int type, x, y, data;
};

// The canvas events of window 4's control 10 that the mouse's path gave, without the
// enter/leave and focus events the real pointer may add.
std::vector<Seen> CanvasClicks() {
  std::vector<Seen> seen;
  while (int ev = WaitWindowEvent(0))
    if (ev == EventGadget && EventWindow() == 4 && EventObject() == 10 && EventType() != GadgetMouseEnter &&
        EventType() != GadgetMouseLeave && EventType() != GadgetFocus && EventType() != GadgetLostFocus)
      seen.push_back({EventType(), EventMouseX(), EventMouseY(), EventData()});
  return seen;
}

void ExpectPressDragReleaseWheelRightClick(const std::vector<Seen>& seen) {
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[0].type, GadgetLeftButtonDown);
  EXPECT_EQ(seen[0].y, 17);
  EXPECT_EQ(seen[1].type, GadgetMouseMove);
  EXPECT_EQ(seen[1].y, 40);
  EXPECT_EQ(seen[2].type, GadgetLeftButtonUp);
  EXPECT_EQ(seen[3].type, GadgetLeftClick);
  EXPECT_EQ(seen[3].x, 6);
  EXPECT_EQ(seen[4].type, GadgetMouseWheel);
  EXPECT_EQ(seen[4].data, 2);
  EXPECT_EQ(seen[5].type, GadgetRightClick);
}

}  // namespace

#ifndef _WIN32
namespace {

QWidget* WindowWidget(int n) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == QStringLiteral("corvale-window-%1").arg(n)) return w;
  return nullptr;
}

// Catches Ctrl+C reaching the text control's own copy instead of the window's shortcut,
// and the context-menu key not mapped to its command.
TEST(Input, ShortcutsBecomeMenuEvents) {
  ASSERT_EQ(OpenWindow(6, 0, 0, 200, 100, "log", WindowCaption), 1);
  ASSERT_EQ(TextGadget(6, 22, 0, 0, 200, 80, "text"), 1);
  AddKeyboardShortcut(6, VkApps, 1);
  AddKeyboardShortcut(6, 'C' | ShortcutControl, 3);
  QWidget* win = WindowWidget(6);
  ASSERT_TRUE(win);
  QWidget* text = nullptr;
  for (QWidget* c : win->findChildren<QWidget*>())
    if (c->inherits("QPlainTextEdit")) text = c;
  ASSERT_TRUE(text);
  Drain();
  QKeyEvent ctrlC(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, QStringLiteral("c"));
  QApplication::sendEvent(text, &ctrlC);
  EXPECT_EQ(WaitForEvent(EventMenu, 6, 3, 20), 1);
  QKeyEvent menuKey(QEvent::KeyPress, Qt::Key_Menu, Qt::NoModifier);
  QApplication::sendEvent(win, &menuKey);
  EXPECT_EQ(WaitForEvent(EventMenu, 6, 1, 20), 1);
  // A plain C is no shortcut.
  QKeyEvent plainC(QEvent::KeyPress, Qt::Key_C, Qt::NoModifier, QStringLiteral("c"));
  QApplication::sendEvent(text, &plainC);
  EXPECT_EQ(WaitForEvent(EventMenu, 6, 0, 5), 0);
  RemoveKeyboardShortcut(6, -1);
  QApplication::sendEvent(text, &ctrlC);
  EXPECT_EQ(WaitForEvent(EventMenu, 6, 0, 5), 0);
  CloseWindow(6);
  PumpEvents(2);
}

int gMediaKeys = 0;
int CountMediaKey(const WindowMessage& m) {
  if (m.kind == MsgMediaPlayPauseUp && m.key == VkMediaPlayPause) ++gMediaKeys;
  return 0;
}

// Catches the play/pause key release not reaching the window callback, or reaching it
// once per widget on its way up.
TEST(Input, MediaKeyReleaseReachesCallbackOnce) {
  ASSERT_EQ(OpenWindow(3, 0, 0, 100, 100, "info", WindowCaption), 1);
  SetWindowCallback(3, CountMediaKey);
  QWidget* win = WindowWidget(3);
  ASSERT_TRUE(win);
  gMediaKeys = 0;
  QKeyEvent up(QEvent::KeyRelease, Qt::Key_MediaTogglePlayPause, Qt::NoModifier);
  QApplication::sendEvent(win, &up);
  EXPECT_EQ(gMediaKeys, 1);
  QKeyEvent other(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier);
  QApplication::sendEvent(win, &other);
  EXPECT_EQ(gMediaKeys, 1);
  CloseWindow(3);
  PumpEvents(2);
}

// Catches the close box closing the window itself instead of asking the player.
TEST(Input, CloseBoxIsARequest) {
  ASSERT_EQ(OpenWindow(2, 0, 0, 100, 100, "stats", WindowCaption | WindowSystemMenu), 1);
  Drain();
  QWidget* win = WindowWidget(2);
  ASSERT_TRUE(win);
  win->close();
  EXPECT_EQ(WaitForEvent(EventCloseWindow, 2, 0, 20), 1);
  EXPECT_EQ(IsWindow(2), 1);
  EXPECT_TRUE(win->isVisible());
  CloseWindow(2);
  PumpEvents(2);
}

// Catches canvas clicks, drags and wheel notches reported wrongly (the volume slider
// depends on the position and the notch count).
TEST(Input, CanvasMouseEvents) {
  ASSERT_EQ(OpenWindow(4, 0, 0, 100, 200, "prefs", WindowCaption), 1);
  ASSERT_EQ(CanvasGadget(4, 10, 28, 36, 34, 170, 1), 1);
  QWidget* win = WindowWidget(4);
  ASSERT_TRUE(win);
  QWidget* canvas = win->childAt(40, 50);
  ASSERT_TRUE(canvas);
  Drain();
  QPointF p(5, 17);
  QMouseEvent press(QEvent::MouseButtonPress, p, canvas->mapToGlobal(p), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(canvas, &press);
  QPointF q(6, 40);
  QMouseEvent move(QEvent::MouseMove, q, canvas->mapToGlobal(q), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(canvas, &move);
  QMouseEvent release(QEvent::MouseButtonRelease, q, canvas->mapToGlobal(q), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(canvas, &release);
  QWheelEvent wheel(q, canvas->mapToGlobal(q), QPoint(), QPoint(0, 240), Qt::NoButton, Qt::NoModifier,
                    Qt::NoScrollPhase, false);
  QApplication::sendEvent(canvas, &wheel);
  QMouseEvent rpress(QEvent::MouseButtonPress, q, canvas->mapToGlobal(q), Qt::RightButton, Qt::RightButton,
                     Qt::NoModifier);
  QApplication::sendEvent(canvas, &rpress);
  QMouseEvent rrelease(QEvent::MouseButtonRelease, q, canvas->mapToGlobal(q), Qt::RightButton, Qt::NoButton,
                       Qt::NoModifier);
  QApplication::sendEvent(canvas, &rrelease);

  ExpectPressDragReleaseWheelRightClick(CanvasClicks());
  CloseWindow(4);
  PumpEvents(2);
}

// Catches a busy main loop (a modal box) collecting a burst of ticks of one timer.
TEST(Input, TimerHasAtMostOneTickWaiting) {
  ASSERT_EQ(OpenWindow(2, 0, 0, 40, 40, "stats", WindowInvisible), 1);
  Drain();
  ASSERT_EQ(AddWindowTimer(2, 1, 1), 1);
  // Qt runs its timers while the player's loop does not take events, as in a modal loop.
  for (int i = 0; i < 30; ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  RemoveWindowTimer(2, 1);
  int ticks = 0;
  while (int ev = WaitWindowEvent(0))
    if (ev == EventTimer && EventObject() == 1) ++ticks;
  EXPECT_EQ(ticks, 1);
  CloseWindow(2);
  PumpEvents(2);
}

// Catches a worker's message box that stops the main loop, or whose answer is lost.
TEST(Input, WorkerMessageBoxKeepsLoopRunning) {
  setenv("CORVALE_DIALOGS", "show", 1);
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless), 1);
  auto answer = std::make_shared<std::atomic<int>>(0);
  std::thread worker([answer]() { *answer = ShowMessageBox("Corvale Player Version Check", "Update?", MbYesNo, 1); });
  QMessageBox* box = nullptr;
  int loopTurns = 0;
  for (int i = 0; i < 2000 && !box; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    PostEvent(EventCustomFirst + 3, 1, i);
    if (WaitWindowEvent(5) == EventCustomFirst + 3) ++loopTurns;  // the player's loop goes on
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) box = b;
  }
  if (!box) {
    // Released by the teardown, which answers every waiting box.
    worker.detach();
    CloseWindow(1);
    FAIL() << "the worker's box was never shown";
  }
  EXPECT_GT(loopTurns, 0);
  EXPECT_EQ(box->text(), QStringLiteral("Update?"));
  box->button(QMessageBox::No)->click();
  for (int i = 0; i < 400 && answer->load() == 0; ++i) WaitWindowEvent(5);
  worker.join();
  EXPECT_EQ(answer->load(), IdNo);
  setenv("CORVALE_DIALOGS", "stderr", 1);
  CloseWindow(1);
  PumpEvents(2);
}

}  // namespace
#endif

#ifdef _WIN32
namespace {

HWND WindowHandle(int window) {
  rt::WindowRecord* w = rt::FindWindow(window);
  return w ? w->hwnd : nullptr;
}

HWND GadgetHandle(int window, int gadget) {
  rt::Gadget* g = rt::FindGadget(window, gadget);
  return g ? g->hwnd : nullptr;
}

// A modifier held down as the thread's key state shows it while the posted keys are read.
class HeldKey {
 public:
  explicit HeldKey(int vk) : vk_(vk) { Set(0x80); }
  ~HeldKey() { Set(0); }

 private:
  void Set(BYTE state) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[vk_] = state;
    SetKeyboardState(keys);
  }
  int vk_;
};

void PostKey(HWND hwnd, int vk, bool up = false, bool repeat = false) {
  LPARAM lp = 1;
  if (up) lp |= (LPARAM(1) << 30) | (LPARAM(1) << 31);
  if (repeat) lp |= LPARAM(1) << 30;
  PostMessageW(hwnd, up ? WM_KEYUP : WM_KEYDOWN, static_cast<WPARAM>(vk), lp);
}

// Catches Ctrl+C reaching the text control's own copy instead of the window's shortcut,
// the context-menu key not mapped to its command, and a held key repeating the command.
TEST(Input, ShortcutsBecomeMenuEvents) {
  ASSERT_EQ(OpenWindow(6, 0, 0, 200, 100, "log", WindowCaption), 1);
  ASSERT_EQ(TextGadget(6, 22, 0, 0, 200, 80, "text"), 1);
  AddKeyboardShortcut(6, VkApps, 1);
  AddKeyboardShortcut(6, 'C' | ShortcutControl, 3);
  HWND text = GadgetHandle(6, 22);
  ASSERT_TRUE(text);
  Drain();
  {
    HeldKey control(VK_CONTROL);
    PostKey(text, 'C');
    EXPECT_EQ(WaitForEvent(EventMenu, 6, 3, 20), 1);
    PostKey(text, 'C', false, true);
    EXPECT_EQ(WaitForEvent(EventMenu, 6, 0, 5), 0);
  }
  PostKey(WindowHandle(6), VkApps);
  EXPECT_EQ(WaitForEvent(EventMenu, 6, 1, 20), 1);
  // A plain C is no shortcut.
  PostKey(text, 'C');
  EXPECT_EQ(WaitForEvent(EventMenu, 6, 0, 5), 0);
  RemoveKeyboardShortcut(6, -1);
  {
    HeldKey control(VK_CONTROL);
    PostKey(text, 'C');
    EXPECT_EQ(WaitForEvent(EventMenu, 6, 0, 5), 0);
  }
  CloseWindow(6);
  PumpEvents(2);
}

int gMediaKeys = 0;
int CountMediaKey(const WindowMessage& m) {
  if (m.kind == MsgMediaPlayPauseUp && m.key == VkMediaPlayPause) ++gMediaKeys;
  return 0;
}

// Catches the play/pause key release not reaching the window callback when a control of
// the window has the focus, or other keys taken for it.
TEST(Input, MediaKeyReleaseReachesCallbackOnce) {
  ASSERT_EQ(OpenWindow(3, 0, 0, 100, 100, "info", WindowCaption), 1);
  ASSERT_EQ(TextGadget(3, 2, 0, 0, 100, 50, "Now playing"), 1);
  SetWindowCallback(3, CountMediaKey);
  gMediaKeys = 0;
  PostKey(GadgetHandle(3, 2), VK_MEDIA_PLAY_PAUSE, true);
  PumpEvents(3);
  EXPECT_EQ(gMediaKeys, 1);
  PostKey(WindowHandle(3), 'A', true);
  PumpEvents(3);
  EXPECT_EQ(gMediaKeys, 1);
  CloseWindow(3);
  PumpEvents(2);
}

// Catches the close box closing the window itself instead of asking the player.
TEST(Input, CloseBoxIsARequest) {
  ASSERT_EQ(OpenWindow(2, 0, 0, 100, 100, "stats", WindowCaption | WindowSystemMenu), 1);
  Drain();
  HWND hwnd = WindowHandle(2);
  PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(WaitForEvent(EventCloseWindow, 2, 0, 20), 1);
  EXPECT_EQ(IsWindow(2), 1);
  EXPECT_TRUE(::IsWindowVisible(hwnd));
  CloseWindow(2);
  PumpEvents(2);
}

void PostMouse(HWND hwnd, UINT msg, int x, int y, WPARAM keys) { PostMessageW(hwnd, msg, keys, MAKELPARAM(x, y)); }

// Catches canvas clicks, drags and wheel notches reported wrongly (the volume slider
// depends on the position and the notch count).
TEST(Input, CanvasMouseEvents) {
  ASSERT_EQ(OpenWindow(4, 0, 0, 100, 200, "prefs", WindowCaption), 1);
  ASSERT_EQ(CanvasGadget(4, 10, 28, 36, 34, 170, 1), 1);
  HWND canvas = GadgetHandle(4, 10);
  ASSERT_TRUE(canvas);
  Drain();
  PostMouse(canvas, WM_LBUTTONDOWN, 5, 17, MK_LBUTTON);
  PostMouse(canvas, WM_MOUSEMOVE, 6, 40, MK_LBUTTON);
  PostMouse(canvas, WM_LBUTTONUP, 6, 40, 0);
  // The wheel names the pointer on the screen.
  POINT p{6, 40};
  ClientToScreen(canvas, &p);
  PostMessageW(canvas, WM_MOUSEWHEEL, MAKEWPARAM(0, 2 * WHEEL_DELTA), MAKELPARAM(p.x, p.y));
  PostMouse(canvas, WM_RBUTTONDOWN, 6, 40, MK_RBUTTON);
  PostMouse(canvas, WM_RBUTTONUP, 6, 40, 0);
  PumpEvents(1);
  ExpectPressDragReleaseWheelRightClick(CanvasClicks());
  CloseWindow(4);
  PumpEvents(2);
}

// Catches a busy main loop (a modal loop) collecting a burst of ticks of one timer.
TEST(Input, TimerHasAtMostOneTickWaiting) {
  ASSERT_EQ(OpenWindow(2, 0, 0, 40, 40, "stats", WindowInvisible), 1);
  Drain();
  ASSERT_EQ(AddWindowTimer(2, 1, 1), 1);
  // A modal loop of the system dispatches the timer's messages while the player's loop
  // does not take events.
  for (int i = 0; i < 30; ++i) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(5);
  }
  RemoveWindowTimer(2, 1);
  int ticks = 0;
  while (int ev = WaitWindowEvent(0))
    if (ev == EventTimer && EventObject() == 1) ++ticks;
  EXPECT_EQ(ticks, 1);
  CloseWindow(2);
  PumpEvents(2);
}

// A message box of this process on the screen, whoever's thread shows it.
HWND FindMessageBox(const wchar_t* caption) {
  struct Search {
    const wchar_t* caption;
    HWND found;
  } search{caption, nullptr};
  EnumWindows(
      [](HWND hwnd, LPARAM lp) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lp);
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        wchar_t cls[16] = {}, title[128] = {};
        GetClassNameW(hwnd, cls, 16);
        GetWindowTextW(hwnd, title, 128);
        if (pid == GetCurrentProcessId() && ::IsWindowVisible(hwnd) && wcscmp(cls, L"#32770") == 0 &&
            wcscmp(title, s->caption) == 0) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Catches a worker's message box that stops the main loop, or whose answer is lost.
TEST(Input, WorkerMessageBoxKeepsLoopRunning) {
  setenv("CORVALE_DIALOGS", "show", 1);
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless), 1);
  auto answer = std::make_shared<std::atomic<int>>(0);
  std::thread worker([answer]() { *answer = ShowMessageBox("Corvale Player Version Check", "Update?", MbYesNo, 1); });
  HWND box = nullptr;
  int loopTurns = 0;
  for (int i = 0; i < 2000 && !box; ++i) {
    PostEvent(EventCustomFirst + 3, 1, i);
    if (WaitWindowEvent(5) == EventCustomFirst + 3) ++loopTurns;  // the player's loop goes on
    box = FindMessageBox(L"Corvale Player Version Check");
  }
  if (!box) {
    // Released by the teardown, which answers every waiting box.
    worker.detach();
    CloseWindow(1);
    FAIL() << "the worker's box was never shown";
  }
  EXPECT_GT(loopTurns, 0);
  wchar_t text[64] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 64);  // a message box's text control
  EXPECT_STREQ(text, L"Update?");
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDNO)));
  for (int i = 0; i < 400 && answer->load() == 0; ++i) WaitWindowEvent(5);
  worker.join();
  EXPECT_EQ(answer->load(), IdNo);
  setenv("CORVALE_DIALOGS", "stderr", 1);
  CloseWindow(1);
  PumpEvents(2);
}

}  // namespace
#endif
