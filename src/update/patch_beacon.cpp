// The external version-check tool, PatchBeacon: found through the machine's registry,
// run with an option and the path of the installed "version.json", judged by its exit
// code. The player never waits for it without a limit.
#include <string>
#include <vector>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "update/update.h"
#include "update/update_internal.h"

std::string PatchBeaconExecutable() {
  std::string exe;
  // Only the plain string type counts; an expandable string is taken as missing.
  if (RegistryQuery(RegLocalMachine, kPatchBeaconKey, "Exe", &exe) != RegSz) return "";
  // A full path is required: a bare name would be looked up along PATH.
  if (exe.empty() || exe[0] != '/') return "";
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
  int ran = RunProcessWait(exe, {name, versionFile}, gToolWaitMs.load(), &code);
  if (ran == 2) {
    if (Logging()) Log("PatchBeacon did not end in time and was stopped.");
    return -1;
  }
  if (ran != 1 || code < 0) return -1;
  return code;
}

int RegisterWithPatchBeacon() {
  const std::string versionFile = gApp.dataFolder + "version.json";
  gApp.toolRegistered.store(0);
  int find = RunPatchBeaconTool(kToolFind, versionFile);
  if (find == 0) {
    gApp.toolRegistered.store(1);
    if (gSettings.versionCheck.load() == 0) RunPatchBeaconTool(kToolRemove, versionFile);
  } else if (find > 0) {
    if (RunPatchBeaconTool(kToolAdd, versionFile) == 0) gApp.toolRegistered.store(1);
  }
  if (Logging()) Log("PBT find = " + std::to_string(find) + ".");
  return find;
}

int UpdatePatchBeaconRegistration(int on) {
  const std::string versionFile = gApp.dataFolder + "version.json";
  if (!on) return RunPatchBeaconTool(kToolRemove, versionFile);
  int find = RunPatchBeaconTool(kToolFind, versionFile);
  if (find <= 0) return find;
  return RunPatchBeaconTool(kToolAdd, versionFile);
}
