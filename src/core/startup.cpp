// Start-up and shutdown: the fixed order in which the player comes up, hands a second
// start over to the running instance, enters the event loop and goes down again.
#include <unistd.h>

#include <cstdio>

#include "base/text.h"
#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "runtime/runtime.h"
#include "ui/ui.h"
#include "update/update.h"

namespace {

constexpr int kVersionCheckInterval = 604800000;  // 7 days
constexpr int kSaveSettingsInterval = 3600000;    // 1 hour
constexpr int kReconnectInterval = 3000;
// How long the exit waits for workers that were asked to stop; a worker inside a
// network call is not waited for beyond this.
constexpr int kWorkerExitWait = 300;

// Aborted start-up: the lock is given up and the process leaves through the teardown.
int AbortStartup() {
  SingleInstanceLock("");
  return TeardownAndExit(0);
}

}  // namespace

std::string CustomUrlFromArguments(int argc, char** argv) {
  std::string url;
  for (int i = 1; i < argc; ++i) {
    std::string parameter = argv[i] ? argv[i] : "";
    std::string cleaned;
    for (char c : parameter)
      if (c != '"') cleaned.push_back(c);
    cleaned = TrimSpaces(cleaned);
    // An option is never a stream address.
    if (!cleaned.empty() && cleaned[0] == '-') continue;
    url = cleaned;
  }
  return url;
}

int TeardownAndExit(int code) {
  // Every path out (an aborted start-up too) writes the song log's queue first.
  SongLogShutdown();
  // A worker that did not stop in time may still touch the shared records: leave
  // without running the destructors that would free them under it. Everything the
  // user needs on disk is written first.
  if (!WaitForWorkers(kWorkerExitWait)) {
    CloseLogFile();
    CloseAllBufferedFiles();
    std::fflush(nullptr);
    _exit(code);
  }
  // The log file is closed with its buffer written, without an "Ending log." record.
  CloseLogFile();
  CloseAllBufferedFiles();
  if (RuntimeReady()) RuntimeTeardown();
  // The audio library's own threads end with it here, before the process's static
  // records (the library's included) are destroyed under them.
  if (AudioLibraryLoaded() && gBass.BASS_Free) gBass.BASS_Free();
  return code;
}

void RunShutdown() {
  StopRecoveryWatch();
  // The title playing now is heard up to here; its row is written before anything stops.
  EndPlayingTitle();
  SongLogShutdown();
  // When the session ended, the main window's callback has already saved the settings,
  // halted playback and given up the lock.
  if (gApp.sessionEnded.load() == 0) {
    SaveSettings(kFreeDocument, kSaveIfChanged);
    if (Logging()) Log("Exiting.");
    HaltPlayback();
    SingleInstanceLock("");
  }
}

