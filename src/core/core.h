// The application core: start-up and shutdown, the event loop, the debug log window,
// the error boxes, and the tray icon with the shared menu. The program-wide record, the
// numbers and the log are in the base below every subsystem (base/base.h).
// This header is the whole surface of the core for the other subsystems.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/base.h"

// Entry point of the executable: start-up, the loop, shutdown. Returns the exit code.
int PlayerMain(int argc, char** argv);

// --- Event loop ----------------------------------------------------------------
// Runs the loop until an idle pass finds quitRequested = 1.
void RunEventLoop();
// One event taken from the queue, dispatched by window and kind.
void DispatchEvent(int kind, int window, int object, int type);
// The idle work at now; returns 1 when the loop is to end.
int IdlePass(uint32_t now);
// Sets the loop's wait timeout and time stamps for a loop that starts at now.
void InitLoopTiming(uint32_t now);
// Asks for an idle pass at due (main thread). The requests last until the next pass, in
// which whoever still needs one asks again; window timers wake the loop themselves.
void RequestWakeAt(uint32_t due);
// The longest wait when nobody asked: a second, so that work no owner asks a pass for
// (a reconnect owed while the last worker was ending) waits at most that long, while a
// quiet loop still costs nothing measurable.
constexpr uint32_t kUnaskedWaitMs = 1000;
// How long the loop may wait for an event at now: until the earliest request, 0 when it
// is due or a quit is requested, at most kUnaskedWaitMs.
uint32_t IdleWaitMs(uint32_t now);
// Milliseconds from stamp to now on the wrapping 32-bit clock.
inline uint32_t ElapsedMs(uint32_t now, uint32_t stamp) { return now - stamp; }
// The reconnect watchdog: 1 when the next stream is to be started. The two probes are
// asked only when a stream is set and no attempt is running.
int ReconnectWatchdogDue(uint32_t streamHandle, int64_t connecting, const std::function<int()>& channelActive,
                         const std::function<uint64_t()>& connectedPosition);
// The main window's title while a title plays.
std::string NowPlayingTitle(const std::string& artist, const std::string& title);
// The manual page for a language code ("" for the default page).
std::string ManualPage(const std::string& dataFolder, const std::string& lang);

// --- Debug log window (window 6) ---------------------------------------------
// open 0 closes the window and ends logging; returns 1 when the window is open after.
int OpenDebugLogWindow(int open, int relayout, int copy);
// Shows the memory log text in control 22 from any thread; sequence orders the texts.
void ShowDebugLogText(const std::string& text, uint64_t sequence);
// Events of window 6 from the loop, and the window's callback.
void HandleDebugLogEvent(int kind, int object, int type);
struct WindowMessage;
int DebugLogWindowCallback(const WindowMessage& message);
// Shows the newest text handed over by another thread (main thread, every loop pass).
void FlushDebugLogText();
// The idle pass's part: while the window is open, asks for the pass that shows the lines
// workers wrote meanwhile.
void DebugLogIdle(uint32_t now);
// The "Savepath" button: asks for the log folder and starts the next log file there.
void ChooseDebugSavePath();
// The close request: asks "Abort Debugging?" and closes the window only on Yes.
void ConfirmCloseDebugLogWindow();

// --- Error boxes and notices -----------------------------------------------
// Blocking error box, caption "Corvale Player Error!". Callable from any thread.
void ShowErrorBox(const std::string& text);
// Restores the main window, shows the error box and (for fatal cases) halts playback.
void ReportFatalError(const std::string& text);
// Fire-and-forget notice on its own thread; 1 when started.
int MessageBoxAsync(const std::string& caption, const std::string& text, int flags, int ownerWindow);
// Question box; returns the button pressed (IDYES 6, IDNO 7, IDOK 1, IDCANCEL 2).
int MessageBoxSync(const std::string& caption, const std::string& text, int flags, int ownerWindow);

// A notice after which the program goes on (tray images, hotkey): restores the main
// window and shows the error box, but leaves playback running.
void ReportError(const std::string& text);

void RestoreMainWindow();
// Fades the stream out and forgets it, and asks every worker to stop (never suspends,
// never waits for a network operation).
void HaltPlayback();
// The threads of notice boxes that may still be open (MessageBoxAsync).
std::vector<int> OpenBoxThreads();
// At exit: waits at most waitMs in all for the workers to end. 1 when none is running,
// 0 when one still runs (the process must then not free what the workers use).
int WaitForWorkers(int waitMs);

