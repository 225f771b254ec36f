// The runtime: numbered windows and controls, the event queue, timers, popup menus,
// the tray icon, images and 2D drawing, fonts, threads, dialogs and the clipboard.
// Qt 6 Widgets does the work underneath, but no Qt type appears here: the player
// addresses everything by small integers, as a message-driven Windows program does.
//
// Threads: everything that touches windows, controls, menus, the tray or the clipboard
// runs on the main thread (the one that called RuntimeInit). Callable from any thread:
// PostEvent, the thread functions, IsWindow, IsGadget, SetGadgetText, ShowMessageBox /
// SaveFileRequester (handed to the main thread, the caller waits), the image functions
// and drawing into images, CreateUiFont/FreeFont, MeasureTextWidth.
//
// Colours are 0xRRGGBB (opaque) unless a name says Rgba; RGBA colours are 0xAARRGGBB.
// Rectangles of windows are in screen pixels; Qt's own high-DPI scaling is off, so a
// pixel is a device pixel and each window scales itself by WindowScale().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// --- Start and end ------------------------------------------------------------
// Creates the application object. Sets QT_ENABLE_HIGHDPI_SCALING=0; uses the xcb
// platform when DISPLAY is set and QT_QPA_PLATFORM is unset or a Wayland default (a
// chosen "offscreen" is kept); installs the SIGTERM/SIGHUP handlers that turn into
// end-session messages (MsgQueryEndSession then MsgEndSession to window 1; without a
// callback that handles the end, a close request of window 1). Returns 1. Calling it
// twice is harmless; after RuntimeTeardown it may be called again.
int RuntimeInit(int argc, char** argv);
// 1 between RuntimeInit and RuntimeTeardown.
int RuntimeReady();
// Final teardown: asks every runtime thread to stop and joins it, removes tray icons,
// closes windows, frees menus, images, fonts and timers, destroys the application.
void RuntimeTeardown();
// The name of the Qt platform in use ("xcb", "wayland", "offscreen", ...).
std::string RuntimePlatformName();

// --- Event queue ----------------------------------------------------------------
// Event kinds delivered by WaitWindowEvent. Custom kinds (from 0x10000) are posted by
// the player with PostEvent and come back unchanged.
enum EventKind : int {
  EventGadget = 0x332C,          // object = control number, type = GadgetEventType
  EventMenu = 0x332D,            // object = menu command (popup menus, shortcuts, taskbar buttons)
  EventSysTray = 0x332E,         // object = tray icon number, type = TrayClickType
  EventMinimizeWindow = 0x3333,
  EventRestoreWindow = 0x3335,   // also leaving the maximised state
  EventTimer = 0x3336,           // object = timer id
  EventRightClick = 0x3337,      // right button released on the window itself
  EventCloseWindow = 0x333C,     // close box / Alt+F4: the window is NOT closed by the runtime
  EventMoveWindow = 0x333D,
  EventSizeWindow = 0x333E,
  EventCustomFirst = 0x10000,
};

// Event types of EventGadget.
enum GadgetEventType : int {
  GadgetLeftClick = 0,        // button pressed and released (push button); canvas: left release inside
  GadgetRightClick = 1,       // canvas: right button released
  GadgetLeftDoubleClick = 2,
  GadgetMouseEnter = 3,       // canvas: the mouse entered the control
  GadgetMouseLeave = 4,       // canvas: the mouse left the control
  GadgetMouseMove = 5,        // canvas: the mouse moved while the left button is down
  GadgetLeftButtonDown = 6,   // canvas: left button pressed
  GadgetLeftButtonUp = 7,     // canvas: left button released (also outside; LeftClick follows when inside)
  GadgetMouseWheel = 8,       // canvas: EventData() = whole notches, positive = away from the user
  GadgetFocus = 9,            // canvas: got the keyboard focus
  GadgetLostFocus = 10,       // canvas: lost it
  GadgetChange = 11,          // string field: the user changed its text
  GadgetSelectionChange = 12, // list: the user changed which rows are selected
};

