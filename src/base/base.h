// The base under every subsystem: the build constants and program names, the numbers
// that address windows, events, menu commands and timers, the program-wide record
// (AppState) and the log. Core, data, playback, ui and update all include it; it
// includes nothing of theirs.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
  WinSongLog = 7,
};

// Custom events, posted to window 1 with object 0.
enum CustomEvent : int {
  EventTaskbarState = 0x10000,
  EventVersionCheckDone = 0x10001,
  EventRefreshWindows = 0x10002,
  EventNowPlaying = 0x10004,
  EventStreamMeta = 0x10005,
  // A song was saved or could not be (the tray tooltip's notice).
  EventSongSaved = 0x10020,
  // The system goes to sleep (object 1) or has resumed (object 0).
  EventSleepState = 0x10010,
  // The network came (object 1) or went (object 0).
  EventNetworkState = 0x10011,
  // The playback worker began or ended a wait before reconnecting.
  EventReconnectState = 0x10012,
};

// Menu commands of every window: the items of the shared menu, the keyboard shortcuts
// and the taskbar buttons. Commands of the shared menu always arrive at window 1.
enum MenuCommand : int {
  MenuShowTrayMenu = 1,     // context-menu key in the secondary windows
  MenuCopy = 3,             // Ctrl+C: the window's text to the clipboard
  MenuNextVolumeMode = 4,   // taskbar button 2
  MenuVolumeAuto = 5,       // "Volume Auto"
  MenuVolumePreset1 = 6,    // "Volume Preset 1"
  MenuVolumePreset2 = 7,    // "Volume Preset 2"
  MenuMute = 8,             // "Mute Stream", taskbar button 1
  MenuOpenInfo = 9,         // "Open Info"
  MenuOpenStats = 10,       // "Open Stats"
  MenuOpenPrefs = 11,       // "Open Preferences"
  MenuBrowseWebsite = 12,   // "Browse Website"
  MenuShowManual = 13,      // "Show Manual"
  MenuQuit = 14,            // "Quit Player"
  MenuSongLog = 15,         // "Song Log..."
  MenuLoveSong = 16,        // "Love This Song"
  MenuSaveSong = 17,        // "Save This Song"
  MenuRecordAll = 18,       // "Record Every Song"
  MenuEvenLoudness = 19,    // "Even Loudness (EBU R128)"
};

// Timers of window 1.
enum MainTimer : int {
  TimerReconnect = 2,
  TimerStreamInfo = 3,
  TimerVersionCheck = 5,
  TimerSaveSettings = 6,
  TimerSongNotice = 20,  // the tray tooltip's notice of a saved song ends
};
// The statistics window's own refresh timer.
constexpr int kStatsTimer = 1;

// The flags of the window openers (OpenMainWindow, OpenDebugLogWindow and the
// information, statistics and preferences windows), named at the call site.
constexpr int kCloseWindow = 0;
constexpr int kOpenWindow = 1;
constexpr int kKeepLayout = 0;
constexpr int kRelayout = 1;
constexpr int kNoCopy = 0;
constexpr int kCopyToClipboard = 1;

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
  // Set when the session ended (the desktop's end of session, SIGTERM, SIGHUP): the
  // settings are saved and the lock is given up there, so the shutdown skips its steps.
  std::atomic<int64_t> sessionEnded{0};

  // Worker thread numbers of the runtime; written by the starting side; atomic.
  std::atomic<int> versionCheckThread{0};
  std::atomic<int> toolThread{0};  // the registration with the external version-check tool
  std::atomic<int> streamInfoThread{0};

  // Tray icon images (runtime image numbers); 0 when not loaded. Main thread only.
  int trayImageNormal = 0;
  int trayImageMuted = 0;
  int trayImageConnect = 0;

  // DPI scales; each window writes its own on the main thread.
  float mainScale = 1.0f;
  float prefsScale = 1.0f;
  float statsScale = 1.0f;
  float infoScale = 1.0f;
  float downloaderScale = 1.0f;
  float debugScale = 1.0f;

  // Event-loop timing in unsigned 32-bit milliseconds; differences are taken unsigned
  // so they survive the clock's wrap. Main thread only.
  uint32_t loopNow = 0;
  uint32_t levelPollStamp = 0;
  uint32_t vuDrawStamp = 0;
  uint32_t housekeepingStamp = 0;
  uint32_t statsRefreshStamp = 0;
  // The earliest idle pass asked for since the last one (RequestWakeAt); wakeAsked 0: none.
  uint32_t wakeDue = 0;
  int wakeAsked = 0;
};

extern AppState gApp;

// gApp.version "5.4" and gApp.versionLong "5.4 (build 2025.1205.2124.52003)".
void BuildVersionStrings();

// --- Log -------------------------------------------------------------------
// WriteLog appends a finished line ("hh:mm:ss message") to the log file, the memory
// log and the log viewer (the debug window). Callable from any thread. Callers test
// gApp.debugLogging.
int WriteLog(const std::string& line);
// Convenience used by every subsystem: when logging is on, prefixes the current
// time "%hh:%ii:%ss " and calls WriteLog.
void Log(std::string_view message);
inline bool Logging() { return gApp.debugLogging.load(std::memory_order_relaxed) == 1; }
// Who shows the memory log text (the debug window registers itself); sequence orders
// the texts of different threads. nullptr: nobody.
using LogViewer = void (*)(const std::string& text, uint64_t sequence);
void SetLogViewer(LogViewer viewer);

// The log file: "Debug %yyyy-%mm-%dd %hh-%ii-%ss.txt" in a folder, records
// "%yyyy%mm%dd%hh%ii%ss <line>\r\n", each written through to the file.
std::string LogFileName(int64_t date);
std::string FormatLogRecord(int64_t date, const std::string& line);
// Creates a new log file in folder (closing any open one); 1 when open.
int OpenLogFile(const std::string& folder, int64_t date);
void CloseLogFile();
int LogFileIsOpen();
std::string LogFilePath();
// The memory log: the last ten lines, oldest first; its text is each line + CR LF.
std::vector<std::string> MemoryLogLines();
std::string MemoryLogText();
void ClearMemoryLog();
// A scale with 10 decimals, trailing zeros and point stripped: 1.5 -> "1.5", 1.0 -> "1".
std::string FormatScale(double scale);