namespace {

// Every file opened from here on is written through a buffer of this size.
constexpr int kFileBufferBytes = 131072;

// The runtime (windows, events, images, fonts, threads, dialogs) on this thread; 0
// without a display.
int StartRuntime(int argc, char** argv) {
  LimitMemoryArenas();
  if (!RuntimeInit(argc, argv)) {
    std::fprintf(stderr, "Corvale Player: no display available.\n");
    return 0;
  }
  SetCoreMainThread();
  return 1;
}

// Every window starts at the system's DPI scale and follows its own monitor afterwards.
void SetWindowScalesToSystem() {
  gApp.mainScale = gApp.prefsScale = gApp.statsScale = gApp.infoScale = gApp.downloaderScale = gApp.debugScale =
      GetSystemDpiScale();
}

// The oldest system the player runs on (the kernel; on Windows the NT version); an
// older one gets the error box and 0.
int SystemSupported() {
  if (IsLinuxVersionAtLeast(kOldestSystem.major, kOldestSystem.minor)) return 1;
  ShowErrorBox(kOldestSystem.error);
  return 0;
}

// The program data folder beside the executable and its private font (a failure is
// ignored).
void UseProgramDataFolder() {
  gApp.dataFolder = ExecutableFolder() + "data/";
  RegisterPrivateFont(gApp.dataFolder + "SourceSansPro-Regular.otf");
}

// One instance per user: a second start brings the first one's window forward and gets 0.
int TakeInstanceLock() {
  if (SingleInstanceLock(kProgramId) != 2) return 1;
  int instance = FindInstanceWindow(kProgramId, 1);
  if (instance) ActivateWindow(instance);
  return 0;
}

// Station, version data and settings, then the volume of the mode the settings chose; 0
// once a fatal error was reported.
int LoadStationAndSettings() {
  std::string fault = LoadProgramData();
  if (!fault.empty()) {
    ReportFatalError(fault);
    return 0;
  }
  gPlayer.volume.store(SettingsVolumeFactor());
  return 1;
}

// The main window with the debug log window when it was open last time (start-up lines
// are logged from there on) and the tray icon; 0 when the main window cannot open.
// Without tray images the icon is off (and saved so) and the player goes on playing.
int OpenMainWindowAndTray() {
  LoadTrayImages();
  if (!OpenMainWindow(kOpenWindow)) return 0;
  if (gSettings.debugShow.load() != 0) OpenDebugLogWindow(kOpenWindow, kRelayout, kNoCopy);
  if (gSettings.trayIcon.load() != 0) CreateTrayIconAtStart();
  return 1;
}

// The audio library: loading, options, user agent, output, the float checks and the
// add-ons; 0 once a fatal error was reported.
int StartAudio() {
  std::string fault = StartAudioLibrary(gApp.dataFolder, gApp.userAgent);
  if (fault.empty()) return 1;
  ReportFatalError(fault);
  return 0;
}

// The statistics' connect time starts now (each connect attempt sets it again). Stream
// information is refreshed on a timer unless a custom URL plays; the first one is fetched
// on this thread, then the current stream connects.
void StartPlayback() {
  gPlayer.connectTime.store(DateNow());
  if (PlayerString(&PlayerState::customUrl).empty())
    AddWindowTimer(WinMain, TimerStreamInfo, static_cast<int>(gStation.refreshInterval));
  else if (Logging())
    Log("Custom stream url.");
  StreamInfoWorker(kStreamInfoStartup);
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  StartRecoveryWatch();
}

// The information and statistics windows reopen when they were open last time.
void ReopenToolWindows() {
  if (gSettings.infoState.load() != 0) OpenInfoWindow(kOpenWindow, kRelayout, kNoCopy, kKeepArtwork);
  if (gSettings.statsState.load() != 0) OpenStatsWindow(kOpenWindow, kRelayout, kNoCopy);
}

void AddMainWindowTimers() {
  AddWindowTimer(WinMain, TimerVersionCheck, kVersionCheckInterval);
  AddWindowTimer(WinMain, TimerSaveSettings, kSaveSettingsInterval);
  AddWindowTimer(WinMain, TimerReconnect, kReconnectInterval);
}

}  // namespace

int PlayerMain(int argc, char** argv) {
  // --help and --version answer on the terminal before anything else starts.
  const int answered = AnswerCommandLine(argc, argv, stdout);
  if (answered >= 0) return answered;
  if (!StartRuntime(argc, argv)) return 1;
  BuildVersionStrings();
  SetWindowScalesToSystem();
  if (!SystemSupported()) return TeardownAndExit(0);
  UseProgramDataFolder();
  SetFileBufferSize(kFileBufferBytes);
  if (!TakeInstanceLock()) return TeardownAndExit(0);
  gApp.userAgent = std::string(kProgramName) + "/" + gApp.version;
  gApp.userFolder = GetKnownFolder(KnownFolder::kUserConfig) + kProgramId + "/";
  SetPlayerString(&PlayerState::customUrl, CustomUrlFromArguments(argc, argv));
  if (!LoadStationAndSettings()) return AbortStartup();
  // Only the instance that holds the lock ever writes the song log.
  SongLogInit();
  if (!OpenMainWindowAndTray()) return AbortStartup();
  // In the background: the tool's answer logs "PBT find = " and starts the automatic
  // version check.
  StartPatchBeaconRegistration();
  if (!StartAudio()) return AbortStartup();
  StartPlayback();
  RegisterApplicationRestart();
  // The first title is measured from its first buffer.
  gPlayer.measureReset.store(1);
  ReopenToolWindows();
  AddMainWindowTimers();
  BuildTrayMenu(kCreateMenu);
  InitLoopTiming(TimeGetTime());
  if (Logging()) Log("Entering main loop.");
  // Until "Quit Player" or the main window's close request.
  RunEventLoop();
  RunShutdown();
  return TeardownAndExit(0);
}