// Event types of EventSysTray.
enum TrayClickType : int {
  TrayLeftUp = 0,
  TrayRightUp = 1,
  TrayLeftDoubleClick = 2,
  TrayRightDoubleClick = 3,
};

// Waits at most timeoutMs for the next event (0 = only look) while the toolkit does its
// own work (painting, input, dialogs). Returns the event kind, or 0 when none came.
// Wakes at once when another thread posts. Main thread only. The details of the last
// returned event are read with the Event* functions below.
int WaitWindowEvent(int timeoutMs);
int EventWindow();   // window number
int EventObject();   // control number, menu command, timer id or tray number; 0 if none
int EventType();     // GadgetEventType / TrayClickType; 0 if none
int EventData();     // wheel notches; custom data given to PostEvent
int EventMouseX();   // canvas events: mouse position in the control when it happened
int EventMouseY();
// Queues an event; callable from any thread; events arrive in posting order.
void PostEvent(int kind, int window, int object, int type = 0, int data = 0);
// Number of queued events not yet returned (for tests and the shutdown drain).
int PendingEventCount();

// Window timers: EventTimer with object = timer id every intervalMs, for as long as the
// window exists. Adding an id that exists restarts it with the new interval. Like
// WM_TIMER, a timer has at most one tick waiting in the queue (no bursts after a busy spell).
int AddWindowTimer(int window, int timerId, int intervalMs);
void RemoveWindowTimer(int window, int timerId);

// Modal loops of the system (a window moved or sized by the user, a popup menu, a
// message box on the main thread) keep the main thread away from WaitWindowEvent. While
// one runs, `step` is called on the main thread every 25 ms, so that the loop's idle work
// (the meter, the housekeeping) goes on; nullptr removes it, and so does the teardown.
// Never nested. Qt's menus and moves do not block: there it is never called.
void SetModalLoopHook(void (*step)());

// --- Windows ----------------------------------------------------------------------
enum WindowFlag : int {
  WindowCaption = 0x1,       // title bar
  WindowSystemMenu = 0x2,    // close box
  WindowMinimizeBox = 0x4,   // can be minimised (and has a taskbar entry when borderless)
  WindowMaximizeBox = 0x8,
  WindowSizeable = 0x10,     // sizing border
  WindowBorderless = 0x20,   // no frame at all (popup style)
  WindowInvisible = 0x40,    // created hidden; show with ShowWindowNoActivate / HideWindow(0)
  WindowToolWindow = 0x80,   // no taskbar entry
};

enum WindowState : int { WindowNormal = 0, WindowMinimized = 1, WindowMaximized = 2 };

// Opens window `window` (1..63). x, y: top-left of the outer frame; width, height: the
// client area. owner: window number of the owner (0 = none); owned windows stay above
// their owner and have no taskbar entry. Returns 1, 0 on failure (number in use,
// no platform). The background is black until SetWindowColor.
int OpenWindow(int window, int x, int y, int width, int height, const std::string& title, int flags,
               int owner = 0);
// Closes and frees the window with its controls, timers, shortcuts and callback.
void CloseWindow(int window);
// Callable from any thread.
int IsWindow(int window);
int GetWindowState(int window);
void SetWindowState(int window, int state);
// Outer frame rectangle on the screen. Returns 0 when the window does not exist.
int GetWindowRect(int window, int* x, int* y, int* width, int* height);
// Client area size.
int WindowClientWidth(int window);
int WindowClientHeight(int window);
// Moves the frame to (x, y) and sizes the client area; -1 keeps a value. Repaints.
void ResizeWindow(int window, int x, int y, int width, int height);
void SetWindowTitle(int window, const std::string& title);
std::string GetWindowTitle(int window);
void SetWindowColor(int window, uint32_t rgb);
// Keep above every other window (1) or not (0).
void StickyWindow(int window, int onTop);
// Shows the window without giving it the focus (also un-hides an invisible window).
void ShowWindowNoActivate(int window);
void HideWindow(int window, int hide);
// 1 when the window exists and is not shown (hidden with HideWindow or created invisible).
int IsWindowHidden(int window);
// Restores a minimised window, raises it and gives it the focus.
void ActivateWindowNumber(int window);
// 1 when this window has the keyboard focus (is the active window).
int IsActiveWindow(int window);
// Starts a system move of the window by the mouse (call from the left-button-down
// message); returns 1 when the window manager took over.
int StartWindowDrag(int window);
// DPI scale of the window's screen: round(logical DPI) / 96 (a 144 DPI screen gives 1.5).
float WindowScale(int window);
// The scale of the screen that holds most of the rectangle (nearest screen when none).
float ScaleForRect(int x, int y, int width, int height);
// The scale of the primary screen (the "system" scale).
float SystemScale();
// The rule behind the three above, exposed for tests: round(dpi) / 96, 1.0 for dpi <= 0.
float ScaleFromDpi(double dpi);

