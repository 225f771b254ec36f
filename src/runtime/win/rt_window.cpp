// Numbered windows of the Win32 runtime and their controls. Each window keeps its own
// surface behind its controls and each canvas its own picture; both are painted from
// those surfaces. Also keyboard shortcuts, the global hotkey, the instance marker, DPI
// awareness and scales, the screens and the mouse.
#include <windows.h>

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/platform.h"
#include "runtime/win/rt_win.h"

// Newer than the Vista headers the build targets; the systems that lack them never send
// or refuse them.
#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif
#ifndef MOD_NOREPEAT
#define MOD_NOREPEAT 0x4000
#endif

namespace rt {

std::map<int, WindowRecord> gWindows;

namespace {

constexpr wchar_t kWindowClass[] = L"CorvaleWindow";
constexpr wchar_t kCanvasClass[] = L"CorvaleCanvas";
// The runtime's own message and timer on a window, beside the player's small timer ids.
constexpr UINT kPaintLater = WM_APP + 0x41;
constexpr UINT_PTR kMarkerTimer = 0x7FFF0001;
constexpr UINT kMarkerPollMs = 100;
constexpr int kWheelNotch = 120;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }


// --- DPI ------------------------------------------------------------------------------------
// Everything newer than Vista is looked up at run time, so one program runs on all.

using DpiContext = HANDLE;
const DpiContext kPerMonitorV2 = reinterpret_cast<DpiContext>(-4);
const DpiContext kPerMonitor = reinterpret_cast<DpiContext>(-3);
constexpr int kProcessPerMonitorAware = 2;
constexpr int kEffectiveDpi = 0;

struct DpiApi {
  BOOL(WINAPI* setContext)(DpiContext) = nullptr;                         // user32, Windows 10 1703
  HRESULT(WINAPI* setAwareness)(int) = nullptr;                           // shcore, Windows 8.1
  BOOL(WINAPI* setAware)() = nullptr;                                     // user32, Vista
  UINT(WINAPI* forWindow)(HWND) = nullptr;                                // user32, Windows 10 1607
  UINT(WINAPI* forSystem)() = nullptr;                                    // user32, Windows 10 1607
  HRESULT(WINAPI* forMonitor)(HMONITOR, int, UINT*, UINT*) = nullptr;     // shcore, Windows 8.1
  BOOL(WINAPI* adjustForDpi)(RECT*, DWORD, BOOL, DWORD, UINT) = nullptr;  // user32, Windows 10 1607
};
DpiApi gDpi;
bool gDpiLoaded = false;
// The frame follows the DPI only under per-monitor V2; the other modes keep its size.
bool gScaledFrames = false;

template <typename F>
void Resolve(F& f, HMODULE module, const char* name) {
  f = module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

void LoadDpiApi() {
  if (gDpiLoaded) return;
  gDpiLoaded = true;
  HMODULE user = GetModuleHandleW(L"user32.dll");
  // shcore.dll (8.1 and later) stays loaded for the life of the process; only System32's.
  HMODULE shcore = LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  Resolve(gDpi.setContext, user, "SetProcessDpiAwarenessContext");
  Resolve(gDpi.setAware, user, "SetProcessDPIAware");
  Resolve(gDpi.forWindow, user, "GetDpiForWindow");
  Resolve(gDpi.forSystem, user, "GetDpiForSystem");
  Resolve(gDpi.adjustForDpi, user, "AdjustWindowRectExForDpi");
  Resolve(gDpi.setAwareness, shcore, "SetProcessDpiAwareness");
  Resolve(gDpi.forMonitor, shcore, "GetDpiForMonitor");
}

// Per monitor where the system offers it, each step falling back to the one before it:
// Wine 8 refuses V2 with ERROR_INVALID_PARAMETER. A manifest that set the mode already
// wins (access denied).
void SetDpiAwareness() {
  static bool done = false;
  if (done) return;
  done = true;
  LoadDpiApi();
  if (gDpi.setContext) {
    if (gDpi.setContext(kPerMonitorV2)) {
      gScaledFrames = true;
      return;
    }
    if (GetLastError() == ERROR_ACCESS_DENIED || gDpi.setContext(kPerMonitor)) return;
  }
  if (gDpi.setAwareness) {
    const HRESULT hr = gDpi.setAwareness(kProcessPerMonitorAware);
    if (SUCCEEDED(hr) || hr == E_ACCESSDENIED) return;
  }
  if (gDpi.setAware) gDpi.setAware();
}

int SystemDpi() {
  LoadDpiApi();
  if (gDpi.forSystem) {
    if (const UINT dpi = gDpi.forSystem()) return static_cast<int>(dpi);
  }
  HDC dc = GetDC(nullptr);
  const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
  if (dc) ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

int MonitorDpi(HMONITOR monitor) {
  LoadDpiApi();
  UINT x = 0, y = 0;
  if (gDpi.forMonitor && monitor && SUCCEEDED(gDpi.forMonitor(monitor, kEffectiveDpi, &x, &y)) && y > 0)
    return static_cast<int>(y);
  return SystemDpi();
}

int WindowDpi(HWND hwnd) {
  LoadDpiApi();
  if (gDpi.forWindow) {
    if (const UINT dpi = gDpi.forWindow(hwnd)) return static_cast<int>(dpi);
  }
  return MonitorDpi(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST));
}

HMONITOR MonitorOfRect(int x, int y, int width, int height) {
  const RECT r{x, y, x + std::max(width, 1), y + std::max(height, 1)};
  return MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST);
}

// --- Frames ---------------------------------------------------------------------------------

void StylesFor(int flags, DWORD* style, DWORD* exStyle) {
  // The window paints its surface; the controls paint themselves.
  DWORD s = WS_CLIPCHILDREN;
  if (flags & WindowBorderless) {
    s |= WS_POPUP;
  } else if (flags & (WindowCaption | WindowSystemMenu)) {
    s |= WS_CAPTION;
    if (flags & WindowSizeable) s |= WS_THICKFRAME;
  } else {
    // A window without WS_POPUP would get a caption whether asked for or not.
    s |= WS_POPUP | ((flags & WindowSizeable) ? WS_THICKFRAME : WS_BORDER);
  }
  // Borderless too: the taskbar entry's menu and the minimising come from these.
  if (flags & WindowSystemMenu) s |= WS_SYSMENU;
  if (flags & WindowMinimizeBox) s |= WS_MINIMIZEBOX;
  if (flags & WindowMaximizeBox) s |= WS_MAXIMIZEBOX;
  *style = s;
  *exStyle = (flags & WindowToolWindow) ? WS_EX_TOOLWINDOW : 0;
}

// The frame's share of the outer size (outer minus client) of a window in its normal state.
SIZE FrameExtra(HWND hwnd) {
  RECT outer{}, client{};
  GetWindowRect(hwnd, &outer);
  GetClientRect(hwnd, &client);
  return {(outer.right - outer.left) - client.right, (outer.bottom - outer.top) - client.bottom};
}

// The same from the styles alone, for a window that has no normal-state size to measure;
// dpi 0: the frame that does not follow the DPI.
SIZE FrameExtraOfStyles(DWORD style, DWORD ex, int dpi) {
  RECT r{0, 0, 0, 0};
  if (gDpi.adjustForDpi && dpi > 0)
    gDpi.adjustForDpi(&r, style, FALSE, ex, static_cast<UINT>(dpi));
  else
    AdjustWindowRectEx(&r, style, FALSE, ex);
  return {r.right - r.left, r.bottom - r.top};
}

SIZE EstimatedFrameExtra(HWND hwnd, int dpi) {
  return FrameExtraOfStyles(static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE)),
                            static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE)), dpi);
}

