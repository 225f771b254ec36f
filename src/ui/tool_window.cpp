// Opening a tool window and the window messages every one of them answers alike.
#include "ui/ui.h"

int OpenToolWindow(const ToolWindow& tool, int* width, int* height) {
  const bool atCursor = (tool.options & ToolAtCursor) != 0;
  float s = *tool.scale;
  if (atCursor) {
    int cx = 0, cy = 0;
    CursorPosition(&cx, &cy);
    s = 1.0f;
    GetDpiScale(0, cx, cy, 1, 1, &s);
  }
  int w = 0, h = 0;
  tool.clientSize(s, &w, &h);
  int x = 0, y = 0;
  NewWindowPosition(tool.storedX ? tool.storedX->load() : kNoPosition,
                    tool.storedY ? tool.storedY->load() : kNoPosition, w, h, &x, &y);
  if (!atCursor) RestoreMainWindow();
  if (!OpenWindow(tool.window, x, y, w, h, tool.caption,
                  WindowCaption | WindowSystemMenu | WindowInvisible | tool.style, WinMain))
    return 0;
  // The scale of the screen the window really opened on decides its size.
  GetDpiScale(tool.window, x, y, w, h, tool.scale);
  tool.clientSize(*tool.scale, &w, &h);
  ResizeWindow(tool.window, x, y, w, h);
  SetWindowCallback(tool.window, tool.callback);
  SetWindowColor(tool.window, kColorBackground);
  if (!atCursor) KeepWindowOnScreen(tool.window);
  RemoveKeyboardShortcut(tool.window, -1);
  AddKeyboardShortcut(tool.window, VkApps, MenuShowTrayMenu);
  for (const ToolShortcut& shortcut : tool.shortcuts) AddKeyboardShortcut(tool.window, shortcut.key, shortcut.command);
  if (width) *width = w;
  if (height) *height = h;
  return 1;
}

int ToolWindowMessage(const ToolWindow& tool, const WindowMessage& message) {
  switch (message.kind) {
    case MsgContextMenu:
      // The right click itself and the context-menu key (menu command 1) already show
      // the menu; answering here as well would show it twice.
      return 1;
    case MsgMediaPlayPauseUp:
      if (gSettings.hotkey.load() == 0) ToggleMute();
      return 0;
    case MsgPaint:
      if (tool.paint) tool.paint();
      return 0;
    case MsgExitSizeMove:
      KeepWindowOnScreen(tool.window);
      return 1;
    case MsgDpiChanged: {
      if (message.dpi <= 0) return 1;
      *tool.scale = message.dpi / 96.0f;
      if (message.width <= 0 || message.height <= 0) return 1;
      int w = message.width, h = message.height;
      if (tool.options & ToolOwnSize) tool.clientSize(*tool.scale, &w, &h);
      ResizeWindow(tool.window, message.x, message.y, w, h);
      tool.relayout();
      return 1;
    }
    default:
      return 0;
  }
}