// Window messages handed to a window's callback (translated platform messages).
enum WindowMessageKind : int {
  MsgDpiChanged = 1,           // dpi, suggested x/y (frame) and width/height (client)
  MsgExitSizeMove,             // a move or resize by the user has ended
  MsgMediaPlayPauseUp,         // the play/pause media key was released in the window
  MsgHotkey,                   // a registered global hotkey: param = hotkey id, key = virtual key
  MsgQueryEndSession,          // the session is about to end (save now); window 1 only
  MsgEndSession,               // the session ends / SIGTERM / SIGHUP; window 1 only
  MsgResume,                   // resumed from standby; window 1 only
  MsgThemeChanged,             // window 1 only
  MsgDisplayChanged,           // screens added, removed or changed; window 1 only
  MsgTaskbarCreated,           // the tray host (re)appeared: re-add the tray icon; window 1 only
  MsgTaskbarButtonCreated,     // the taskbar entry (media-player object) is ready; window 1 only
  MsgThumbButtonClick,         // param = taskbar button id (1 play/pause, 2 next); window 1 only
  MsgLeftButtonDown,           // left press on the window itself (not on a control)
  MsgSysCommand,               // param = SysCommand; return 1 to swallow it
  MsgPaint,                    // the window was exposed anew (its content is kept by the runtime)
  MsgContextMenu,              // context-menu request on the window (x, y = screen position)
  MsgSuspend,                  // the system is about to sleep; window 1 only (then AllowSleep)
  MsgNetworkChanged,           // param = 1 the network is up, 0 it is gone; window 1 only
};

// System commands of MsgSysCommand.
enum SysCommand : int { SysCmdMaximize = 1, SysCmdSize = 2, SysCmdMinimize = 3, SysCmdRestore = 4, SysCmdClose = 5, SysCmdMove = 6 };

struct WindowMessage {
  int kind = 0;
  int window = 0;
  int param = 0;  // hotkey id, thumb button id, SysCommand
  int key = 0;    // virtual key (179 = play/pause)
  int dpi = 0;    // MsgDpiChanged: the new DPI (rounded)
  int x = 0, y = 0, width = 0, height = 0;  // MsgDpiChanged suggested rect; MsgContextMenu position
};
// The callback returns 0 to let the runtime go on with its default handling, 1 when it
// handled the message (for MsgSysCommand: swallowed). Runs on the main thread, outside
// WaitWindowEvent's caller but inside the wait, so it must not block.
using WindowCallback = int (*)(const WindowMessage& message);
void SetWindowCallback(int window, WindowCallback callback);

// The instance marker (the window property another start looks for): while set,
// another start of the program that calls FindInstanceWindow/ActivateWindow (platform)
// with the same name gets window `window` restored and raised. Returns 1 when the
// marker (the listening socket) is in place. A command another start hands over
// (SendInstanceRequest with InstanceCommandRequest) arrives as EventMenu of `window`.
int SetInstanceMarker(int window, const std::string& name);
void RemoveInstanceMarker(int window);

// Global hotkey (the media play/pause key, virtual key 179): a grab of XF86AudioPlay on
// the X11 root window. Returns 0 when another client holds it or there is no X11.
// Presses arrive as MsgHotkey at the window's callback.
int RegisterHotkey(int window, int hotkeyId, int virtualKey);
void UnregisterHotkey(int window, int hotkeyId);