// rcNormalPosition counts from the work area unless the window is a tool window.
POINT WorkspaceOffset(HWND hwnd) {
  if (GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) return {0, 0};
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  if (!GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &mi)) return {0, 0};
  return {mi.rcWork.left - mi.rcMonitor.left, mi.rcWork.top - mi.rcMonitor.top};
}

// The frame a minimised or maximised window gets back when restored, on the screen.
RECT NormalFrame(HWND hwnd) {
  WINDOWPLACEMENT wp{};
  wp.length = sizeof wp;
  GetWindowPlacement(hwnd, &wp);
  const POINT o = WorkspaceOffset(hwnd);
  OffsetRect(&wp.rcNormalPosition, o.x, o.y);
  return wp.rcNormalPosition;
}

void SetNormalFrame(HWND hwnd, RECT frame) {
  WINDOWPLACEMENT wp{};
  wp.length = sizeof wp;
  GetWindowPlacement(hwnd, &wp);
  const POINT o = WorkspaceOffset(hwnd);
  OffsetRect(&frame, -o.x, -o.y);
  wp.rcNormalPosition = frame;
  wp.flags = 0;
  // Only the restored frame changes: the state and the activation stay as they are.
  if (!IsWindowVisible(hwnd))
    wp.showCmd = SW_HIDE;
  else if (IsIconic(hwnd))
    wp.showCmd = SW_SHOWMINNOACTIVE;
  else
    wp.showCmd = SW_SHOWMAXIMIZED;
  SetWindowPlacement(hwnd, &wp);
}

// --- Surfaces on screen -------------------------------------------------------------------------

constexpr uint32_t kOpaque = 0xFF000000u;
constexpr uint32_t kCanvasFill = 0xFFFFFFFFu;  // a new canvas is white

COLORREF ColorRef(uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

void PaintSurface(HWND hwnd, const Surface* surface, uint32_t fillRgb) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  if (!dc) return;
  const RECT r = ps.rcPaint;
  int coveredW = 0, coveredH = 0;
  if (surface && surface->bitmap) {
    // Text drawn by GDI into the surface may still be queued.
    GdiFlush();
    HDC mem = CreateCompatibleDC(dc);
    HGDIOBJ old = mem ? SelectObject(mem, surface->bitmap) : nullptr;
    if (old) {
      coveredW = surface->width;
      coveredH = surface->height;
      BitBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, mem, r.left, r.top, SRCCOPY);
      SelectObject(mem, old);
    }
    if (mem) DeleteDC(mem);
  }
  // What the surface does not reach yet (a size change on its way) shows the fill.
  if (r.right > coveredW || r.bottom > coveredH) {
    HBRUSH brush = CreateSolidBrush(ColorRef(fillRgb));
    const RECT right{std::max<LONG>(r.left, coveredW), r.top, r.right, r.bottom};
    const RECT below{r.left, std::max<LONG>(r.top, coveredH), r.right, r.bottom};
    if (right.left < right.right) FillRect(dc, &right, brush);
    if (below.top < below.bottom) FillRect(dc, &below, brush);
    DeleteObject(brush);
  }
  EndPaint(hwnd, &ps);
}

// Copies `source` (or its top-left part) into `target` at (x, y), clipped, opaque.
void CopyOpaque(Surface& target, int x, int y, const Surface& source, int width, int height) {
  width = std::min(width, source.width);
  height = std::min(height, source.height);
  for (int sy = std::max(0, -y); sy < height && y + sy < target.height; ++sy) {
    const uint32_t* from = source.pixels + static_cast<size_t>(sy) * source.width;
    uint32_t* to = target.pixels + static_cast<size_t>(y + sy) * target.width;
    for (int sx = std::max(0, -x); sx < width && x + sx < target.width; ++sx) to[x + sx] = from[sx] | kOpaque;
  }
}

// --- Controls ------------------------------------------------------------------------------

Gadget* GadgetOfHandle(WindowRecord* w, HWND hwnd, int* number = nullptr) {
  if (!w || !hwnd) return nullptr;
  for (auto& [n, g] : w->gadgets) {
    if (g.hwnd == hwnd) {
      if (number) *number = n;
      return &g;
    }
  }
  return nullptr;
}

void DestroyGadget(Gadget& g) {
  if (g.hwnd) DestroyWindow(g.hwnd);
  g.hwnd = nullptr;
  if (g.brush) DeleteObject(g.brush);
  g.brush = nullptr;
}

// Line ends as the player writes them (CR LF); the edit control breaks lines at CR LF only.
std::wstring DisplayText(const std::string& text) {
  std::wstring in = Wide(text), out;
  out.reserve(in.size() + 16);
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == L'\r' || in[i] == L'\n') {
      out += L"\r\n";
      if (in[i] == L'\r' && i + 1 < in.size() && in[i + 1] == L'\n') ++i;
    } else {
      out += in[i];
    }
  }
  return out;
}

// The edit control shows a needed scroll bar by itself but leaves an unneeded one on
// screen (disabled); like the other systems' text views, the bar is there only when needed.
// true when the bar is shown.
bool FitTextScrollBar(const Gadget& g) {
  if (g.kind != GadgetKind::Text || !g.hwnd) return false;
  ShowScrollBar(g.hwnd, SB_VERT, FALSE);
  const int lines = static_cast<int>(SendMessageW(g.hwnd, EM_GETLINECOUNT, 0, 0));
  RECT format{};
  SendMessageW(g.hwnd, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
  TEXTMETRICW tm{};
  HDC dc = GetDC(g.hwnd);
  HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(g.hwnd, WM_GETFONT, 0, 0));
  HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
  GetTextMetricsW(dc, &tm);
  if (old) SelectObject(dc, old);
  ReleaseDC(g.hwnd, dc);
  // The control lays out whole lines of tmHeight from the top of its format rectangle.
  const bool needed = lines * std::max<LONG>(tm.tmHeight, 1) > format.bottom - format.top;
  if (needed) ShowScrollBar(g.hwnd, SB_VERT, TRUE);
  return needed;
}

COLORREF Mix(COLORREF a, COLORREF b, int percentB) {
  auto ch = [&](int shift) {
    const int x = (a >> shift) & 0xFF, y = (b >> shift) & 0xFF;
    return static_cast<COLORREF>((x * (100 - percentB) + y * percentB + 50) / 100) << shift;
  };
  return ch(0) | ch(8) | ch(16);
}

// A button with the player's colours (the system's buttons ignore them).
void DrawColouredButton(const Gadget& g, const DRAWITEMSTRUCT& di) {
  HDC dc = di.hDC;
  RECT r = di.rcItem;
  const COLORREF bg = g.background >= 0 ? ColorRef(static_cast<uint32_t>(g.background)) : GetSysColor(COLOR_BTNFACE);
  const COLORREF fg = g.foreground >= 0 ? ColorRef(static_cast<uint32_t>(g.foreground)) : GetSysColor(COLOR_BTNTEXT);
  const bool pressed = di.itemState & ODS_SELECTED;
  HBRUSH fill = CreateSolidBrush(pressed ? Mix(bg, fg, 20) : bg);
  FillRect(dc, &r, fill);
  DeleteObject(fill);
  HBRUSH frame = CreateSolidBrush(Mix(bg, fg, 50));
  FrameRect(dc, &r, frame);
  DeleteObject(frame);
  HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(di.hwndItem, WM_GETFONT, 0, 0));
  HGDIOBJ oldFont = font ? SelectObject(dc, font) : nullptr;
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, (di.itemState & ODS_DISABLED) ? Mix(bg, fg, 40) : fg);
  if (pressed) OffsetRect(&r, 1, 1);
  const std::wstring text = Wide(g.text);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  if (oldFont) SelectObject(dc, oldFont);
  if (di.itemState & ODS_FOCUS) {
    InflateRect(&r, -3, -3);
    DrawFocusRect(dc, &r);
  }
}

