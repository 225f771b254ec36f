// What the shell's files (rt_menu.cpp, rt_taskbar.cpp, rt_dialog.cpp, rt_session.cpp)
// share among themselves; the rest of the runtime sees their section of rt_win.h.
#pragma once

#include "runtime/win/rt_win.h"

namespace rt {

// Registered window messages; 0 when registering failed (then never matched).
struct ShellMessageIds {
  UINT taskbarCreated = 0;        // Explorer (re)started: tray icons must be added again
  UINT taskbarButtonCreated = 0;  // a window's taskbar button exists: ITaskbarList3 may act on it
  UINT trayCallback = 0;          // the tray icons' clicks
  UINT popupMenu = 0;             // DisplayPopupMenu's menu, shown from the loop
};
const ShellMessageIds& ShellMessages();

// rt_menu.cpp: the tray callback and the deferred popup menu; the tray icons of a window
// added again after Explorer's restart, or removed when the window goes.
bool HandleMenuMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);
void AddTrayIconsAgain(HWND hwnd);
void ForgetTrayIcons(HWND hwnd);

// rt_taskbar.cpp: "TaskbarButtonCreated" and the thumb buttons' WM_COMMAND; the entry
// forgets a window that goes.
bool HandleTaskbarMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);
void ForgetTaskbarWindow(HWND hwnd);

// rt_dialog.cpp: the main thread's COM apartment (taskbar list, file dialog), kept until
// the teardown.
bool EnsureMainThreadCom();
void ReleaseMainThreadCom();

// The window handle of a window number (main thread); nullptr when there is none.
HWND HandleOfWindow(int window);

}  // namespace rt