// --- Keyboard shortcuts -----------------------------------------------------------
// A shortcut is a virtual key plus modifier bits; it arrives as EventMenu of the window
// with object = menuCommand, whichever control has the focus.
enum ShortcutModifier : int { ShortcutShift = 0x10000, ShortcutControl = 0x20000, ShortcutAlt = 0x40000 };
constexpr int VkApps = 93;  // the context-menu key
constexpr int VkMediaPlayPause = 179;
void AddKeyboardShortcut(int window, int shortcut, int menuCommand);
// shortcut -1 removes all shortcuts of the window.
void RemoveKeyboardShortcut(int window, int shortcut);

// --- Controls (gadgets) -------------------------------------------------------------
// Control numbers are per window (1..999). Creation replaces a control of the same number.
// Read-only multi-line text with word wrap and no border. Returns 1 or 0.
int TextGadget(int window, int gadget, int x, int y, int width, int height, const std::string& text);
int ButtonGadget(int window, int gadget, int x, int y, int width, int height, const std::string& text);
// A canvas keeps its image: what is drawn stays until drawn over; resizing keeps the
// top-left content. With takesFocus = 1 it can get the keyboard focus (wheel input).
int CanvasGadget(int window, int gadget, int x, int y, int width, int height, int takesFocus = 0);
int ProgressBarGadget(int window, int gadget, int x, int y, int width, int height, int minimum, int maximum);
// Callable from any thread (like IsWindow and SetGadgetText).
int IsGadget(int window, int gadget);
void FreeGadget(int window, int gadget);
// -1 keeps a value.
void ResizeGadget(int window, int gadget, int x, int y, int width, int height);
int GadgetX(int window, int gadget);
int GadgetY(int window, int gadget);
int GadgetWidth(int window, int gadget);
int GadgetHeight(int window, int gadget);
// Pixels a text control spends above and below its lines (its margins, frame and the
// toolkit's own slack): a control FontLineSpacing(font) x n + this high shows n lines of
// its font without scrolling.
int TextGadgetMargins(int window, int gadget);
// 1 while a text control's text is taller than the control, so it shows a scroll bar.
int TextGadgetScrolls(int window, int gadget);
// Callable from any thread: from a worker the text is applied by the main thread soon after.
void SetGadgetText(int window, int gadget, const std::string& text);
std::string GetGadgetText(int window, int gadget);
// Progress bar value.
void SetGadgetState(int window, int gadget, int value);
int GetGadgetState(int window, int gadget);
// Background and text colours 0xRRGGBB; -1 keeps a colour.
void SetGadgetColors(int window, int gadget, int64_t background, int64_t text);
void SetGadgetFont(int window, int gadget, int font);
void DisableGadget(int window, int gadget, int disabled);
int IsGadgetDisabled(int window, int gadget);
enum GadgetCursor : int { CursorDefault = 0, CursorHand = 1 };
void SetGadgetCursor(int window, int gadget, int cursor);
// Gives the control the keyboard focus; gadget 0 takes it away (to the window).
void SetActiveGadget(int window, int gadget);
int GetActiveGadget(int window);
// Current mouse position relative to the control.
int GadgetMouseX(int window, int gadget);
int GadgetMouseY(int window, int gadget);

// --- Single-line text field and list control ---------------------------------------------
// An editable single-line text field (at most kStringGadgetMaxLength characters). Every
// change the user makes arrives as GadgetChange; SetGadgetText sets the text without
// one; GetGadgetText gives the text as it is now.
constexpr int kStringGadgetMaxLength = 256;
int StringGadget(int window, int gadget, int x, int y, int width, int height, const std::string& text);