void ApplyGadgetColors(Gadget& g) {
  if (g.brush) DeleteObject(g.brush);
  g.brush = g.background >= 0 ? CreateSolidBrush(ColorRef(static_cast<uint32_t>(g.background))) : nullptr;
  if (g.kind == GadgetKind::Button) {
    const LONG_PTR style = GetWindowLongPtrW(g.hwnd, GWL_STYLE);
    const bool coloured = g.background >= 0 || g.foreground >= 0;
    SetWindowLongPtrW(g.hwnd, GWL_STYLE, (style & ~LONG_PTR(BS_TYPEMASK)) | (coloured ? BS_OWNERDRAW : BS_PUSHBUTTON));
  } else if (g.kind == GadgetKind::List) {
    ApplyListColors(g);
  } else if (g.kind == GadgetKind::Progress) {
    if (g.background >= 0) SendMessageW(g.hwnd, PBM_SETBKCOLOR, 0, ColorRef(static_cast<uint32_t>(g.background)));
    if (g.foreground >= 0) SendMessageW(g.hwnd, PBM_SETBARCOLOR, 0, ColorRef(static_cast<uint32_t>(g.foreground)));
  }
  InvalidateRect(g.hwnd, nullptr, TRUE);
}

LRESULT ControlColors(WindowRecord* w, UINT msg, HDC dc, HWND control) {
  Gadget* g = GadgetOfHandle(w, control);
  if (!g || (g->background < 0 && g->foreground < 0 && g->kind != GadgetKind::Text)) return -1;
  if (g->foreground >= 0) SetTextColor(dc, ColorRef(static_cast<uint32_t>(g->foreground)));
  if (g->brush) {
    SetBkColor(dc, ColorRef(static_cast<uint32_t>(g->background)));
    return reinterpret_cast<LRESULT>(g->brush);
  }
  // A read-only edit would be grey; text views are white like editable ones.
  const int sys = g->kind == GadgetKind::Text ? COLOR_WINDOW : COLOR_BTNFACE;
  SetBkColor(dc, GetSysColor(sys));
  return reinterpret_cast<LRESULT>(GetSysColorBrush(sys));
}

// --- Keys, hotkeys, the instance marker --------------------------------------------------------

// Keys whose press was a shortcut: their release is not the controls' either.
std::set<int> gSwallowedKeys;

int ModifierBits() {
  int bits = 0;
  if (GetKeyState(VK_SHIFT) & 0x8000) bits |= ShortcutShift;
  if (GetKeyState(VK_CONTROL) & 0x8000) bits |= ShortcutControl;
  if (GetKeyState(VK_MENU) & 0x8000) bits |= ShortcutAlt;
  return bits;
}

struct Hotkey {
  int window = 0, id = 0;
};
std::vector<Hotkey> gHotkeys;

struct Marker {
  int window = 0;
  int listener = -1;
  std::wstring property;
};
Marker gMarker;

void PollInstanceMarker() {
  if (gMarker.listener < 0) return;
  std::vector<int> commands;
  const int raises = InstanceListenerRead(gMarker.listener, &commands);
  const int window = gMarker.window;
  if (!FindWindow(window)) return;
  // Commands handed over arrive as the window's menu commands, without raising it.
  for (int command : commands) PushEvent(EventMenu, window, command, 0, 0, 0, 0, false);
  if (raises <= 0) return;
  // Another start asked for us: restore and bring the marked window to the front.
  SetWindowState(window, WindowNormal);
  ActivateWindowNumber(window);
}

void UnregisterHotkeysOf(int window) {
  for (size_t i = gHotkeys.size(); i-- > 0;)
    if (gHotkeys[i].window == window) UnregisterHotkey(window, gHotkeys[i].id);
}

// --- Window procedures ----------------------------------------------------------------------

void PushGadget(int window, int gadget, int type, int x, int y, int data = 0) {
  PushEvent(EventGadget, window, gadget, type, data, x, y, false);
}

void CanvasLeave(int window, int gadget, Gadget& g) {
  if (!g.mouseInside) return;
  g.mouseInside = false;
  g.wheelRemainder = 0;
  PushGadget(window, gadget, GadgetMouseLeave, -1, -1);
}

