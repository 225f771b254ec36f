// Shared state of the Win32 runtime's files. Win32 types live here and in win/*.cpp
// only; the player sees runtime.h. Each file owns one section below.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/rt_shared.h"
#include "runtime/runtime.h"

namespace rt {

// --- Text (rt_text.cpp) -----------------------------------------------------------------
// UTF-8 <-> UTF-16; invalid input never fails (replacement characters).
std::wstring Wide(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// --- Surfaces (rt_surface.cpp) ------------------------------------------------------------
// A 32-bit top-down DIB section: premultiplied BGRA pixels that software drawing reaches
// through `pixels` and GDI (text, BitBlt/AlphaBlend to the screen) through `bitmap`.
// Images, canvases and windows' own surfaces are all surfaces.
struct Surface {
  HBITMAP bitmap = nullptr;
  uint32_t* pixels = nullptr;  // width * height values 0xAARRGGBB, premultiplied
  int width = 0, height = 0;
  Surface() = default;
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;
  ~Surface();
};
// A new surface, fully transparent (all zero); nullptr when the size is not positive or
// the memory cannot be had.
std::shared_ptr<Surface> CreateSurface(int width, int height);
// Gives `surface` the size width x height (at least 1 x 1), keeping the top-left content
// and filling what is new with `fill` (0xAARRGGBB premultiplied: canvases white, windows
// their background). Nothing happens when the size is already right. false when the
// memory cannot be had (the old surface is then kept).
bool EnsureSurface(std::shared_ptr<Surface>& surface, int width, int height, uint32_t fill);
// 0xAARRGGBB straight <-> premultiplied.
uint32_t Premultiply(uint32_t argb);
uint32_t Unpremultiply(uint32_t premultiplied);
// A copy of `source` smoothly scaled to width x height (area average when shrinking,
// bilinear when growing; a flat colour stays exactly that colour); nullptr on failure.
std::shared_ptr<Surface> ScaleSurface(const Surface& source, int width, int height);

// --- Images and fonts (rt_image.cpp, rt_font.cpp) -------------------------------------------
// Images are shared so that a drawing or a reader keeps its copy alive while another
// thread frees the number. depth: 24 (opaque) or 32.
std::shared_ptr<Surface> GetImage(int image, int* depth = nullptr);
// Keeps `surface` as image `image` (ImageAny: a fresh handle), e.g. a window's grab;
// returns the number or 0. A 24-bit image's pixels must be opaque.
int StoreImage(int image, std::shared_ptr<Surface> surface, int depth);
// The GDI font of a font handle; font 0 (or an unknown one) gives the default UI font.
HFONT GetFontHandle(int font);
// The same font held alive for as long as a drawing uses it, even when another thread
// frees its number meanwhile.
struct FontObject {
  HFONT handle = nullptr;
  int pixelSize = 0;
  FontObject() = default;
  FontObject(const FontObject&) = delete;
  FontObject& operator=(const FontObject&) = delete;
  ~FontObject();
};
std::shared_ptr<FontObject> GetFont(int font);
// rt_font.cpp's part of TeardownImagesAndFonts.
void TeardownFonts();

// --- Windows and controls (rt_window.cpp) ----------------------------------------------------
enum class GadgetKind { Text, Button, Canvas, Progress, String, List };

struct Gadget {
  GadgetKind kind = GadgetKind::Canvas;
  HWND hwnd = nullptr;
  std::string text;  // text as last set (text and button controls)
  int64_t background = -1, foreground = -1;
  int font = 0;
  std::shared_ptr<Surface> surface;  // canvas: its persistent image
  bool mouseInside = false;
  bool takesFocus = false;               // canvas: a click gives it the keyboard focus
  int wheelRemainder = 0;                // canvas: wheel units short of a whole notch
  int cursor = CursorDefault;
  HBRUSH brush = nullptr;                // background of a coloured text or button
  std::shared_ptr<FontObject> fontObject;  // keeps the control's HFONT alive
  ListCellText cellText = nullptr;       // list: where the cells' texts come from
  int listColumns = 0;                   // list: columns added
  bool quiet = false;                    // the runtime's own change: no event for it
};

struct WindowRecord {
  int number = 0;
  HWND hwnd = nullptr;
  WindowCallback callback = nullptr;
  std::map<int, Gadget> gadgets;
  std::map<int, bool> timerPending;  // a tick is queued and not yet taken
  std::map<int, int> shortcuts;      // key|modifiers -> menu command
  std::shared_ptr<Surface> surface;  // the window's own surface behind its controls
  uint32_t background = 0;           // 0xRRGGBB
  float scale = 1.0f;
  int dpi = 96;
  int flags = 0;                     // WindowFlag bits it was opened with
  std::set<int> timers;              // the player's timers running on it
  int state = WindowNormal;          // as last reported by minimise/restore events
  int clientWidth = 0, clientHeight = 0;  // as last reported by a size event
  bool inSizeMove = false, inMenuLoop = false;  // a modal loop of its own runs
};

// Window table; main thread only (IsWindow and IsGadget read a copy of the numbers).
extern std::map<int, WindowRecord> gWindows;
WindowRecord* FindWindow(int window);
Gadget* FindGadget(int window, int gadget);
WindowRecord* WindowOfHandle(HWND hwnd);
// Delivers a message to a window's callback; returns the callback's answer (0 without one).
int SendWindowMessage(int window, WindowMessage message);
// Shows what was drawn into a canvas or a window's surface: the rectangles given, or the
// whole target when count is 0 (gadget 0 = the window's own surface).
void RefreshDrawing(int window, int gadget, const RECT* rects, int count);
// Makes a child control of class `cls` as control `gadget` of `window`, replacing one of
// that number; nullptr when the window is missing or the control cannot be made.
Gadget* CreateGadgetWindow(int window, int gadget, GadgetKind kind, const wchar_t* cls, DWORD style,
                           const std::wstring& text, int x, int y, int width, int height);
// The list control's notifications to its window (rt_list.cpp); true when handled.
bool HandleListNotify(int window, const NMHDR* header, LRESULT* result);
// The list control's share of SetGadgetColors.
void ApplyListColors(Gadget& g);
// Timers: a tick is queued as EventTimer unless one is still waiting (like WM_TIMER).
void TimerTick(int window, int timerId);
// Registers the window classes and makes the process DPI aware (RuntimeInit).
void StartWindows();
// The message pump's accelerator step: a key of a window's shortcut becomes EventMenu
// (true: swallowed), and the play/pause key's release reaches the window's callback.
bool TranslateShortcut(const MSG& msg);

// --- The main thread and modal loops (rt_core.cpp) -------------------------------------------
bool OnMainThread();
// Work handed to the main thread by another thread (SetGadgetText from a worker, a
// dialog): runs soon inside WaitWindowEvent or a modal loop, at the latest in the
// teardown. false when the runtime is not running: nothing was queued, the caller still
// owns `context`.
bool RunOnMainThread(void (*work)(void*), void* context);
// A modal loop (a window moved or sized by the user, a popup menu, a message box) keeps
// the main thread from WaitWindowEvent: between Begin and End the player's modal-loop
// hook (SetModalLoopHook) runs from a timer. Nested calls count; main thread only.
void BeginModalLoop();
void EndModalLoop();

// Parts started by RuntimeInit and stopped by RuntimeTeardown, each in its own file.
void TeardownWindows();
void TeardownImagesAndFonts();
void TeardownMenusAndTray();
void TeardownDialogs();

// --- The shell (rt_menu.cpp, rt_taskbar.cpp, rt_dialog.cpp, rt_session.cpp) -----------------
// RuntimeInit calls StartShell (the dialogs open; the application id is set before any
// window shows; harmless twice, and the first shell message starts it too). The teardown
// calls TeardownDialogs first (a worker may be waiting for its box; the main thread keeps
// taking messages until the boxes are gone) and TeardownMenusAndTray before the windows
// close (it also lets go of the taskbar entry).
void StartShell();
// The window procedure asks this first for every message of a runtime window: tray clicks,
// "TaskbarCreated", "TaskbarButtonCreated", thumb-button clicks (WM_COMMAND with
// THBN_CLICKED), the end of the session, resume, display and theme changes, and the popup
// menu that DisplayPopupMenu left for the loop. true: handled, *result is the answer;
// false: go on with the message (the shell may have looked at it: WM_DESTROY, and
// WM_DISPLAYCHANGE/WM_THEMECHANGED, whose window-1 callback message it has sent already).
bool HandleShellMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);
// A straight-alpha icon of size x size from an image (tray, taskbar buttons); nullptr when
// the image is missing.
HICON MakeIconOfImage(int image, int size);
// What the taskbar was asked for, one line per call in order; tests read it because the
// shell under Wine accepts every call and shows nothing. Turning it on clears it.
void RecordTaskbarCalls(bool on);
std::vector<std::string> RecordedTaskbarCalls();
// rt_taskbar.cpp's and rt_session.cpp's parts of TeardownMenusAndTray.
void TeardownTaskbarEntry();
void TeardownSession();

}  // namespace rt