// A list of rows in columns that keeps no texts of its own: it asks `cellText` (on the
// main thread, while it paints) for the cells of the rows it shows, so a list of 100 000
// rows costs nothing until they are scrolled into view. The callback must not change
// windows or controls. Rows are selected by the mouse (Ctrl and Shift extend) and the
// keyboard (arrows, Page Up/Down, Home/End, Ctrl+A). Events of the list: GadgetLeftClick
// (EventData() = the row, -1 below the last; EventMouseX() = x in the list, see
// ListColumnAt), GadgetLeftDoubleClick (a row double-clicked or Enter; EventData() = the
// row), GadgetRightClick (EventData() = the row) and GadgetSelectionChange.
// SetGadgetColors gives the rows' background and text (selected rows mix the two);
// SetGadgetFont the font of the rows and the header, the rows' height following it.
using ListCellText = std::string (*)(int window, int gadget, int row, int column);
int ListGadget(int window, int gadget, int x, int y, int width, int height, ListCellText cellText);
enum ListColumnFlag : int { ListAlignLeft = 0, ListAlignRight = 1, ListAlignCenter = 2 };
// Appends a column with its header text and width in pixels; the first column is
// always left-aligned. Returns the column's index, -1 on failure.
int AddListColumn(int window, int gadget, const std::string& title, int width, int flags = ListAlignLeft);
void SetListColumnWidth(int window, int gadget, int column, int width);
int ListColumnWidth(int window, int gadget, int column);
// The column under x (a position in the list, as EventMouseX() gives it); -1 for none.
int ListColumnAt(int window, int gadget, int x);
// A new number of rows: the selection is cleared and the list shows its first row.
void SetListRowCount(int window, int gadget, int count);
int ListRowCount(int window, int gadget);
// `count` rows come in before `row`: the selected and the current rows move with their
// texts, and a list scrolled away from its top keeps showing the same rows.
void InsertListRows(int window, int gadget, int row, int count);
// The texts changed: the rows shown are asked for again.
void RefreshListRows(int window, int gadget);
// The selected rows in ascending order (rows may be nullptr); returns how many.
int ListSelectedRows(int window, int gadget, std::vector<int>* rows);
// Selects (1) or deselects (0) a row; row -1: every row.
void SetListRowSelected(int window, int gadget, int row, int selected);
// The row with the keyboard focus, -1 for none; setting it selects only that row and
// scrolls it into view.
int ListCurrentRow(int window, int gadget);
void SetListCurrentRow(int window, int gadget, int row);
// The first row shown and how many rows fit.
int ListTopRow(int window, int gadget);
int ListVisibleRows(int window, int gadget);

// --- Popup menus ------------------------------------------------------------------------
// Creates menu `menu` (1..63) empty, replacing one of that number.
int CreatePopupMenu(int menu);
int IsMenu(int menu);
void FreeMenu(int menu);
void MenuItem(int menu, int command, const std::string& text);
void MenuBar(int menu);  // separator
void SetMenuItemState(int menu, int command, int checked);
int GetMenuItemState(int menu, int command);
// Greys an item out (enabled 0) or makes it choosable again; a disabled item cannot be
// chosen, by the user or by ChooseMenuItem. Items start enabled.
void SetMenuItemEnabled(int menu, int command, int enabled);
int GetMenuItemEnabled(int menu, int command);
// Shows the menu at screen position (x, y) without blocking; the chosen item arrives as
// EventMenu of `window` with object = command. Returns 0 when menu or window is missing.
int DisplayPopupMenu(int menu, int window, int x, int y);
// The command of each item in order (0 for separators) and its text; for tests.
int MenuItemCount(int menu);
int MenuItemCommand(int menu, int index);
std::string MenuItemText(int menu, int index);
// Chooses an item as if the user clicked it in a menu displayed for `window` (tests,
// keyboard navigation). 1 when the item exists.
int ChooseMenuItem(int menu, int window, int command);

// --- Tray icon -------------------------------------------------------------------------
// Adds icon `tray` for window `window` showing image `image`. Returns 1 when the icon
// exists afterwards; 0 when there is no tray host (the icon is then not kept: re-add it
// on MsgTaskbarCreated). Clicks arrive as EventSysTray of the window.
int AddSysTrayIcon(int tray, int window, int image);
int IsSysTrayIcon(int tray);
void ChangeSysTrayIcon(int tray, int image);
void SysTrayIconToolTip(int tray, const std::string& text);
void RemoveSysTrayIcon(int tray);
int SysTrayAvailable();