LRESULT CALLBACK CanvasProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE)
    SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  const LONG_PTR id = GetWindowLongPtrW(hwnd, GWLP_USERDATA);
  const int window = static_cast<int>(id >> 16), gadget = static_cast<int>(id & 0xFFFF);
  Gadget* g = FindGadget(window, gadget);
  if (!g || g->hwnd != hwnd) return DefWindowProcW(hwnd, msg, wp, lp);
  const int x = GET_X_LPARAM(lp), y = GET_Y_LPARAM(lp);
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      PaintSurface(hwnd, g->surface.get(), kCanvasFill & 0xFFFFFF);
      return 0;
    case WM_SIZE:
      EnsureSurface(g->surface, LOWORD(lp), HIWORD(lp), kCanvasFill);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      // The release comes here even outside, as the drag of a slider needs.
      SetCapture(hwnd);
      if (g->takesFocus) SetFocus(hwnd);
      PushGadget(window, gadget, msg == WM_LBUTTONDOWN ? GadgetLeftButtonDown : GadgetLeftDoubleClick, x, y);
      return 0;
    case WM_LBUTTONUP: {
      if (GetCapture() == hwnd) ReleaseCapture();
      PushGadget(window, gadget, GadgetLeftButtonUp, x, y);
      RECT client;
      GetClientRect(hwnd, &client);
      if (PtInRect(&client, POINT{x, y}))
        PushGadget(window, gadget, GadgetLeftClick, x, y);
      else if (Gadget* again = FindGadget(window, gadget))
        CanvasLeave(window, gadget, *again);  // the leave that the drag held back
      return 0;
    }
    case WM_RBUTTONUP:
      PushGadget(window, gadget, GadgetRightClick, x, y);
      break;  // the default makes it the window's context-menu request too
    case WM_MOUSEMOVE: {
      RECT client;
      GetClientRect(hwnd, &client);
      if (PtInRect(&client, POINT{x, y})) {
        if (!g->mouseInside) {
          g->mouseInside = true;
          PushGadget(window, gadget, GadgetMouseEnter, x, y);
        }
        // Re-armed on every move: a leave during a drag ended the last request.
        TRACKMOUSEEVENT tme{sizeof tme, TME_LEAVE, hwnd, 0};
        TrackMouseEvent(&tme);
      }
      if (wp & MK_LBUTTON) PushGadget(window, gadget, GadgetMouseMove, x, y);
      return 0;
    }
    case WM_MOUSELEAVE:
      // While a drag holds the mouse the leave waits for the release.
      if (GetCapture() != hwnd) CanvasLeave(window, gadget, *g);
      return 0;
    case WM_MOUSEWHEEL: {
      // Whole notches; touchpads send smaller steps that add up.
      g->wheelRemainder += GET_WHEEL_DELTA_WPARAM(wp);
      const int notches = g->wheelRemainder / kWheelNotch;
      g->wheelRemainder -= notches * kWheelNotch;
      POINT p{x, y};
      ScreenToClient(hwnd, &p);
      if (notches != 0) PushGadget(window, gadget, GadgetMouseWheel, p.x, p.y, notches);
      return 0;
    }
    case WM_SETFOCUS:
      PushGadget(window, gadget, GadgetFocus, 0, 0);
      return 0;
    case WM_KILLFOCUS:
      PushGadget(window, gadget, GadgetLostFocus, 0, 0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

int SysCommandOf(WPARAM wp) {
  switch (wp & 0xFFF0) {
    case SC_MAXIMIZE:
      return SysCmdMaximize;
    case SC_SIZE:
      return SysCmdSize;
    case SC_MINIMIZE:
      return SysCmdMinimize;
    case SC_RESTORE:
      return SysCmdRestore;
    case SC_CLOSE:
      return SysCmdClose;
    case SC_MOVE:
      return SysCmdMove;
    default:
      return 0;
  }
}

void WindowSized(HWND hwnd, WindowRecord* w, WPARAM kind, int width, int height) {
  const int n = w->number;
  const int old = w->state;
  if (kind == SIZE_MINIMIZED) {
    if (old != WindowMinimized) {
      w->state = WindowMinimized;
      PushEvent(EventMinimizeWindow, n, 0, 0, 0, 0, 0, false);
    }
    return;
  }
  w->state = kind == SIZE_MAXIMIZED ? WindowMaximized : WindowNormal;
  EnsureSurface(w->surface, width, height, kOpaque | w->background);
  const bool resized = width != w->clientWidth || height != w->clientHeight;
  w->clientWidth = width;
  w->clientHeight = height;
  if (w->state == WindowNormal && old != WindowNormal) PushEvent(EventRestoreWindow, n, 0, 0, 0, 0, 0, false);
  if (resized && IsWindowVisible(hwnd)) PushEvent(EventSizeWindow, n, 0, 0, 0, 0, 0, true);
  // Shown anew after being minimised: the callback repaints what it does not keep.
  if (old == WindowMinimized) PostMessageW(hwnd, kPaintLater, 0, 0);
}

// The new DPI is the window's before its callback hears of it. The callback places the
// window itself (at its own rounding of the size); the system's default does nothing.
void DpiChanged(HWND hwnd, WindowRecord* w, int dpi, const RECT& suggested) {
  w->dpi = dpi;
  w->scale = ScaleFromDpi(dpi);
  // The suggestion is an outer frame; the player speaks of client sizes.
  const SIZE extra = gScaledFrames ? EstimatedFrameExtra(hwnd, dpi) : FrameExtra(hwnd);
  WindowMessage m;
  m.kind = MsgDpiChanged;
  m.dpi = dpi;
  m.x = suggested.left;
  m.y = suggested.top;
  m.width = std::max<int>(0, suggested.right - suggested.left - extra.cx);
  m.height = std::max<int>(0, suggested.bottom - suggested.top - extra.cy);
  SendWindowMessage(w->number, m);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    const int n = static_cast<int>(reinterpret_cast<intptr_t>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, n);
    auto it = gWindows.find(n);
    if (it != gWindows.end() && !it->second.hwnd) it->second.hwnd = hwnd;
  }
  if (msg == WM_GETMINMAXINFO) {
    // The player sizes its windows to the pixel; the system's minimum for captioned
    // windows would widen small ones.
    reinterpret_cast<MINMAXINFO*>(lp)->ptMinTrackSize = POINT{1, 1};
    return 0;
  }
  LRESULT result = 0;
  if (HandleShellMessage(hwnd, msg, wp, lp, &result)) return result;
  const int n = static_cast<int>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  WindowRecord* w = FindWindow(n);
  if (!w || w->hwnd != hwnd) return DefWindowProcW(hwnd, msg, wp, lp);
  // Nothing below touches `w` after a callback: the player may close the window there.
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      PaintSurface(hwnd, w->surface.get(), w->background);
      return 0;
    case WM_SIZE:
      WindowSized(hwnd, w, wp, LOWORD(lp), HIWORD(lp));
      return 0;
    case WM_MOVE:
      if (IsWindowVisible(hwnd) && !IsIconic(hwnd)) PushEvent(EventMoveWindow, n, 0, 0, 0, 0, 0, true);
      return 0;
    case WM_ENTERSIZEMOVE:
      if (!w->inSizeMove) BeginModalLoop();
      w->inSizeMove = true;
      return 0;
    case WM_EXITSIZEMOVE: {
      if (w->inSizeMove) EndModalLoop();
      w->inSizeMove = false;
      WindowMessage m;
      m.kind = MsgExitSizeMove;
      SendWindowMessage(n, m);
      return 0;
    }
    case WM_ENTERMENULOOP:
      if (!w->inMenuLoop) BeginModalLoop();
      w->inMenuLoop = true;
      return 0;
    case WM_EXITMENULOOP:
      if (w->inMenuLoop) EndModalLoop();
      w->inMenuLoop = false;
      return 0;
    case WM_CLOSE: {
      // The player decides: a close request is an event, the window stays until CloseWindow.
      WindowMessage m;
      m.kind = MsgSysCommand;
      m.param = SysCmdClose;
      if (!SendWindowMessage(n, m)) PushEvent(EventCloseWindow, n, 0, 0, 0, 0, 0, true);
      return 0;
    }
    case WM_SYSCOMMAND: {
      const int command = SysCommandOf(wp);
      // The close command reaches the callback once, as WM_CLOSE.
      if (command && command != SysCmdClose) {
        WindowMessage m;
        m.kind = MsgSysCommand;
        m.param = command;
        if (SendWindowMessage(n, m)) return 0;
      }
      break;
    }
    case WM_LBUTTONDOWN: {
      WindowMessage m;
      m.kind = MsgLeftButtonDown;
      m.x = GET_X_LPARAM(lp);
      m.y = GET_Y_LPARAM(lp);
      SendWindowMessage(n, m);
      return 0;
    }
    case WM_RBUTTONUP:
      PushEvent(EventRightClick, n, 0, 0, 0, GET_X_LPARAM(lp), GET_Y_LPARAM(lp), false);
      break;  // the default asks for the context menu
    case WM_CONTEXTMENU: {
      WindowMessage m;
      m.kind = MsgContextMenu;
      POINT p{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
      if (p.x == -1 && p.y == -1) GetCursorPos(&p);  // from the keyboard
      m.x = p.x;
      m.y = p.y;
      SendWindowMessage(n, m);
      return 0;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN: {
      const LRESULT brush = ControlColors(w, msg, reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
      if (brush != -1) return brush;
      break;
    }
    case WM_DRAWITEM: {
      const auto* di = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      Gadget* g = di->CtlType == ODT_BUTTON ? GadgetOfHandle(w, di->hwndItem) : nullptr;
      if (!g) break;
      DrawColouredButton(*g, *di);
      return TRUE;
    }
    case WM_COMMAND: {
      int number = 0;
      Gadget* g = lp ? GadgetOfHandle(w, reinterpret_cast<HWND>(lp), &number) : nullptr;
      if (g && g->kind == GadgetKind::Button && HIWORD(wp) == BN_CLICKED) {
        PushGadget(n, number, GadgetLeftClick, 0, 0);
        return 0;
      }
      if (g && g->kind == GadgetKind::String && HIWORD(wp) == EN_CHANGE) {
        // The player's own SetGadgetText changes the text quietly.
        if (g->quiet) return 0;
        const int length = GetWindowTextLengthW(g->hwnd);
        std::wstring now(static_cast<size_t>(length) + 1, L'\0');
        now.resize(static_cast<size_t>(GetWindowTextW(g->hwnd, now.data(), length + 1)));
        g->text = Narrow(now);
        PushGadget(n, number, GadgetChange, 0, 0);
        return 0;
      }
      break;
    }
    case WM_NOTIFY: {
      LRESULT answer = 0;
      if (HandleListNotify(n, reinterpret_cast<const NMHDR*>(lp), &answer)) return answer;
      break;
    }
    case WM_SETCURSOR: {
      Gadget* g = GadgetOfHandle(w, reinterpret_cast<HWND>(wp));
      if (g && g->cursor == CursorHand && LOWORD(lp) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    }
    case WM_TIMER:
      if (wp == kMarkerTimer) {
        PollInstanceMarker();
      } else if (w->timers.count(static_cast<int>(wp))) {
        TimerTick(n, static_cast<int>(wp));
      }
      return 0;
    case WM_HOTKEY: {
      WindowMessage m;
      m.kind = MsgHotkey;
      m.param = static_cast<int>(wp);
      m.key = HIWORD(lp);
      SendWindowMessage(n, m);
      return 0;
    }
    case WM_DPICHANGED:
      DpiChanged(hwnd, w, HIWORD(wp), *reinterpret_cast<const RECT*>(lp));
      return 0;
    case WM_SHOWWINDOW:
      if (wp) PostMessageW(hwnd, kPaintLater, 0, 0);
      break;
    case kPaintLater:
      if (IsWindowVisible(hwnd) && !IsIconic(hwnd)) {
        // A window shown anew may have been drawn while hidden; the callback repaints if
        // it keeps nothing of its own.
        WindowMessage m;
        m.kind = MsgPaint;
        SendWindowMessage(n, m);
      }
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

Gadget* NewGadget(int window, int gadget, GadgetKind kind, const wchar_t* cls, DWORD style, const std::wstring& text,
                  int x, int y, int width, int height) {
  WindowRecord* w = FindWindow(window);
  if (!w || gadget < 0 || gadget > 0xFFFF) return nullptr;
  auto old = w->gadgets.find(gadget);
  if (old != w->gadgets.end()) {
    DestroyGadget(old->second);
    w->gadgets.erase(old);
  }
  Gadget& g = w->gadgets[gadget];
  g.kind = kind;
  const LONG_PTR id = (static_cast<LONG_PTR>(window) << 16) | gadget;
  HWND hwnd = CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, std::max(width, 0),
                              std::max(height, 0), w->hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(gadget)),
                              Instance(), reinterpret_cast<void*>(id));
  if (!hwnd) {
    w->gadgets.erase(gadget);
    MarkGadget(window, gadget, false);
    return nullptr;
  }
  g.hwnd = hwnd;
  g.fontObject = GetFont(0);
  SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(g.fontObject ? g.fontObject->handle : nullptr), FALSE);
  MarkGadget(window, gadget, true);
  return &g;
}

RECT GadgetRect(const Gadget& g) {
  RECT r{};
  GetWindowRect(g.hwnd, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(g.hwnd), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void SetGadgetTextNow(int window, int gadget, const std::string& text) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return;
  g->text = text;
  if (g->kind == GadgetKind::Text) {
    SetWindowTextW(g->hwnd, DisplayText(text).c_str());
    FitTextScrollBar(*g);
  } else if (g->kind == GadgetKind::Button) {
    SetWindowTextW(g->hwnd, Wide(text).c_str());
    InvalidateRect(g->hwnd, nullptr, TRUE);
  } else if (g->kind == GadgetKind::String) {
    g->quiet = true;
    // The limit holds the user's typing only; the player's text is cut the same way.
    std::wstring wide = Wide(text);
    if (wide.size() > static_cast<size_t>(kStringGadgetMaxLength)) wide.resize(kStringGadgetMaxLength);
    SetWindowTextW(g->hwnd, wide.c_str());
    if (Gadget* again = FindGadget(window, gadget)) {
      again->quiet = false;
      // What the field kept of it (its length is limited).
      const int length = GetWindowTextLengthW(again->hwnd);
      std::wstring now(static_cast<size_t>(length) + 1, L'\0');
      now.resize(static_cast<size_t>(GetWindowTextW(again->hwnd, now.data(), length + 1)));
      again->text = Narrow(now);
    }
  }
}

struct TextWork {
  int window, gadget;
  std::string text;
};

void ApplyTextWork(void* context) {
  auto* work = static_cast<TextWork*>(context);
  SetGadgetTextNow(work->window, work->gadget, work->text);
  delete work;
}

}  // namespace

Gadget* CreateGadgetWindow(int window, int gadget, GadgetKind kind, const wchar_t* cls, DWORD style,
                           const std::wstring& text, int x, int y, int width, int height) {
  return NewGadget(window, gadget, kind, cls, style, text, x, y, width, height);
}

WindowRecord* FindWindow(int window) {
  auto it = gWindows.find(window);
  if (it == gWindows.end() || !it->second.hwnd) return nullptr;
  return &it->second;
}

Gadget* FindGadget(int window, int gadget) {
  WindowRecord* w = FindWindow(window);
  if (!w) return nullptr;
  auto it = w->gadgets.find(gadget);
  if (it == w->gadgets.end() || !it->second.hwnd) return nullptr;
  return &it->second;
}

WindowRecord* WindowOfHandle(HWND hwnd) {
  if (!hwnd) return nullptr;
  HWND top = GetAncestor(hwnd, GA_ROOT);
  for (auto& [n, rec] : gWindows)
    if (rec.hwnd && (rec.hwnd == hwnd || rec.hwnd == top)) return &rec;
  return nullptr;
}

int SendWindowMessage(int window, WindowMessage message) {
  WindowRecord* w = FindWindow(window);
  if (!w || !w->callback) return 0;
  message.window = window;
  return w->callback(message);
}

void RefreshDrawing(int window, int gadget, const RECT* rects, int count) {
  HWND target = nullptr;
  if (gadget == 0) {
    if (WindowRecord* w = FindWindow(window)) target = w->hwnd;
  } else if (Gadget* g = FindGadget(window, gadget)) {
    target = g->hwnd;
  }
  if (!target) return;
  if (count <= 0 || !rects) {
    InvalidateRect(target, nullptr, FALSE);
    return;
  }
  for (int i = 0; i < count; ++i) InvalidateRect(target, &rects[i], FALSE);
}

void StartWindows() {
  SetDpiAwareness();
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  static bool registered = false;
  if (registered) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = Instance();
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  // The program's icon when the executable carries one (resource 1).
  wc.hIcon = LoadIconW(Instance(), MAKEINTRESOURCEW(1));
  wc.lpszClassName = kWindowClass;
  const bool windows = RegisterClassExW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  wc = WNDCLASSEXW{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = CanvasProc;
  wc.hInstance = Instance();
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = kCanvasClass;
  const bool canvases = RegisterClassExW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  registered = windows && canvases;
}

bool TranslateShortcut(const MSG& msg) {
  const bool down = msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN;
  const bool up = msg.message == WM_KEYUP || msg.message == WM_SYSKEYUP;
  if (!down && !up) return false;
  WindowRecord* w = WindowOfHandle(msg.hwnd);
  if (!w) return false;
  const int vk = static_cast<int>(msg.wParam);
  const int n = w->number;
  if (up) {
    if (gSwallowedKeys.erase(vk)) return true;
    if (vk == VK_MEDIA_PLAY_PAUSE) {
      WindowMessage m;
      m.kind = MsgMediaPlayPauseUp;
      m.key = vk;
      SendWindowMessage(n, m);
    }
    return false;
  }
  auto it = w->shortcuts.find(vk | ModifierBits());
  if (it == w->shortcuts.end()) return false;
  gSwallowedKeys.insert(vk);
  // A held key repeats its press; the command comes once.
  if (!(msg.lParam & (1 << 30))) PushEvent(EventMenu, n, it->second, 0, 0, 0, 0, false);
  return true;
}

void TeardownWindows() {
  if (gMarker.window) RemoveInstanceMarker(gMarker.window);
  while (!gHotkeys.empty()) UnregisterHotkey(gHotkeys.back().window, gHotkeys.back().id);
  std::vector<int> numbers;
  for (auto& [n, w] : gWindows) numbers.push_back(n);
  for (auto it = numbers.rbegin(); it != numbers.rend(); ++it) CloseWindow(*it);
  gSwallowedKeys.clear();
}

}  // namespace rt

using namespace rt;

float ScaleFromDpi(double dpi) {
  if (!(dpi > 0)) return 1.0f;
  return static_cast<float>(std::lround(dpi)) / 96.0f;
}

int OpenWindow(int window, int x, int y, int width, int height, const std::string& title, int flags, int owner) {
  if (!RuntimeReady() || window < 1 || window > 63 || gWindows.count(window)) return 0;
  HWND ownerHwnd = nullptr;
  if (owner) {
    if (WindowRecord* o = FindWindow(owner)) ownerHwnd = o->hwnd;
  }
  DWORD style = 0, ex = 0;
  StylesFor(flags, &style, &ex);
  const int cw = std::max(width, 0), ch = std::max(height, 0);
  const SIZE extra = FrameExtraOfStyles(style, ex, gScaledFrames ? MonitorDpi(MonitorOfRect(x, y, cw, ch)) : 0);
  WindowRecord& rec = gWindows[window];
  rec = WindowRecord{};
  rec.number = window;
  rec.flags = flags;
  HWND hwnd = CreateWindowExW(ex, kWindowClass, Wide(title).c_str(), style, x, y, cw + extra.cx, ch + extra.cy,
                              ownerHwnd, nullptr, Instance(), reinterpret_cast<void*>(static_cast<intptr_t>(window)));
  if (!hwnd) {
    gWindows.erase(window);
    return 0;
  }
  WindowRecord* w = &gWindows[window];
  // The estimate from the styles may differ from the frame the system really gave.
  RECT client{};
  GetClientRect(hwnd, &client);
  if (client.right != cw || client.bottom != ch) {
    const SIZE real = FrameExtra(hwnd);
    SetWindowPos(hwnd, nullptr, x, y, cw + real.cx, ch + real.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  GetClientRect(hwnd, &client);
  w->clientWidth = client.right;
  w->clientHeight = client.bottom;
  EnsureSurface(w->surface, client.right, client.bottom, kOpaque);
  w->dpi = WindowDpi(hwnd);
  w->scale = ScaleFromDpi(w->dpi);
  MarkWindow(window, true);
  if (!(flags & WindowInvisible)) ShowWindow(hwnd, SW_SHOW);
  return 1;
}

void CloseWindow(int window) {
  auto it = gWindows.find(window);
  if (it == gWindows.end()) return;
  MarkWindow(window, false);
  ForgetGadgetsOf(window);
  RemoveInstanceMarker(window);
  UnregisterHotkeysOf(window);
  WindowRecord& rec = it->second;
  HWND hwnd = rec.hwnd;
  if (rec.inSizeMove) EndModalLoop();
  if (rec.inMenuLoop) EndModalLoop();
  std::vector<HBRUSH> brushes;
  for (auto& [n, g] : rec.gadgets)
    if (g.brush) brushes.push_back(g.brush);
  // Windows destroys owned windows with their owner; the player's outlive it, as
  // elsewhere: they are set free first.
  for (auto& [n, other] : gWindows)
    if (n != window && other.hwnd && hwnd && GetWindow(other.hwnd, GW_OWNER) == hwnd)
      SetWindowLongPtrW(other.hwnd, GWLP_HWNDPARENT, 0);
  gWindows.erase(it);
  if (hwnd) DestroyWindow(hwnd);
  for (HBRUSH b : brushes) DeleteObject(b);
}

int GetWindowState(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return WindowNormal;
  if (IsIconic(w->hwnd)) return WindowMinimized;
  if (IsZoomed(w->hwnd)) return WindowMaximized;
  return WindowNormal;
}

void SetWindowState(int window, int state) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  HWND hwnd = w->hwnd;
  switch (state) {
    case WindowMinimized:
      ShowWindow(hwnd, SW_MINIMIZE);
      break;
    case WindowMaximized: {
      // Asked like the maximise box: the main strip swallows it.
      WindowMessage m;
      m.kind = MsgSysCommand;
      m.param = SysCmdMaximize;
      if (SendWindowMessage(window, m) || !FindWindow(window)) return;
      ShowWindow(hwnd, SW_MAXIMIZE);
      break;
    }
    default:
      if (!IsIconic(hwnd) && !IsZoomed(hwnd)) return;
      if (IsWindowVisible(hwnd)) {
        ShowWindow(hwnd, SW_RESTORE);
        // A window minimised from the maximised state comes back maximised first.
        if (IsZoomed(hwnd)) ShowWindow(hwnd, SW_RESTORE);
      } else {
        // Hidden: the state changes, the window stays hidden.
        const RECT r = NormalFrame(hwnd);
        const LONG_PTR s = GetWindowLongPtrW(hwnd, GWL_STYLE);
        SetWindowLongPtrW(hwnd, GWL_STYLE, s & ~LONG_PTR(WS_MINIMIZE | WS_MAXIMIZE));
        SetWindowPos(hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
      }
      break;
  }
}

int GetWindowRect(int window, int* x, int* y, int* width, int* height) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  RECT r{};
  // A minimised window answers with the frame it comes back to, not its icon's.
  if (IsIconic(w->hwnd))
    r = NormalFrame(w->hwnd);
  else
    GetWindowRect(w->hwnd, &r);
  if (x) *x = r.left;
  if (y) *y = r.top;
  if (width) *width = r.right - r.left;
  if (height) *height = r.bottom - r.top;
  return 1;
}

int WindowClientWidth(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  if (IsIconic(w->hwnd)) return w->clientWidth;
  RECT r{};
  GetClientRect(w->hwnd, &r);
  return r.right;
}

int WindowClientHeight(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  if (IsIconic(w->hwnd)) return w->clientHeight;
  RECT r{};
  GetClientRect(w->hwnd, &r);
  return r.bottom;
}

void ResizeWindow(int window, int x, int y, int width, int height) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  HWND hwnd = w->hwnd;
  if (IsIconic(hwnd) || IsZoomed(hwnd)) {
    // The frame it is restored to changes; the state stays.
    RECT r = NormalFrame(hwnd);
    const SIZE extra = EstimatedFrameExtra(hwnd, gScaledFrames ? w->dpi : 0);
    const int nx = x == -1 ? r.left : x, ny = y == -1 ? r.top : y;
    const int nw = width == -1 ? r.right - r.left : std::max(width, 0) + extra.cx;
    const int nh = height == -1 ? r.bottom - r.top : std::max(height, 0) + extra.cy;
    SetNormalFrame(hwnd, RECT{nx, ny, nx + nw, ny + nh});
    if (width != -1) w->clientWidth = std::max(width, 0);
    if (height != -1) w->clientHeight = std::max(height, 0);
    return;
  }
  RECT outer{}, client{};
  GetWindowRect(hwnd, &outer);
  GetClientRect(hwnd, &client);
  const SIZE extra = FrameExtra(hwnd);
  const int nx = x == -1 ? outer.left : x, ny = y == -1 ? outer.top : y;
  const int cw = width == -1 ? client.right : std::max(width, 0);
  const int ch = height == -1 ? client.bottom : std::max(height, 0);
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
  if (nx == outer.left && ny == outer.top) flags |= SWP_NOMOVE;
  SetWindowPos(hwnd, nullptr, nx, ny, cw + extra.cx, ch + extra.cy, flags);
  if (WindowRecord* again = FindWindow(window)) EnsureSurface(again->surface, cw, ch, kOpaque | again->background);
  InvalidateRect(hwnd, nullptr, FALSE);
}

void SetWindowTitle(int window, const std::string& title) {
  if (WindowRecord* w = FindWindow(window)) SetWindowTextW(w->hwnd, Wide(title).c_str());
}

std::string GetWindowTitle(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return std::string();
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(w->hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(w->hwnd, text.data(), static_cast<int>(text.size()))));
  return Narrow(text);
}

void SetWindowColor(int window, uint32_t rgb) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  w->background = rgb & 0xFFFFFF;
  RECT client{};
  GetClientRect(w->hwnd, &client);
  EnsureSurface(w->surface, client.right, client.bottom, kOpaque | w->background);
  if (w->surface) {
    GdiFlush();
    std::fill(w->surface->pixels, w->surface->pixels + static_cast<size_t>(w->surface->width) * w->surface->height,
              kOpaque | w->background);
  }
  InvalidateRect(w->hwnd, nullptr, FALSE);
}

