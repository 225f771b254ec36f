// Popup menus and the notification-area (tray) icons on Win32.
#include <windows.h>
// These need the types of windows.h first.
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "runtime/win/rt_shell.h"

namespace rt {

namespace {

struct MenuEntry {
  int command = 0;  // 0: separator
  std::string text;
};

struct MenuRecord {
  HMENU handle = nullptr;
  int window = 1;  // the window the last display was for
  std::vector<MenuEntry> items;
};
std::map<int, MenuRecord> gMenus;  // main thread only

// TrackPopupMenu's modal loop may outlive the menu's number: a menu freed while it is
// shown is destroyed once the loop has let go of it.
HMENU gTracked = nullptr;
std::vector<HMENU> gFreedWhileTracked;

struct TrayRecord {
  int window = 1;
  HWND hwnd = nullptr;
  HICON icon = nullptr;
  std::wstring tip;
};
std::map<int, TrayRecord> gTrays;  // main thread only

const MenuEntry* FindItem(int menu, int command) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end() || command == 0) return nullptr;
  for (const MenuEntry& e : it->second.items)
    if (e.command == command) return &e;
  return nullptr;
}

// The shell's tooltip buffer holds 128 units with the terminator; a pair is never split.
std::wstring FitTip(std::wstring tip, size_t units) {
  if (tip.size() < units) return tip;
  size_t n = units - 1;
  if (n > 0 && tip[n - 1] >= 0xD800 && tip[n - 1] <= 0xDBFF) --n;
  tip.resize(n);
  return tip;
}

// Every call names the tip again with NIF_SHOWTIP: with version 4 the shell shows its own
// tooltip only when asked to.
NOTIFYICONDATAW IconData(int tray, const TrayRecord& t) {
  NOTIFYICONDATAW d{};
  d.cbSize = sizeof d;
  d.hWnd = t.hwnd;
  d.uID = static_cast<UINT>(tray);
  d.uFlags = NIF_ICON | NIF_TIP | NIF_SHOWTIP;
  d.hIcon = t.icon;
  std::wstring tip = FitTip(t.tip, ARRAYSIZE(d.szTip));
  std::copy(tip.begin(), tip.end(), d.szTip);
  return d;
}

bool AddToShell(int tray, const TrayRecord& t) {
  NOTIFYICONDATAW d = IconData(tray, t);
  d.uFlags |= NIF_MESSAGE;
  d.uCallbackMessage = ShellMessages().trayCallback;
  if (!Shell_NotifyIconW(NIM_ADD, &d)) return false;
  // Version 4: clicks name the icon in the high word and the event in the low word, and
  // the context menu (mouse or keyboard) arrives as WM_CONTEXTMENU.
  d.uVersion = NOTIFYICON_VERSION_4;
  Shell_NotifyIconW(NIM_SETVERSION, &d);
  return true;
}

void DeleteFromShell(int tray, TrayRecord& t) {
  NOTIFYICONDATAW d = IconData(tray, t);
  d.uFlags = 0;
  Shell_NotifyIconW(NIM_DELETE, &d);
  if (t.icon) DestroyIcon(t.icon);
  t.icon = nullptr;
}

void ShowMenuNow(HWND hwnd, int menu, int x, int y) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end() || gTracked) return;
  HMENU handle = it->second.handle;
  int window = it->second.window;
  // Without the foreground a click elsewhere would leave a tray icon's menu open.
  SetForegroundWindow(hwnd);
  gTracked = handle;
  BeginModalLoop();
  UINT command = TrackPopupMenuEx(handle, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, x, y, hwnd, nullptr);
  EndModalLoop();
  gTracked = nullptr;
  // The companion of SetForegroundWindow: the next tray menu opens and closes as it
  // should.
  PostMessageW(hwnd, WM_NULL, 0, 0);
  for (HMENU h : gFreedWhileTracked) DestroyMenu(h);
  gFreedWhileTracked.clear();
  if (command) PushEvent(EventMenu, window, static_cast<int>(command), 0, 0, 0, 0, false);
}

