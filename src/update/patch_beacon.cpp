// The external version-check tool, PatchBeacon: found through the machine's registry,
// run with an option and the path of the installed "version.json", judged by its exit
// code. The player never waits for it without a limit.
#include <atomic>
#include <string>
#include <vector>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "ui/ui.h"
#include "update/update.h"
#include "update/update_internal.h"

std::string PatchBeaconExecutable() {
  std::string exe;
  // Only the plain string type counts; an expandable string is taken as missing.
  if (RegistryQuery(RegLocalMachine, kPatchBeaconKey, "Exe", &exe) != RegSz) return "";
  // A full path is required: a bare name would be looked up along PATH.
  if (!IsAbsolutePath(exe)) return "";
  return exe;
}

int RunPatchBeaconTool(const std::string& option, const std::string& versionFile) {
  std::string exe = PatchBeaconExecutable();
  if (exe.empty()) return -1;
  // The option texts end with the quote that opens the path on a command line; here the
  // path is an argument of its own, so nothing in it can split or extend the options.
  std::string name = option;
  while (!name.empty() && (name.back() == '"' || name.back() == ' ')) name.pop_back();
  if (name.empty()) return -1;
  int code = -1;
  // A worker asked to stop at exit stops the tool too, instead of waiting out the limit.
  int ran = RunProcessWait(exe, {name, versionFile}, gToolWaitMs.load(), &code, ThreadStopRequested);
  if (ran == 2) {
    if (Logging()) Log("PatchBeacon did not end in time and was stopped.");
    return -1;
  }
  if (ran != 1 || code < 0) return -1;
  return code;
}

int FindOrAddPatchBeaconRegistration(int* registered) {
  const std::string versionFile = gApp.dataFolder + "version.json";
  *registered = 0;
  int find = RunPatchBeaconTool(kToolFind, versionFile);
  if (find == 0) {
    *registered = 1;
    if (gSettings.versionCheck.load() == 0) RunPatchBeaconTool(kToolRemove, versionFile);
  } else if (find > 0) {
    if (RunPatchBeaconTool(kToolAdd, versionFile) == 0) *registered = 1;
  }
  return find;
}

namespace {

void ApplyStartupAnswer(int find, int registered) {
  gApp.toolRegistered.store(registered);
  if (Logging()) Log("PBT find = " + std::to_string(find) + ".");
}

// Written by the worker before it posts its answer, read by the main thread when the
// answer arrives (the queue orders the two); atomic.
std::atomic<int> gStartupRegistered{0};
// Set by the starter on the main thread, cleared when the answer is applied.
std::atomic<int> gToolBusy{0};

void ToolWorker(int request) {
  int answer = 0;
  if (request == ToolStartup) {
    int registered = 0;
    answer = FindOrAddPatchBeaconRegistration(&registered);
    gStartupRegistered.store(registered);
  } else {
    answer = UpdatePatchBeaconRegistration(request == ToolMarkOn ? 1 : 0);
  }
  PostEvent(EventToolAnswer, WinMain, request, answer);
}

int StartToolWorker(int request) {
  if (gToolBusy.load() || IsThread(gApp.toolThread.load())) return 0;
  gToolBusy.store(1);
  int thread = CreateThread(ToolWorker, request);
  if (!thread) {
    gToolBusy.store(0);
    return 0;
  }
  gApp.toolThread.store(thread);
  return 1;
}

}  // namespace

int RegisterWithPatchBeacon() {
  int registered = 0;
  int find = FindOrAddPatchBeaconRegistration(&registered);
  ApplyStartupAnswer(find, registered);
  return find;
}

int StartPatchBeaconRegistration() {
  gApp.toolRegistered.store(0);
  if (StartToolWorker(ToolStartup)) return 1;
  // No worker: the player checks for itself.
  HandleToolAnswer(ToolStartup, -1);
  return 0;
}

int StartPatchBeaconUpdate(int on) { return StartToolWorker(on ? ToolMarkOn : ToolMarkOff); }

void HandleToolAnswer(int request, int answer) {
  gToolBusy.store(0);
  if (request == ToolStartup) {
    ApplyStartupAnswer(answer, answer == -1 ? 0 : gStartupRegistered.load());
    StartAutomaticVersionCheck();
  }
}

int PatchBeaconBusy() { return gToolBusy.load(); }

int UpdatePatchBeaconRegistration(int on) {
  const std::string versionFile = gApp.dataFolder + "version.json";
  if (!on) return RunPatchBeaconTool(kToolRemove, versionFile);
  int find = RunPatchBeaconTool(kToolFind, versionFile);
  if (find <= 0) return find;
  return RunPatchBeaconTool(kToolAdd, versionFile);
}