void StickyWindow(int window, int onTop) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  SetWindowPos(w->hwnd, onTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void ShowWindowNoActivate(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  HWND hwnd = w->hwnd;
  if (IsWindowVisible(hwnd)) return;  // shown, or minimised: that stays
  ShowWindow(hwnd, IsIconic(hwnd) ? SW_SHOWMINNOACTIVE : SW_SHOWNOACTIVATE);
}

void HideWindow(int window, int hide) {
  if (WindowRecord* w = FindWindow(window)) ShowWindow(w->hwnd, hide ? SW_HIDE : SW_SHOW);
}

int IsWindowHidden(int window) {
  WindowRecord* w = FindWindow(window);
  return w && !IsWindowVisible(w->hwnd) ? 1 : 0;
}

void ActivateWindowNumber(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  HWND hwnd = w->hwnd;
  if (IsIconic(hwnd)) ShowWindow(hwnd, SW_RESTORE);
  if (!IsWindowVisible(hwnd)) ShowWindow(hwnd, SW_SHOW);
  BringWindowToTop(hwnd);
  SetForegroundWindow(hwnd);
}

int IsActiveWindow(int window) {
  WindowRecord* w = FindWindow(window);
  return w && GetActiveWindow() == w->hwnd ? 1 : 0;
}

int StartWindowDrag(int window) {
  WindowRecord* w = FindWindow(window);
  // Without the button down the system's move would wait for the next press.
  if (!w || !(GetKeyState(VK_LBUTTON) & 0x8000)) return 0;
  ReleaseCapture();
  // The system's move loop runs until the button is released; the window's
  // WM_ENTERSIZEMOVE keeps the player's loop going meanwhile.
  SendMessageW(w->hwnd, WM_SYSCOMMAND, SC_MOVE | HTCAPTION, 0);
  return 1;
}

float WindowScale(int window) {
  WindowRecord* w = FindWindow(window);
  return w ? w->scale : SystemScale();
}

float ScaleForRect(int x, int y, int width, int height) {
  if (!RuntimeReady()) return 1.0f;
  return ScaleFromDpi(MonitorDpi(MonitorOfRect(x, y, width, height)));
}

float SystemScale() {
  if (!RuntimeReady()) return 1.0f;
  return ScaleFromDpi(SystemDpi());
}

void SetWindowCallback(int window, WindowCallback callback) {
  if (WindowRecord* w = FindWindow(window)) w->callback = callback;
}

// --- Instance marker and hotkey ---------------------------------------------------------------

int SetInstanceMarker(int window, const std::string& name) {
  WindowRecord* w = FindWindow(window);
  if (!w || name.empty()) return 0;
  if (gMarker.window) RemoveInstanceMarker(gMarker.window);
  const int listener = InstanceListenerOpen(name);
  if (listener < 0) return 0;
  gMarker.window = window;
  gMarker.listener = listener;
  // The property marks the window as the program's to whoever enumerates windows.
  gMarker.property = Wide(name);
  SetPropW(w->hwnd, gMarker.property.c_str(), reinterpret_cast<HANDLE>(1));
  // The pipe gives no message of its own: a short poll on the window's timer.
  SetTimer(w->hwnd, kMarkerTimer, kMarkerPollMs, nullptr);
  return 1;
}

void RemoveInstanceMarker(int window) {
  if (!gMarker.window || gMarker.window != window) return;
  auto it = gWindows.find(window);
  if (it != gWindows.end() && it->second.hwnd) {
    KillTimer(it->second.hwnd, kMarkerTimer);
    RemovePropW(it->second.hwnd, gMarker.property.c_str());
  }
  InstanceListenerClose(gMarker.listener);
  gMarker = Marker{};
}

int RegisterHotkey(int window, int hotkeyId, int virtualKey) {
  WindowRecord* w = FindWindow(window);
  if (!w || virtualKey != VkMediaPlayPause) return 0;
  for (const Hotkey& h : gHotkeys)
    if (h.window == window && h.id == hotkeyId) return 0;
  // MOD_NOREPEAT (Windows 7 and later): a held key is one press.
  if (!RegisterHotKey(w->hwnd, hotkeyId, MOD_NOREPEAT, static_cast<UINT>(virtualKey))) {
    if (GetLastError() == ERROR_HOTKEY_ALREADY_REGISTERED ||
        !RegisterHotKey(w->hwnd, hotkeyId, 0, static_cast<UINT>(virtualKey)))
      return 0;
  }
  gHotkeys.push_back({window, hotkeyId});
  return 1;
}

void UnregisterHotkey(int window, int hotkeyId) {
  for (auto it = gHotkeys.begin(); it != gHotkeys.end(); ++it) {
    if (it->window != window || it->id != hotkeyId) continue;
    gHotkeys.erase(it);
    if (WindowRecord* w = FindWindow(window)) UnregisterHotKey(w->hwnd, hotkeyId);
    return;
  }
}

// --- Keyboard shortcuts ----------------------------------------------------------------------

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

// --- Controls ----------------------------------------------------------------------------------

int TextGadget(int window, int gadget, int x, int y, int width, int height, const std::string& text) {
  Gadget* g =
      NewGadget(window, gadget, GadgetKind::Text, L"EDIT", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL,
                DisplayText(text), x, y, width, height);
  if (!g) return 0;
  g->text = text;
  SendMessageW(g->hwnd, EM_SETLIMITTEXT, 0, 0);
  FitTextScrollBar(*g);
  return 1;
}

int ButtonGadget(int window, int gadget, int x, int y, int width, int height, const std::string& text) {
  Gadget* g = NewGadget(window, gadget, GadgetKind::Button, L"BUTTON", BS_PUSHBUTTON, Wide(text), x, y, width, height);
  if (!g) return 0;
  g->text = text;
  return 1;
}

int CanvasGadget(int window, int gadget, int x, int y, int width, int height, int takesFocus) {
  Gadget* g = NewGadget(window, gadget, GadgetKind::Canvas, kCanvasClass, 0, L"", x, y, width, height);
  if (!g) return 0;
  g->takesFocus = takesFocus != 0;
  EnsureSurface(g->surface, width, height, kCanvasFill);
  return 1;
}

int ProgressBarGadget(int window, int gadget, int x, int y, int width, int height, int minimum, int maximum) {
  Gadget* g = NewGadget(window, gadget, GadgetKind::Progress, PROGRESS_CLASSW, 0, L"", x, y, width, height);
  if (!g) return 0;
  SendMessageW(g->hwnd, PBM_SETRANGE32, static_cast<WPARAM>(minimum), static_cast<LPARAM>(maximum));
  SendMessageW(g->hwnd, PBM_SETPOS, static_cast<WPARAM>(minimum), 0);
  return 1;
}

void FreeGadget(int window, int gadget) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  auto it = w->gadgets.find(gadget);
  if (it == w->gadgets.end()) return;
  MarkGadget(window, gadget, false);
  Gadget doomed = std::move(it->second);
  w->gadgets.erase(it);
  DestroyGadget(doomed);
}