void TrayClicked(HWND hwnd, WPARAM wp, LPARAM lp) {
  const int tray = HIWORD(lp);
  auto it = gTrays.find(tray);
  if (it == gTrays.end() || it->second.hwnd != hwnd) return;
  int type = -1;
  switch (LOWORD(lp)) {
    case WM_LBUTTONUP:
      type = TrayLeftUp;
      break;
    case WM_LBUTTONDBLCLK:
      type = TrayLeftDoubleClick;
      break;
    // A right click sends WM_RBUTTONUP and then WM_CONTEXTMENU; only the second counts,
    // as it also stands for the keyboard's menu key.
    case WM_CONTEXTMENU:
      type = TrayRightUp;
      break;
    case WM_RBUTTONDBLCLK:
      type = TrayRightDoubleClick;
      break;
    default:
      break;
  }
  if (type >= 0) PushEvent(EventSysTray, it->second.window, tray, type, 0, 0, 0, false);
}

}  // namespace

HICON MakeIconOfImage(int image, int size) {
  std::shared_ptr<Surface> source = GetImage(image);
  if (!source || size <= 0) return nullptr;
  std::shared_ptr<Surface> scaled =
      source->width == size && source->height == size ? source : ScaleSurface(*source, size, size);
  if (!scaled) return nullptr;
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = size;
  bi.bmiHeader.biHeight = -size;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP color = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!color) return nullptr;
  // Icons take straight alpha; the mask is all zero so that the alpha alone decides.
  auto* out = static_cast<uint32_t*>(bits);
  for (int i = 0; i < size * size; ++i) out[i] = Unpremultiply(scaled->pixels[i]);
  std::vector<unsigned char> zeros(static_cast<size_t>((size + 15) / 16 * 2) * size, 0);
  HBITMAP mask = CreateBitmap(size, size, 1, 1, zeros.data());
  ICONINFO ii{};
  ii.fIcon = TRUE;
  ii.hbmMask = mask;
  ii.hbmColor = color;
  HICON icon = mask ? CreateIconIndirect(&ii) : nullptr;
  DeleteObject(color);
  if (mask) DeleteObject(mask);
  return icon;
}

bool HandleMenuMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  const ShellMessageIds& ids = ShellMessages();
  if (ids.trayCallback && msg == ids.trayCallback) {
    TrayClicked(hwnd, wp, lp);
  } else if (ids.popupMenu && msg == ids.popupMenu) {
    ShowMenuNow(hwnd, static_cast<int>(wp), GET_X_LPARAM(lp), GET_Y_LPARAM(lp));
  } else {
    return false;
  }
  *result = 0;
  return true;
}

void AddTrayIconsAgain(HWND hwnd) {
  for (auto& [tray, t] : gTrays)
    if (t.hwnd == hwnd) AddToShell(tray, t);
}

void ForgetTrayIcons(HWND hwnd) {
  for (auto it = gTrays.begin(); it != gTrays.end();) {
    if (it->second.hwnd == hwnd) {
      DeleteFromShell(it->first, it->second);
      it = gTrays.erase(it);
    } else {
      ++it;
    }
  }
}

void TeardownMenusAndTray() {
  for (auto& [tray, t] : gTrays) DeleteFromShell(tray, t);
  gTrays.clear();
  for (auto& [n, m] : gMenus) DestroyMenu(m.handle);
  gMenus.clear();
  TeardownTaskbarEntry();
  TeardownSession();
}

}  // namespace rt

using namespace rt;

// --- Menus -------------------------------------------------------------------------------

int CreatePopupMenu(int menu) {
  if (!RuntimeReady() || menu < 1 || menu > 63) return 0;
  FreeMenu(menu);
  HMENU handle = ::CreatePopupMenu();
  if (!handle) return 0;
  MenuRecord& m = gMenus[menu];
  m.handle = handle;
  return 1;
}

int IsMenu(int menu) { return gMenus.count(menu) ? 1 : 0; }

void FreeMenu(int menu) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end()) return;
  HMENU handle = it->second.handle;
  gMenus.erase(it);
  if (handle == gTracked) {
    EndMenu();
    gFreedWhileTracked.push_back(handle);
  } else {
    DestroyMenu(handle);
  }
}

void MenuItem(int menu, int command, const std::string& text) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end()) return;
  if (AppendMenuW(it->second.handle, MF_STRING, static_cast<UINT_PTR>(command), Wide(text).c_str()))
    it->second.items.push_back(MenuEntry{command, text});
}

void MenuBar(int menu) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end()) return;
  if (AppendMenuW(it->second.handle, MF_SEPARATOR, 0, nullptr)) it->second.items.push_back(MenuEntry{});
}

