// The shell's entry points (menus, tray, taskbar, dialogs, session) as they are before
// its files are in: the windows and the event loop work without them. CMake builds this
// file only while win/rt_menu.cpp is missing.
#include "runtime/win/rt_win.h"

namespace rt {

void StartShell() {}
bool HandleShellMessage(HWND, UINT, WPARAM, LPARAM, LRESULT*) { return false; }
void TeardownMenusAndTray() {}
void TeardownDialogs() {}

}  // namespace rt