// --- Taskbar entry (media-player object and launcher progress) ---------------------------
// The taskbar entry of window 1 is an MPRIS2 player on the session bus (PlayPause = thumb
// button 1, Next = thumb button 2, delivered as MsgThumbButtonClick) and a launcher-entry
// progress for the desktop file "corvale-player.desktop"; see the section at the end of
// this header (mpris.cpp, launcher_entry.cpp). Without a session bus both functions
// return 0 and nothing happens.
// Sets a taskbar button's tooltip/image (image may be 0); 1 when the player is on the bus.
int SetThumbButton(int window, int buttonId, int image, const std::string& tooltip);
enum TaskbarProgressState : int { ProgressNone = 0, ProgressNormal = 1, ProgressError = 2, ProgressPaused = 3, ProgressIndeterminate = 4 };
// value/total as Windows takes them; ProgressError and ProgressPaused also set "urgent".
int SetTaskbarProgress(int window, int state, int value, int total);

// --- Images -------------------------------------------------------------------------------
// Images are addressed by number (1..65535, the player's fixed numbers) or by handle:
// pass ImageAny to get a fresh handle (>= 0x10000) returned. Every function returns the
// image's number/handle on success and 0 on failure. 24-bit images are opaque RGB,
// 32-bit images carry alpha (premultiplied internally).
constexpr int ImageAny = -1;
int CreateImage(int image, int width, int height, int depth = 24, uint32_t rgb = 0);
int CopyImage(int source, int image);
// Smooth resize in place.
int ResizeImage(int image, int width, int height);
// Decodes PNG (libpng) or JPEG (libjpeg), chosen by the file's signature; 32-bit result.
int LoadImageFile(int image, const std::string& path);
int CatchImage(int image, const void* data, size_t size);
// Bytes from the network (artwork): decoded like CatchImage, but an image whose header
// announces more than kUntrustedImageMaxSide pixels on either side is refused before any
// pixel memory is taken, so a hostile PNG or JPEG header cannot exhaust memory.
constexpr int kUntrustedImageMaxSide = 4096;
int CatchUntrustedImage(int image, const void* data, size_t size);
// Writes a PNG (tests, screenshots). 1 or 0.
int SaveImagePng(int image, const std::string& path);
void FreeImage(int image);
int IsImage(int image);
int ImageWidth(int image);
int ImageHeight(int image);
int ImageDepth(int image);
// Pixel as 0xAARRGGBB (not premultiplied); 0 outside the image.
uint32_t GetImagePixel(int image, int x, int y);
// Grabs what window `window` shows (its client area with the controls) into an image.
int GrabWindowImage(int window, int image);

// --- Drawing ---------------------------------------------------------------------------------
// One drawing at a time per thread: start on a target, draw, stop. Stopping shows the
// result on screen (canvas and window targets). Returns 1 or 0.
int StartDrawingCanvas(int window, int gadget);
int StartDrawingWindow(int window);  // the window's own surface behind its controls
int StartDrawingImage(int image);
void StopDrawing();
// Limits the following drawing calls to a rectangle until UnclipOutput or StopDrawing.
// When every call of a drawing ran under a clip, stopping refreshes only the clipped
// rectangles on screen instead of the whole target.
void ClipOutput(int x, int y, int width, int height);
void UnclipOutput();
int OutputWidth();
int OutputHeight();
// Opaque box (alpha 255 on 32-bit images).
void DrawBox(int x, int y, int width, int height, uint32_t rgb);
// Alpha-blended box, 0xAARRGGBB.
void DrawBoxBlend(int x, int y, int width, int height, uint32_t rgba);
// Sets the box to fully transparent (32-bit images); black on opaque targets.
void ClearBox(int x, int y, int width, int height);
// Alpha-blended image at (x, y); width/height > 0 scales it (smooth).
void DrawImageBlend(int image, int x, int y, int width = -1, int height = -1);
// Copies the image's pixels including alpha (no blending); width/height > 0 scales.
void DrawImageCopy(int image, int x, int y, int width = -1, int height = -1);
// Text: DrawingFont selects the font (0 = the toolkit's default), the text colour is
// given per call, the background is always transparent.
void DrawingFont(int font);
enum TextFlag : int {
  TextSingleLine = 0x1,
  TextCenter = 0x2,       // horizontally
  TextVCenter = 0x4,      // vertically (single line)
  TextWordWrap = 0x8,
  TextEndEllipsis = 0x10, // cut with "..." at the end when too long
  TextNoPrefix = 0x20,    // "&" shown literally; without it "&x" shows x ("&&" shows "&")
  TextRight = 0x40,
};
// Text at (x, y) (top-left), one line, "&" literal.
void DrawTextAt(int x, int y, const std::string& text, uint32_t rgb);
// Text laid out in the rectangle with TextFlag flags.
void DrawTextRect(int x, int y, int width, int height, const std::string& text, int flags, uint32_t rgb);
// Width and height of a single line in the current drawing font.
int TextWidth(const std::string& text);
int TextHeight(const std::string& text);