void ResizeGadget(int window, int gadget, int x, int y, int width, int height) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return;
  const RECT r = GadgetRect(*g);
  const int nw = width == -1 ? r.right - r.left : std::max(width, 0);
  const int nh = height == -1 ? r.bottom - r.top : std::max(height, 0);
  MoveWindow(g->hwnd, x == -1 ? r.left : x, y == -1 ? r.top : y, nw, nh, TRUE);
  if (Gadget* again = FindGadget(window, gadget)) {
    if (again->kind == GadgetKind::Canvas) EnsureSurface(again->surface, nw, nh, kCanvasFill);
    FitTextScrollBar(*again);
  }
}

int GadgetX(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g ? GadgetRect(*g).left : 0;
}

int GadgetY(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g ? GadgetRect(*g).top : 0;
}

int GadgetWidth(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return 0;
  const RECT r = GadgetRect(*g);
  return r.right - r.left;
}

int GadgetHeight(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return 0;
  const RECT r = GadgetRect(*g);
  return r.bottom - r.top;
}

int TextGadgetMargins(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  if (!g || g->kind != GadgetKind::Text) return 0;
  // The frame (none) and what the edit control keeps above its first line; below the
  // last it needs nothing.
  RECT outer{}, client{}, format{};
  GetWindowRect(g->hwnd, &outer);
  GetClientRect(g->hwnd, &client);
  SendMessageW(g->hwnd, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
  return (outer.bottom - outer.top - client.bottom) + format.top;
}

int TextGadgetScrolls(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g && FitTextScrollBar(*g) ? 1 : 0;
}

void SetGadgetText(int window, int gadget, const std::string& text) {
  if (!RuntimeReady()) return;
  if (OnMainThread()) {
    SetGadgetTextNow(window, gadget, text);
    return;
  }
  // The debug log's text is set from worker threads; the main thread applies it.
  auto* work = new TextWork{window, gadget, text};
  if (!RunOnMainThread(ApplyTextWork, work)) delete work;
}

std::string GetGadgetText(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g ? g->text : std::string();
}

void SetGadgetState(int window, int gadget, int value) {
  Gadget* g = FindGadget(window, gadget);
  if (!g || g->kind != GadgetKind::Progress) return;
  PBRANGE range{};
  SendMessageW(g->hwnd, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  SendMessageW(g->hwnd, PBM_SETPOS, static_cast<WPARAM>(std::clamp(value, range.iLow, range.iHigh)), 0);
}

int GetGadgetState(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  if (!g || g->kind != GadgetKind::Progress) return 0;
  return static_cast<int>(SendMessageW(g->hwnd, PBM_GETPOS, 0, 0));
}

void SetGadgetColors(int window, int gadget, int64_t background, int64_t text) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return;
  if (background >= 0) g->background = background & 0xFFFFFF;
  if (text >= 0) g->foreground = text & 0xFFFFFF;
  ApplyGadgetColors(*g);
}

void SetGadgetFont(int window, int gadget, int font) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return;
  g->font = font;
  // Held by the control: freeing the number does not pull the font from under it.
  g->fontObject = GetFont(font);
  SendMessageW(g->hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(g->fontObject ? g->fontObject->handle : nullptr), TRUE);
  FitTextScrollBar(*g);
}