void SetMenuItemState(int menu, int command, int checked) {
  if (!FindItem(menu, command)) return;
  CheckMenuItem(gMenus[menu].handle, static_cast<UINT>(command), MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

int GetMenuItemState(int menu, int command) {
  // GetMenuState answers -1 (all bits) for a command the menu does not have.
  if (!FindItem(menu, command)) return 0;
  UINT state = GetMenuState(gMenus[menu].handle, static_cast<UINT>(command), MF_BYCOMMAND);
  return state != static_cast<UINT>(-1) && (state & MF_CHECKED) ? 1 : 0;
}

void SetMenuItemEnabled(int menu, int command, int enabled) {
  if (!FindItem(menu, command)) return;
  EnableMenuItem(gMenus[menu].handle, static_cast<UINT>(command), MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

int GetMenuItemEnabled(int menu, int command) {
  if (!FindItem(menu, command)) return 0;
  UINT state = GetMenuState(gMenus[menu].handle, static_cast<UINT>(command), MF_BYCOMMAND);
  return state != static_cast<UINT>(-1) && !(state & (MF_GRAYED | MF_DISABLED)) ? 1 : 0;
}

int DisplayPopupMenu(int menu, int window, int x, int y) {
  auto it = gMenus.find(menu);
  HWND hwnd = HandleOfWindow(window);
  if (it == gMenus.end() || !hwnd) return 0;
  it->second.window = window;
  // TrackPopupMenu runs a modal loop; it starts from the loop's next look at the
  // messages, so the caller goes on at once, as with a menu that pops up by itself.
  return PostMessageW(hwnd, ShellMessages().popupMenu, static_cast<WPARAM>(menu), MAKELPARAM(x, y)) ? 1 : 0;
}

int MenuItemCount(int menu) {
  auto it = gMenus.find(menu);
  return it == gMenus.end() ? 0 : static_cast<int>(it->second.items.size());
}

int MenuItemCommand(int menu, int index) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end() || index < 0 || index >= static_cast<int>(it->second.items.size())) return 0;
  return it->second.items[index].command;
}

std::string MenuItemText(int menu, int index) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end() || index < 0 || index >= static_cast<int>(it->second.items.size())) return std::string();
  return it->second.items[index].text;
}

int ChooseMenuItem(int menu, int window, int command) {
  if (!FindItem(menu, command) || !GetMenuItemEnabled(menu, command)) return 0;
  MenuRecord& m = gMenus[menu];
  m.window = window;
  // A choice made while the menu is shown closes it; its loop then returns no command.
  if (m.handle == gTracked) EndMenu();
  PushEvent(EventMenu, window, command, 0, 0, 0, 0, false);
  return 1;
}

// --- Tray --------------------------------------------------------------------------------

int SysTrayAvailable() { return RuntimeReady() && FindWindowW(L"Shell_TrayWnd", nullptr) ? 1 : 0; }

int AddSysTrayIcon(int tray, int window, int image) {
  if (!RuntimeReady()) return 0;
  HWND hwnd = HandleOfWindow(window);
  if (!hwnd) return 0;
  RemoveSysTrayIcon(tray);
  TrayRecord t;
  t.window = window;
  t.hwnd = hwnd;
  t.icon = MakeIconOfImage(image, GetSystemMetrics(SM_CXSMICON));
  if (!t.icon) return 0;
  // Without a tray host the icon is not kept: the player adds it on MsgTaskbarCreated.
  if (!AddToShell(tray, t)) {
    DestroyIcon(t.icon);
    return 0;
  }
  gTrays[tray] = t;
  return 1;
}

int IsSysTrayIcon(int tray) { return gTrays.count(tray) ? 1 : 0; }

void ChangeSysTrayIcon(int tray, int image) {
  auto it = gTrays.find(tray);
  if (it == gTrays.end()) return;
  HICON icon = MakeIconOfImage(image, GetSystemMetrics(SM_CXSMICON));
  if (!icon) return;
  HICON old = it->second.icon;
  it->second.icon = icon;
  NOTIFYICONDATAW d = IconData(tray, it->second);
  Shell_NotifyIconW(NIM_MODIFY, &d);
  DestroyIcon(old);
}

void SysTrayIconToolTip(int tray, const std::string& text) {
  auto it = gTrays.find(tray);
  if (it == gTrays.end()) return;
  it->second.tip = Wide(text);
  NOTIFYICONDATAW d = IconData(tray, it->second);
  Shell_NotifyIconW(NIM_MODIFY, &d);
}

void RemoveSysTrayIcon(int tray) {
  auto it = gTrays.find(tray);
  if (it == gTrays.end()) return;
  DeleteFromShell(tray, it->second);
  gTrays.erase(it);
}