// --- Fonts -----------------------------------------------------------------------------------
// A font of pixel height round(size / 0.72) (halves away from zero), weight normal,
// antialiased, variable pitch. Returns a font handle (>= 1), 0 on failure.
int CreateUiFont(const std::string& face, float size);
// 1; 0 handles are ignored.
int FreeFont(int font);
// The pixel height CreateUiFont uses for a size.
int UiFontPixelHeight(float size);
// Registers a font file for this process only. 1 or 0.
int RegisterPrivateFont(const std::string& path);
// The family the font really resolved to (tests).
std::string FontFamily(int font);
int FontPixelSize(int font);
// Distance from one line of text to the next in the font (0 = the toolkit's default), in
// whole pixels, rounded up.
int FontLineSpacing(int font);
int MeasureTextWidth(int font, const std::string& text);

// --- Threads ----------------------------------------------------------------------------------
// Threads run proc(argument) on a std::thread. Numbers start at 1 and are not reused.
// A finished thread is joined by IsThread / WaitThread or at teardown; nothing is detached.
using ThreadProc = void (*)(int argument);
int CreateThread(ThreadProc proc, int argument);
// 1 while the thread runs; 0 for 0, unknown or finished threads.
int IsThread(int thread);
// Waits up to timeoutMs (-1 = no limit) for the thread to end; 1 when it has ended.
int WaitThread(int thread, int timeoutMs);
// Cooperative stop: sets the thread's stop flag. The thread reads ThreadStopRequested()
// between its steps (and its network calls use bounded time-outs).
void RequestThreadStop(int thread);
// In a runtime thread: 1 once its stop was requested or the runtime is tearing down.
// On other threads: 1 only during teardown.
int ThreadStopRequested();
// Number of the calling runtime thread, 0 on other threads.
int CurrentThread();

// --- Clipboard ----------------------------------------------------------------------------------
int SetClipboardText(const std::string& text);
std::string GetClipboardText();

// --- Dialogs ------------------------------------------------------------------------------------
// Message box flags (the Windows values the player uses) and answers.
enum MessageBoxFlag : int {
  MbOk = 0x0,
  MbOkCancel = 0x1,
  MbYesNoCancel = 0x3,
  MbYesNo = 0x4,
  MbIconError = 0x10,
  MbIconQuestion = 0x20,
  MbIconWarning = 0x30,
  MbIconInformation = 0x40,
  MbDefButton2 = 0x100,
  MbTaskModal = 0x2000,
  MbSetForeground = 0x10000,
};
enum MessageBoxAnswer : int { IdOk = 1, IdCancel = 2, IdYes = 6, IdNo = 7 };
// Shows a message box and returns the button pressed. From the main thread it runs a
// modal loop; from another thread the box is shown by the main thread (which goes on
// running the player's loop) while the caller waits. owner: window number or 0.
// With CORVALE_DIALOGS=stderr the box is not shown: "dialog: <caption>: <text>" (CR and
// LF written as \r and \n) goes to standard error and the answer is the default button,
// or Yes/No/OK/Cancel from CORVALE_DIALOG_ANSWER. The same happens without CORVALE_DIALOGS
// on a platform that shows nothing (offscreen, minimal); CORVALE_DIALOGS=show shows anyway.
int ShowMessageBox(const std::string& caption, const std::string& text, int flags, int owner);
// The save-file dialog: title, suggested path, pattern "Name|*.a;*.b" (several pairs
// joined by "|" allowed), selected pattern index. Returns the chosen path or "" (cancel).
// Callable from any thread like ShowMessageBox. With CORVALE_DIALOGS=stderr: writes
// "dialog: <title>: <defaultFile>" and answers CORVALE_DIALOG_FILE ("" = cancel).
std::string SaveFileRequester(const std::string& title, const std::string& defaultFile,
                              const std::string& pattern, int patternIndex = 0);
