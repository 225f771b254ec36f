// The application core: program-wide state, start-up and shutdown, the event loop,
// the log with its debug window, and the tray icon with the shared menu.
// This header is the whole surface of the core for the other subsystems.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// Build constants.
constexpr int kVersionMajor = 5;
constexpr int kVersionMinor = 4;
constexpr int kBuildStamp[4] = {2025, 1205, 2124, 52003};

// The program identifier: instance lock name, window marker, per-user folder name.
inline constexpr const char* kProgramId = "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}";
inline constexpr const char* kProgramName = "Corvale Player";

// Window numbers.
enum WindowNumber : int {
  WinMain = 1,
  WinStats = 2,
  WinInfo = 3,
  WinPrefs = 4,
  WinDownloader = 5,
  WinDebug = 6,
};

// Custom events, posted to window 1 with object 0.
enum CustomEvent : int {
  EventTaskbarState = 0x10000,
  EventVersionCheckDone = 0x10001,
  EventRefreshWindows = 0x10002,
  EventNowPlaying = 0x10004,
  EventStreamMeta = 0x10005,
};

// Timers of window 1.
enum MainTimer : int {
  TimerReconnect = 2,
  TimerStreamInfo = 3,
  TimerVersionCheck = 5,
  TimerSaveSettings = 6,
};

// Shared colours of every window.
constexpr uint32_t kColorBackground = 0x2C1C3C;  // RGB(44, 28, 60) as 0xRRGGBB
constexpr uint32_t kColorText = 0xCFCFCF;        // RGB(207, 207, 207)

struct AppState {
  // Written once during start-up on the main thread; read-only afterwards.
  std::string version;      // "5.4"
  std::string versionLong;  // "5.4 (build 2025.1205.2124.52003)"
  std::string dataFolder;   // executable folder + "data/"
  std::string userFolder;   // per-user application data + program id + "/"
  std::string userAgent;    // "Corvale Player/5.4"

  // Flags written by the main thread (quitRequested also by the shutdown path),
  // read by workers; atomic.
  std::atomic<int64_t> toolRegistered{0};
  std::atomic<int64_t> quitRequested{0};
  std::atomic<int64_t> minimized{0};
  std::atomic<int64_t> debugLogging{0};

  // Worker thread numbers of the runtime; written by the starting side; atomic.
  std::atomic<int> versionCheckThread{0};
  std::atomic<int> streamInfoThread{0};

  // Tray icon images (runtime image numbers); 0 when not loaded. Main thread only.
  int trayImageNormal = 0;
  int trayImageMuted = 0;
  int trayImageConnect = 0;

  // DPI scales; each window writes its own on the main thread.
  float systemScale = 1.0f;
  float mainScale = 1.0f;
  float prefsScale = 1.0f;
  float statsScale = 1.0f;
  float infoScale = 1.0f;
  float downloaderScale = 1.0f;
  float debugScale = 1.0f;

  int64_t wheelScrollLines = 3;

  // Event-loop timing in unsigned 32-bit milliseconds; differences are taken unsigned
  // so they survive the clock's wrap. Main thread only.
  uint32_t waitTimeout = 5;
  uint32_t loopNow = 0;
  uint32_t levelPollStamp = 0;
  uint32_t vuDrawStamp = 0;
  uint32_t housekeepingStamp = 0;
  uint32_t statsRefreshStamp = 0;
};

extern AppState gApp;

// Entry point of the executable: start-up, the loop, shutdown. Returns the exit code.
int PlayerMain(int argc, char** argv);

// --- Log -------------------------------------------------------------------
// WriteLog appends a finished line ("hh:mm:ss message") to the log file, the memory
// log and the debug window. Callable from any thread. Callers test gApp.debugLogging.
int WriteLog(const std::string& line);
// Convenience used by every subsystem: when logging is on, prefixes the current
// time "%hh:%ii:%ss " and calls WriteLog.
void Log(std::string_view message);
inline bool Logging() { return gApp.debugLogging.load(std::memory_order_relaxed) == 1; }

// --- Error boxes and notices -----------------------------------------------
// Blocking error box, caption "Corvale Player Error!". Callable from any thread.
void ShowErrorBox(const std::string& text);
// Restores the main window, shows the error box and (for fatal cases) halts playback.
void ReportFatalError(const std::string& text);
// Fire-and-forget notice on its own thread; 1 when started.
int MessageBoxAsync(const std::string& caption, const std::string& text, int flags, int ownerWindow);
// Question box; returns the button pressed (IDYES 6, IDNO 7, IDOK 1, IDCANCEL 2).
int MessageBoxSync(const std::string& caption, const std::string& text, int flags, int ownerWindow);

void RestoreMainWindow();
void HaltPlayback();
