// What the desktop tells the main window on Win32: the end of the session, resume from
// standby, display and theme changes, Explorer's restart; and the shell's part of every
// window's messages.
#include <windows.h>

#include "runtime/rt_dialog_text.h"
#include "runtime/win/app_id.h"
#include "runtime/win/rt_shell.h"

namespace rt {

namespace {

// The taskbar groups the player's windows, and a pinned shortcut finds them, by this id.
constexpr const wchar_t* kAppUserModelId = CORVALE_APP_USER_MODEL_ID;

enum class ShellState { NotStarted, Started, Ended };
ShellState gShell = ShellState::NotStarted;  // main thread only

// Windows 7's call, looked up so that the program still starts on Vista.
void SetAppUserModelId() {
  using SetId = HRESULT(WINAPI*)(PCWSTR);
  HMODULE shell = GetModuleHandleW(L"shell32.dll");  // imported for the tray
  if (auto set = reinterpret_cast<SetId>(
          reinterpret_cast<void*>(GetProcAddress(shell, "SetCurrentProcessExplicitAppUserModelID"))))
    set(kAppUserModelId);
}

bool IsMainWindow(HWND hwnd) { return hwnd && hwnd == HandleOfWindow(1); }

void Tell(int kind) {
  WindowMessage m;
  m.kind = kind;
  m.window = 1;
  SendWindowMessage(1, m);
}

// The session ends: the player saves (MsgQueryEndSession came first) and leaves. Without
// a callback that handles it (start-up), a close request still ends the loop.
void EndSession() {
  WindowMessage m;
  m.kind = MsgEndSession;
  m.window = 1;
  m.param = 1;
  if (!SendWindowMessage(1, m)) PushEvent(EventCloseWindow, 1, 0, 0, 0, 0, 0, true);
}

}  // namespace

const ShellMessageIds& ShellMessages() {
  static const ShellMessageIds ids = [] {
    ShellMessageIds m;
    m.taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    m.taskbarButtonCreated = RegisterWindowMessageW(L"TaskbarButtonCreated");
    m.trayCallback = RegisterWindowMessageW(L"Corvale.TrayCallback");
    m.popupMenu = RegisterWindowMessageW(L"Corvale.PopupMenu");
    return m;
  }();
  return ids;
}

void StartShell() {
  if (gShell == ShellState::Started) return;
  gShell = ShellState::Started;
  OpenDialogs();
  SetAppUserModelId();
  // An elevated player still hears Explorer, which runs with less rights.
  const ShellMessageIds& ids = ShellMessages();
  if (ids.taskbarCreated) ChangeWindowMessageFilter(ids.taskbarCreated, MSGFLT_ADD);
  if (ids.taskbarButtonCreated) ChangeWindowMessageFilter(ids.taskbarButtonCreated, MSGFLT_ADD);
}

void TeardownSession() {
  ReleaseMainThreadCom();
  gShell = ShellState::Ended;
}

bool HandleShellMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  // Started by the first window's first message when RuntimeInit did not; never again
  // after the teardown, whose closing windows still send their messages here.
  if (gShell == ShellState::NotStarted) StartShell();
  switch (msg) {
    case WM_QUERYENDSESSION:
      if (!IsMainWindow(hwnd)) return false;
      Tell(MsgQueryEndSession);
      *result = TRUE;
      return true;
    case WM_ENDSESSION:
      if (!IsMainWindow(hwnd)) return false;
      if (wp) EndSession();
      *result = 0;
      return true;
    case WM_POWERBROADCAST:
      if (!IsMainWindow(hwnd)) return false;
      // Windows waits for the answer (about 2 s at most) before it sleeps; the stream is
      // stopped from the player's queue meanwhile.
      if (wp == PBT_APMSUSPEND) {
        Tell(MsgSuspend);
        *result = TRUE;
        return true;
      }
      // Sent on every resume; PBT_APMRESUMESUSPEND follows only when a user is there.
      if (wp != PBT_APMRESUMEAUTOMATIC) return false;
      Tell(MsgResume);
      *result = TRUE;
      return true;
    case WM_DISPLAYCHANGE:
      if (IsMainWindow(hwnd)) Tell(MsgDisplayChanged);
      return false;
    case WM_SETTINGCHANGE:
      // A taskbar moved or resized changes the work area: the windows may need to move.
      if (wp == SPI_SETWORKAREA && IsMainWindow(hwnd)) Tell(MsgDisplayChanged);
      return false;
    case WM_THEMECHANGED:
      if (IsMainWindow(hwnd)) Tell(MsgThemeChanged);
      return false;
    case WM_DESTROY:
      ForgetTrayIcons(hwnd);
      ForgetTaskbarWindow(hwnd);
      return false;
    default:
      break;
  }
  const ShellMessageIds& ids = ShellMessages();
  if (ids.taskbarCreated && msg == ids.taskbarCreated) {
    // Explorer started again: it has forgotten the icons, and the player hears of it.
    AddTrayIconsAgain(hwnd);
    if (IsMainWindow(hwnd)) Tell(MsgTaskbarCreated);
    *result = 0;
    return true;
  }
  return HandleMenuMessage(hwnd, msg, wp, lp, result) || HandleTaskbarMessage(hwnd, msg, wp, lp, result);
}

}  // namespace rt

// Windows holds no lock for the player's stop; the network comes from the platform.
void AllowSleep() {}

// The power messages always come; the network is the platform's to follow.
int SystemWatchState() { return SystemSleepWatched; }
