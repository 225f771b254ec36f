// Sleep, resume and the network's comings and goings reach the playback here, on the
// main thread, and the listener sees "Reconnecting" while the player waits.
#include <string>

#include "core/core.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

namespace {

int gReconnectingShown = 0;  // main thread only
int gKernelWatch = 0;        // 1 while the platform's network watch runs; main thread only

// The platform's watch thread: the news goes to the main thread through the queue.
void KernelNetworkChanged(int up) { PostEvent(EventNetworkState, WinMain, up ? 1 : 0); }

void ShowReconnecting() {
  const int now = PlaybackReconnecting();
  if (now == gReconnectingShown) return;
  gReconnectingShown = now;
  if (gSettings.trayIcon.load() != 0 && IsSysTrayIcon(kTrayIcon)) SysTrayIconToolTip(kTrayIcon, TrayToolTipText());
  // The media controls read the title through the metadata source; tell them now.
  CheckTaskbarEntry();
}

}  // namespace

std::string TrayToolTipText() {
  if (!PlaybackReconnecting()) return kProgramName;
  return std::string(kProgramName) + " - " + kReconnectingText;
}

void StartRecoveryWatch() {
  const int state = SystemWatchState();
  std::string network;
  if (state & SystemNetworkWatched) {
    network = "NetworkManager";
  } else if (!gKernelWatch && StartNetworkWatch(KernelNetworkChanged)) {
    gKernelWatch = 1;
    network = "the system's address changes";
  } else {
    network = "nothing";
  }
  if (Logging())
    Log(std::string("Sleep ") +
        ((state & SystemSleepWatched) ? "followed" : "not followed (no logind on the system bus)") +
        ", network state from " + network + ".");
}

void StopRecoveryWatch() {
  if (!gKernelWatch) return;
  StopNetworkWatch();
  gKernelWatch = 0;
}

void HandleRecoveryEvent(int kind, int object) {
  switch (kind) {
    case EventSleepState:
      if (object) {
        SuspendPlayback();
        // The stream has stopped: the system may sleep now.
        AllowSleep();
      } else {
        ResumePlayback();
      }
      break;
    case EventNetworkState:
      NetworkChanged(object ? kNetworkUp : kNetworkDown);
      break;
    default:
      break;
  }
  ShowReconnecting();
}
