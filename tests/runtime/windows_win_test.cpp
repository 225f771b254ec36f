// What only the Win32 windows have: the DPI awareness and its fallbacks, the DPI change
// message, the bridge that keeps the player's loop going through the system's modal
// loops, and the global hotkey's message.
#ifdef _WIN32
#include <windows.h>

#include <vector>

#include "runtime/win/rt_win.h"
#include "runtime_env.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0  // Windows 8.1; the Vista headers lack it
#endif

namespace {

HWND WindowHandle(int window) {
  rt::WindowRecord* w = rt::FindWindow(window);
  return w ? w->hwnd : nullptr;
}

std::vector<WindowMessage> gMessages;
float gScaleSeen = 0;  // the window's scale as its callback saw it
int Remember(const WindowMessage& m) {
  gMessages.push_back(m);
  gScaleSeen = WindowScale(m.window);
  return 0;
}

// The DPI the desktop is set to, read where Wine and Windows keep it: independent of the
// process's awareness, which would make every DPI query answer 96.
int DesktopDpi() {
  const struct {
    HKEY root;
    const wchar_t* key;
  } places[] = {{HKEY_CURRENT_USER, L"Control Panel\\Desktop"},
                {HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts"}};
  for (const auto& p : places) {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueW(p.root, p.key, L"LogPixels", RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS &&
        value > 0)
      return static_cast<int>(value);
  }
  return 96;
}

// Catches a process left DPI-unaware because the newest call was refused (Wine 8 refuses
// per-monitor V2) and no older one was tried: every window would be scaled as a bitmap.
TEST(Dpi, ProcessIsAware) { EXPECT_TRUE(IsProcessDPIAware()); }

// Catches scales that do not follow the desktop's DPI (144 gives 1.5: run under a Wine
// prefix with LogPixels 144 to see it) or that disagree between a window, a rectangle
// and the system.
TEST(Dpi, ScalesFollowTheDesktop) {
  const float expected = ScaleFromDpi(DesktopDpi());
  EXPECT_FLOAT_EQ(SystemScale(), expected) << DesktopDpi();
  ASSERT_EQ(OpenWindow(2, 40, 50, 120, 80, "Stats", WindowCaption | WindowInvisible), 1);
  EXPECT_FLOAT_EQ(WindowScale(2), expected);
  EXPECT_FLOAT_EQ(ScaleForRect(40, 50, 120, 80), expected);
  CloseWindow(2);
}

// Catches the suggested frame of a DPI change handed on as the client size, and a scale
// not updated before the callback runs (the player's layout reads it there).
TEST(Dpi, ChangeGivesClientSizeAndScale) {
  ASSERT_EQ(OpenWindow(3, 40, 50, 120, 80, "Info", WindowCaption | WindowSystemMenu | WindowSizeable), 1);
  SetWindowCallback(3, Remember);
  HWND hwnd = WindowHandle(3);
  RECT outer{}, client{};
  GetWindowRect(hwnd, &outer);
  GetClientRect(hwnd, &client);
  const int frameW = (outer.right - outer.left) - client.right, frameH = (outer.bottom - outer.top) - client.bottom;
  gMessages.clear();
  RECT suggested{100, 120, 100 + 180 + frameW, 120 + 120 + frameH};
  SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  ASSERT_EQ(gMessages.size(), 1u);
  const WindowMessage& m = gMessages[0];
  EXPECT_EQ(m.kind, MsgDpiChanged);
  EXPECT_EQ(m.window, 3);
  EXPECT_EQ(m.dpi, 144);
  EXPECT_EQ(m.x, 100);
  EXPECT_EQ(m.y, 120);
  EXPECT_EQ(m.width, 180);
  EXPECT_EQ(m.height, 120);
  EXPECT_FLOAT_EQ(gScaleSeen, 1.5f);
  CloseWindow(3);
  PumpEvents(2);
}

int gSteps = 0;
void CountStep() { ++gSteps; }

// The system's own loop (a window move, a menu): it dispatches, the player's loop waits.
void RunSystemLoop(int turns) {
  for (int i = 0; i < turns; ++i) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(5);
  }
}

// Catches the meter and the housekeeping standing still while the user moves a window or
// a menu is open, a hook that goes on after the modal loop ended, and the end of a move
// not reported to the window.
TEST(ModalLoop, HookRunsOnlyWhileTheSystemLoops) {
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowInvisible), 1);
  SetWindowCallback(1, Remember);
  SetModalLoopHook(CountStep);
  HWND hwnd = WindowHandle(1);
  struct Case {
    UINT enter, exit;
  };
  for (const Case c : {Case{WM_ENTERSIZEMOVE, WM_EXITSIZEMOVE}, Case{WM_ENTERMENULOOP, WM_EXITMENULOOP}}) {
    gSteps = 0;
    gMessages.clear();
    SendMessageW(hwnd, c.enter, 0, 0);
    for (int i = 0; i < 100 && gSteps < 2; ++i) RunSystemLoop(1);
    EXPECT_GE(gSteps, 2) << c.enter;
    SendMessageW(hwnd, c.exit, 0, 0);
    const int steps = gSteps;
    RunSystemLoop(20);
    EXPECT_EQ(gSteps, steps) << c.exit;
    const bool exitSeen = !gMessages.empty() && gMessages.back().kind == MsgExitSizeMove;
    EXPECT_EQ(exitSeen, c.exit == WM_EXITSIZEMOVE);
  }
  SetModalLoopHook(nullptr);
  CloseWindow(1);
  PumpEvents(2);
}

// Catches a hotkey registered for keys the player never asks for, twice under one id,
// or whose press does not reach the callback with its id and key.
TEST(Hotkey, PressReachesCallback) {
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowInvisible), 1);
  SetWindowCallback(1, Remember);
  EXPECT_EQ(RegisterHotkey(1, 7, 'A'), 0);
  EXPECT_EQ(RegisterHotkey(5, 7, VkMediaPlayPause), 0);  // no such window
  ASSERT_EQ(RegisterHotkey(1, 7, VkMediaPlayPause), 1);
  EXPECT_EQ(RegisterHotkey(1, 7, VkMediaPlayPause), 0);
  gMessages.clear();
  PostMessageW(WindowHandle(1), WM_HOTKEY, 7, MAKELPARAM(0, VK_MEDIA_PLAY_PAUSE));
  PumpEvents(2);
  ASSERT_EQ(gMessages.size(), 1u);
  EXPECT_EQ(gMessages[0].kind, MsgHotkey);
  EXPECT_EQ(gMessages[0].param, 7);
  EXPECT_EQ(gMessages[0].key, VkMediaPlayPause);
  UnregisterHotkey(1, 7);
  ASSERT_EQ(RegisterHotkey(1, 7, VkMediaPlayPause), 1);  // free again
  UnregisterHotkey(1, 7);
  CloseWindow(1);
  PumpEvents(2);
}

}  // namespace
#endif