// --- Probes ----------------------------------------------------------------------------
// The primary screen's DPI / 96.
float GetSystemDpiScale();
// The DPI / 96 of window `window` (when it exists), else of the screen holding the
// rectangle, else the system's. Always 1.
int GetDpiScale(int window, int x, int y, int width, int height, float* scale);

// --- Start-up and shutdown internals ---------------------------------------------------------
// The thread that runs the windows and the loop; set by start-up (and by the debug window,
// which only ever runs there).
void SetCoreMainThread();
int OnCoreMainThread();
// The command line's custom stream URL: the last parameter that is not an option (an
// option starts with "-"), double quotes removed, leading and trailing spaces trimmed;
// "" without one.
std::string CustomUrlFromArguments(int argc, char** argv);
// --help and --version: prints the usage or the long version to out and returns the
// exit code 0; --save-song hands "Save This Song" to the running player (0), or says on
// standard error that none runs (1); -1 when the command line asks none of them.
int AnswerCommandLine(int argc, char** argv, std::FILE* out);
// After the loop: saves the settings, logs "Exiting.", halts playback and gives up the
// instance lock, unless the end of the session already did so.
void RunShutdown();
// Final teardown and process exit code; never returns when a worker still runs.
int TeardownAndExit(int code);

// --- Tray icon and the shared menu (tray.cpp, webpage.cpp) ---------------------
constexpr int kTrayIcon = 1;        // tray icon 1, attached to window 1
constexpr int kTrayMenu = 1;        // popup menu 1, "TrayMenu"
constexpr int kTrayImageSize = 64;  // the tray images, not scaled
// The menu's items top to bottom; command 0 is a separator.
struct TrayMenuEntry {
  int command;
  const char* text;
};
const TrayMenuEntry* TrayMenuItems(int* count);
// A saved song's notice in the tray tooltip (after EventSongSaved) for kSongNoticeMs,
// then the usual tooltip again (TimerSongNotice).
constexpr int kSongNoticeMs = 5000;
void ShowSongNotice();
void EndSongNotice();
// The four check marks for the settings: mute when muted is non-zero; the volume item
// of preset 1 or 2, "Volume Auto" for any other preset.
struct TrayChecks {
  int mute = 0, automatic = 0, presetOne = 0, presetTwo = 0;
  int evenLoudness = 0;  // "Even Loudness (EBU R128)": Settings measure is MeasureR128
};
TrayChecks TrayMenuChecks(int64_t muted, int64_t preset, int64_t measure = 0);  // 0: MeasureRms
// Start-up: the three tray images into gApp; when one is missing, Settings trayicon = 0
// and "Unable to load icons for the tray, trayicon disabled." is reported. 1 when all loaded.
int LoadTrayImages();
// Start-up: the icon when Settings trayicon is on; logs "Unable to create trayicon.".
int CreateTrayIconAtStart();
// Adds tray icon 1 (muted image when Settings muted is exactly 1) with the tooltip
// "Corvale Player". 1 when the icon exists afterwards.
int AddTrayIcon();
void RemoveTrayIcon();
// Replaces the icon's image (nothing without an icon or an image).
void ChangeTrayImage(int image);
// The tray host came back (MsgTaskbarCreated): the icon again, when wanted.
int RecreateTrayIcon();
// Creates the menu when missing (create = kCreateMenu), then sets its four check marks.
constexpr int kCreateMenu = 1;
int BuildTrayMenu(int create);
// Shows the menu owned by window 1 at the mouse position minus one pixel.
int ShowTrayMenu();
// A tray event of window 1 (TrayClickType); nothing while Settings trayicon is 0.
// Returns 1 when it acted.
int HandleTrayEvent(int type);
// The tray icon's tooltip: "Corvale Player", or "Corvale Player - Reconnecting" while the
// player waits to reconnect.
std::string TrayToolTipText();

// Sleep and the network: what follows them is started after the first connect and
// stopped first at shutdown; one debug line says what is followed.
void StartRecoveryWatch();
void StopRecoveryWatch();
// EventSleepState, EventNetworkState and EventReconnectState of window 1.
void HandleRecoveryEvent(int kind, int object);
// Opens an http(s) address or a local HTML page in the user's browser (the opener is
// $CORVALE_OPENER or xdg-open); anything else is refused. Failure shows a message box.
int OpenWebPage(const std::string& url);
// What OpenWebPage hands to the opener for an address; "" when refused.
std::string WebPageTarget(const std::string& url);
// "Show Manual": the manual page for the user's language (see ManualPage), opened.
std::string ManualPageForUser();
int ShowManual();