void DisableGadget(int window, int gadget, int disabled) {
  if (Gadget* g = FindGadget(window, gadget)) EnableWindow(g->hwnd, !disabled);
}

int IsGadgetDisabled(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g && !IsWindowEnabled(g->hwnd) ? 1 : 0;
}

void SetGadgetCursor(int window, int gadget, int cursor) {
  if (Gadget* g = FindGadget(window, gadget)) g->cursor = cursor;
}

void SetActiveGadget(int window, int gadget) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  if (gadget == 0) {
    // Back to the window, unless the focus is elsewhere already.
    HWND focus = GetFocus();
    if (focus && IsChild(w->hwnd, focus)) SetFocus(w->hwnd);
    return;
  }
  if (Gadget* g = FindGadget(window, gadget)) SetFocus(g->hwnd);
}

int GetActiveGadget(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  HWND focus = GetFocus();
  for (auto& [n, g] : w->gadgets)
    if (g.hwnd && (g.hwnd == focus || IsChild(g.hwnd, focus))) return n;
  return 0;
}

int GadgetMouseX(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return 0;
  POINT p{};
  GetCursorPos(&p);
  ScreenToClient(g->hwnd, &p);
  return p.x;
}

int GadgetMouseY(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return 0;
  POINT p{};
  GetCursorPos(&p);
  ScreenToClient(g->hwnd, &p);
  return p.y;
}

