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

int PlayerMain(int argc, char** argv) {
  // --help and --version answer on the terminal before anything else starts.
  const int answered = AnswerCommandLine(argc, argv, stdout);
  if (answered >= 0) return answered;
  LimitMemoryArenas();
  // The runtime: windows, events, images, fonts, threads, dialogs. The desktop file
  // name and window class "corvale-player" are the application's identity.
  if (!RuntimeInit(argc, argv)) {
    std::fprintf(stderr, "Corvale Player: no display available.\n");
    return 1;
  }
  SetCoreMainThread();
  // The memory log and the skin-image cache are plain records that need no setup.

  // The version strings.
  BuildVersionStrings();

  // The DPI scales of every window start at the system's.
  gApp.systemScale = GetSystemDpiScale();
  gApp.mainScale = gApp.prefsScale = gApp.statsScale = gApp.infoScale = gApp.downloaderScale = gApp.debugScale =
      gApp.systemScale;

  // The oldest system the program supports (the kernel; on Windows the NT version).
  if (!IsLinuxVersionAtLeast(kOldestSystem.major, kOldestSystem.minor)) {
    ShowErrorBox(kOldestSystem.error);
    return TeardownAndExit(0);
  }

  // The application identity is set by the runtime (desktop file name).
  // The program data folder.
  gApp.dataFolder = ExecutableFolder() + "data/";

  // The dark background brush is the colour kColorBackground that windows set.
  // The private font; a failure is ignored.
  RegisterPrivateFont(gApp.dataFolder + "SourceSansPro-Regular.otf");

  // Every file opened from now on is written through a 131072-byte buffer.
  SetFileBufferSize(131072);

  // One instance per user: a second start hands over to the first and ends.
  if (SingleInstanceLock(kProgramId) == 2) {
    int instance = FindInstanceWindow(kProgramId, 1);
    if (instance) ActivateWindow(instance);
    return TeardownAndExit(0);
  }

  // The HTTP user agent and the per-user folder.
  gApp.userAgent = std::string(kProgramName) + "/" + gApp.version;
  gApp.userFolder = GetKnownFolder(4, 0) + kProgramId + "/";

  // The last command-line parameter is a custom stream or playlist URL.
  SetPlayerString(&PlayerState::customUrl, CustomUrlFromArguments(argc, argv));

  // Station, version data and settings.
  std::string dataFault = LoadProgramData();
  if (!dataFault.empty()) {
    ReportFatalError(dataFault);
    return AbortStartup();
  }
  // The volume of the mode the settings chose.
  gPlayer.volume.store(SettingsVolumeFactor());

  // The song log: only the instance that holds the lock ever writes it.
  SongLogInit();

  // Tray images; without them the tray icon is off (and saved so), and the
  // player goes on playing.
  LoadTrayImages();

  // The main window.
  if (!OpenMainWindow(kOpenWindow)) return AbortStartup();

  // The debug log window when it was open last time; start-up lines are logged
  // from here on.
  if (gSettings.debugShow.load() != 0) OpenDebugLogWindow(kOpenWindow, kRelayout, kNoCopy);

  // The tray host and taskbar entry messages reach the main window's callback
  // directly from the runtime; nothing to register.
  // The tray icon.
  if (gSettings.trayIcon.load() != 0) CreateTrayIconAtStart();

  // The registration with the external version-check tool, in the background: its
  // answer logs "PBT find = " and starts the automatic version check.
  StartPatchBeaconRegistration();

  // The audio library: loading, options, user agent, output, the float
  // checks and the add-ons.
  std::string audioFault = StartAudioLibrary(gApp.dataFolder, gApp.userAgent);
  if (!audioFault.empty()) {
    ReportFatalError(audioFault);
    return AbortStartup();
  }

  // The start and connect times the statistics count from.
  int64_t now = DateNow();
  gPlayer.startTime.store(now);
  gPlayer.connectTime.store(now);

  // Stream information is refreshed on a timer unless a custom URL is played.
  if (PlayerString(&PlayerState::customUrl).empty())
    AddWindowTimer(WinMain, TimerStreamInfo, static_cast<int>(gStation.refreshInterval));
  else if (Logging())
    Log("Custom stream url.");

  // The first stream information, on this thread.
  StreamInfoWorker(kStreamInfoStartup);

  // Connect the current stream.
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  StartRecoveryWatch();

  // Restart by the session manager.
  RegisterApplicationRestart();

  // The first title is measured from its first buffer.
  gPlayer.measureReset.store(1);

  // The information and statistics windows reopen when they were open.
  if (gSettings.infoState.load() != 0) OpenInfoWindow(kOpenWindow, kRelayout, kNoCopy, kKeepArtwork);
  if (gSettings.statsState.load() != 0) OpenStatsWindow(kOpenWindow, kRelayout, kNoCopy);

  // The timers of the main window.
  AddWindowTimer(WinMain, TimerVersionCheck, kVersionCheckInterval);
  AddWindowTimer(WinMain, TimerSaveSettings, kSaveSettingsInterval);
  AddWindowTimer(WinMain, TimerReconnect, kReconnectInterval);

  // The shared menu with its check marks.
  BuildTrayMenu(kCreateMenu);

  // The loop's clock and the mouse wheel's scroll lines.
  InitLoopTiming(TimeGetTime());
  gApp.wheelScrollLines = WheelScrollLines();

  // The event loop, until "Quit Player" or the main window's close request.
  if (Logging()) Log("Entering main loop.");
  RunEventLoop();

  RunShutdown();

  // The final teardown.
  return TeardownAndExit(0);
}