// The escaped one-line form used by the stderr mode (exposed for tests).
std::string DialogLine(std::string_view caption, std::string_view text);

// --- Sleep and the network -------------------------------------------------------------------
// Linux: logind's PrepareForSleep and NetworkManager's state on the system bus (its address
// from DBUS_SYSTEM_BUS_ADDRESS, else the standard socket; nothing is launched). While logind
// is there the runtime holds a delay inhibitor lock, so that window 1 hears MsgSuspend
// before the system sleeps; the callback stops what must stop and calls AllowSleep, which
// gives the lock up (it is given up 3 s later in any case, and at once when no callback
// handles MsgSuspend). The resume (MsgResume) takes a new lock. NetworkManager's initial
// state and each change that moves between up and down arrive as MsgNetworkChanged.
// Windows: PBT_APMSUSPEND and PBT_APMRESUMEAUTOMATIC; the network comes from the platform.
void AllowSleep();
enum SystemWatchFlag : int { SystemBusConnected = 0x1, SystemSleepWatched = 0x2, SystemNetworkWatched = 0x4 };
// SystemWatchFlag bits of what is followed (Windows: SystemSleepWatched; 0 without a system bus).
int SystemWatchState();

// --- Screens and the mouse -------------------------------------------------------------------
// Work area (screen minus panels) of the screen nearest to the rectangle. 0 = no screen.
int WorkAreaForRect(int x, int y, int width, int height, int* areaX, int* areaY, int* areaWidth,
                    int* areaHeight);
// Bounds of all screens together.
int DesktopBounds(int* x, int* y, int* width, int* height);
void CursorPosition(int* x, int* y);
// Lines per wheel notch (the desktop's setting; 3 when it gives none).
int WheelScrollLines();

// ==== Taskbar entry on the session bus (mpris.cpp, launcher_entry.cpp) ===================
// The media player "org.mpris.MediaPlayer2.corvaleplayer" (Identity "Corvale Player",
// DesktopEntry "corvale-player") of `window`, with the launcher-entry progress. Joining
// the bus, and joining it again after the bus restarted, sends MsgTaskbarButtonCreated
// to the window's callback; PlayPause/Play/Pause/Stop (mute button, id 1) and Next
// (volume-mode button, id 2) send MsgThumbButtonClick (the callback posts the menu
// command). Raise activates the window; Quit posts its close request. The bus address is DBUS_SESSION_BUS_ADDRESS, else
// $XDG_RUNTIME_DIR/bus; no bus is ever launched. Main thread only.
int StartTaskbarEntry(int window);
void StopTaskbarEntry();
// 1 while the player is registered on a connected bus.
int TaskbarEntryConnected();
// Looks at the bus now (the same check runs every 2 s): reconnects a lost bus and
// publishes changes of the metadata source.
void CheckTaskbarEntry();
// PlaybackStatus "Paused" while muted, "Playing" otherwise.
void SetTaskbarMuted(int muted);
// Where the now-playing metadata comes from (xesam:artist, xesam:title, mpris:artUrl;
// a local path becomes a file URL). Read on each property request and check.
using TaskbarMetadataSource = void (*)(std::string* artist, std::string* title, std::string* artUrl);
void SetTaskbarMetadataSource(TaskbarMetadataSource source);
// The desktop file the launcher-entry progress names.
inline constexpr const char* kLauncherAppUri = "application://corvale-player.desktop";
// ==== end of the taskbar entry ============================================================