int GrabWindowImage(int window, int image) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  RECT client{};
  GetClientRect(w->hwnd, &client);
  auto out = CreateSurface(std::max<LONG>(client.right, 1), std::max<LONG>(client.bottom, 1));
  if (!out) return 0;
  GdiFlush();
  std::fill(out->pixels, out->pixels + static_cast<size_t>(out->width) * out->height, kOpaque | w->background);
  if (w->surface) CopyOpaque(*out, 0, 0, *w->surface, w->surface->width, w->surface->height);
  // The controls over it, bottom of the z-order first, each as it paints itself.
  HWND top = GetWindow(w->hwnd, GW_CHILD);
  for (HWND c = top ? GetWindow(top, GW_HWNDLAST) : nullptr; c; c = GetWindow(c, GW_HWNDPREV)) {
    Gadget* g = GadgetOfHandle(w, c);
    if (!g || !IsWindowVisible(c)) continue;
    const RECT r = GadgetRect(*g);
    const int cw = r.right - r.left, ch = r.bottom - r.top;
    if (cw <= 0 || ch <= 0) continue;
    if (g->kind == GadgetKind::Canvas) {
      if (g->surface) CopyOpaque(*out, r.left, r.top, *g->surface, cw, ch);
      continue;
    }
    auto part = CreateSurface(cw, ch);
    HDC dc = part ? CreateCompatibleDC(nullptr) : nullptr;
    if (!dc) continue;
    // What the control leaves unprinted (Wine prints no scroll bars) shows as the face colour.
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    std::fill(part->pixels, part->pixels + static_cast<size_t>(cw) * ch,
              kOpaque | (GetRValue(face) << 16) | (GetGValue(face) << 8) | GetBValue(face));
    HGDIOBJ old = SelectObject(dc, part->bitmap);
    SendMessageW(c, WM_PRINT, reinterpret_cast<WPARAM>(dc), PRF_NONCLIENT | PRF_CLIENT | PRF_ERASEBKGND | PRF_CHILDREN);
    GdiFlush();
    SelectObject(dc, old);
    DeleteDC(dc);
    CopyOpaque(*out, r.left, r.top, *part, cw, ch);
  }
  return StoreImage(image, std::move(out), 24);
}

// --- Screens and the mouse ----------------------------------------------------------------------

int WorkAreaForRect(int x, int y, int width, int height, int* areaX, int* areaY, int* areaWidth, int* areaHeight) {
  if (!RuntimeReady()) return 0;
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  if (!GetMonitorInfoW(MonitorOfRect(x, y, width, height), &mi)) return 0;
  const RECT& r = mi.rcWork;
  if (areaX) *areaX = r.left;
  if (areaY) *areaY = r.top;
  if (areaWidth) *areaWidth = r.right - r.left;
  if (areaHeight) *areaHeight = r.bottom - r.top;
  return 1;
}

int DesktopBounds(int* x, int* y, int* width, int* height) {
  if (!RuntimeReady()) return 0;
  const int w = GetSystemMetrics(SM_CXVIRTUALSCREEN), h = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (w <= 0 || h <= 0) return 0;
  if (x) *x = GetSystemMetrics(SM_XVIRTUALSCREEN);
  if (y) *y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  if (width) *width = w;
  if (height) *height = h;
  return 1;
}

void CursorPosition(int* x, int* y) {
  POINT p{};
  if (!RuntimeReady() || !GetCursorPos(&p)) p = POINT{0, 0};
  if (x) *x = p.x;
  if (y) *y = p.y;
}

int WheelScrollLines() {
  UINT lines = 0;
  if (!SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines, 0)) return 3;
  // 0 and "a page per notch" give no count of lines.
  return lines > 0 && lines != WHEEL_PAGESCROLL ? static_cast<int>(lines) : 3;
}
