// The registration with the external version-check tool, run against the reference tool
// (tools/patch-beacon) through the file-backed registry.
#include <gtest/gtest.h>

#include <functional>

#include "ui/ui.h"
#include "update_test_util.h"

namespace {

class PatchBeacon : public UpdateTest {
 protected:
  std::string versionFile, toolLog;
  void SetUp() override {
    UpdateTest::SetUp();
    versionFile = gApp.dataFolder + "version.json";
    toolLog = dir + "tool.log";
    gApp.debugLogging = 1;
    ClearMemoryLog();
  }
  void Install(const std::string& type = "sz", const std::string& path = PatchBeaconPath()) {
    ASSERT_FALSE(PatchBeaconPath().empty());
    WriteFile(dir + "registry", "[Software\\PatchBeacon]\nExe=" + type + ":" + path + "\n");
  }
  bool LogHas(const std::string& line) { return MemoryLogText().find(line + "\r\n") != std::string::npos; }
};

}  // namespace

// Catches a process started without the registry key, or a missing "PBT find = -1." line.
TEST_F(PatchBeacon, NoKeyStartsNothing) {
  WriteFile(dir + "registry", "[Software\\Other]\nExe=sz:" + PatchBeaconPath() + "\n");
  EXPECT_EQ(RegisterWithPatchBeacon(), -1);
  EXPECT_EQ(gApp.toolRegistered.load(), 0);
  EXPECT_TRUE(LogHas("PBT find = -1.")) << MemoryLogText();
  EXPECT_FALSE(fs::exists(toolLog));
}

// Catches an "Exe" value of another type, empty or relative, taken as the tool.
TEST_F(PatchBeacon, UnusableValuesCountAsMissing) {
  struct Case {
    std::string type, path;
  } cases[] = {{"expand_sz", PatchBeaconPath()}, {"dword", "5"}, {"sz", ""}, {"sz", "patch-beacon"}};
  for (const Case& c : cases) {
    Install(c.type, c.path);
    EXPECT_EQ(PatchBeaconExecutable(), "") << c.type << " " << c.path;
    EXPECT_EQ(RunPatchBeaconTool(kToolFind, versionFile), -1) << c.type;
  }
  EXPECT_FALSE(fs::exists(toolLog));
}

// Catches an unregistered file not added, or the flag not set after a successful /add;
// afterwards a manual check only runs /check and an automatic one does nothing.
TEST_F(PatchBeacon, FindOneThenAddThenCheck) {
  Install();
  EXPECT_EQ(RegisterWithPatchBeacon(), 1);
  EXPECT_EQ(gApp.toolRegistered.load(), 1);
  EXPECT_EQ(ReadFile(toolLog), "/find " + versionFile + "\n/add " + versionFile + "\n");
  EXPECT_EQ(ReadFile(dir + "registrations"), versionFile + "\n");
  EXPECT_TRUE(LogHas("PBT find = 1.")) << MemoryLogText();

  StationSim sim;
  ASSERT_TRUE(sim.Start({"--no-tls"}));
  gStation.versionUrls = {sim.Url("/versionlist.json?number=5.5")};
  std::string err = RunCheck(1);
  EXPECT_TRUE(DialogLines(err).empty()) << err;
  EXPECT_EQ(ReadFile(toolLog), "/find " + versionFile + "\n/add " + versionFile + "\n/check " + versionFile + "\n");
  err = RunCheck(0);
  EXPECT_TRUE(DialogLines(err).empty()) << err;
  EXPECT_EQ(ReadFile(toolLog), "/find " + versionFile + "\n/add " + versionFile + "\n/check " + versionFile + "\n");
  // The player fetched nothing itself.
  EXPECT_EQ(SimGet(sim.port, "/control/stats").body.find("/versionlist.json"), std::string::npos);
}

// Catches a failed /add that still marks the player registered.
TEST_F(PatchBeacon, FailedAddLeavesThePlayerChecking) {
  Install();
  setenv("PATCHBEACON_LIST", (dir + "missing-folder/registrations").c_str(), 1);
  EXPECT_EQ(RegisterWithPatchBeacon(), 1);
  EXPECT_EQ(gApp.toolRegistered.load(), 0);
}

// Catches a registered player with the automatic check off that does not send /remove, or
// that stops deferring to the tool for the rest of the run.
TEST_F(PatchBeacon, CheckOffSendsRemove) {
  Install();
  WriteFile(dir + "registrations", versionFile + "\n");
  gSettings.versionCheck = 0;
  EXPECT_EQ(RegisterWithPatchBeacon(), 0);
  EXPECT_EQ(gApp.toolRegistered.load(), 1);
  EXPECT_EQ(ReadFile(toolLog), "/find " + versionFile + "\n/remove " + versionFile + "\n");
  EXPECT_EQ(ReadFile(dir + "registrations"), "");
  EXPECT_TRUE(LogHas("PBT find = 0."));
}

// Catches a path split or re-quoted on its way to the tool: it arrives as one argument.
TEST_F(PatchBeacon, PathIsOneArgument) {
  Install();
  std::string odd = dir + "a \"quoted\" $(touch " + dir + "pwned) dir/version.json";
  EXPECT_EQ(RunPatchBeaconTool(kToolAdd, odd), 0);
  EXPECT_EQ(RunPatchBeaconTool(kToolFind, odd), 0);
  EXPECT_EQ(ReadFile(toolLog), "/add " + odd + "\n/find " + odd + "\n");
  EXPECT_FALSE(fs::exists(dir + "pwned"));
}

// Catches a hanging tool that holds the caller: it is killed after the limit and counts
// as absent.
TEST_F(PatchBeacon, HangingToolIsKilled) {
  Install();
  SetUpdateLimits(60000, 3600000, 500);
  setenv("PATCHBEACON_HANG", "/find", 1);
  EXPECT_EQ(RegisterWithPatchBeacon(), -1);
  unsetenv("PATCHBEACON_HANG");
  EXPECT_EQ(gApp.toolRegistered.load(), 0);
  EXPECT_TRUE(LogHas("PatchBeacon did not end in time and was stopped.")) << MemoryLogText();
  EXPECT_TRUE(LogHas("PBT find = -1."));
}

// Catches the preferences' check mark not registering or unregistering through the tool.
TEST_F(PatchBeacon, CheckMarkRegistration) {
  Install();
  EXPECT_EQ(UpdatePatchBeaconRegistration(1), 0);
  EXPECT_EQ(ReadFile(dir + "registrations"), versionFile + "\n");
  EXPECT_EQ(UpdatePatchBeaconRegistration(1), 0);  // already registered: /find only
  EXPECT_EQ(UpdatePatchBeaconRegistration(0), 0);
  EXPECT_EQ(ReadFile(dir + "registrations"), "");
  EXPECT_EQ(ReadFile(toolLog), "/find " + versionFile + "\n/add " + versionFile + "\n/find " + versionFile +
                                   "\n/remove " + versionFile + "\n");
}

// Catches the registration run on the window thread: with the tool told to hang (until
// its limit), the starters return at once and the loop goes on handling events; the
// answers arrive later through the queue, start-up's with its log line and the automatic
// check, the check mark's as a failure of the window.
TEST_F(PatchBeacon, HangingToolLeavesTheLoopRunning) {
  Install();
  SetUpdateLimits(60000, 3600000, 4000);
  setenv("PATCHBEACON_HANG", "/find", 1);
  gSettings.versionCheck = 1;
  auto pumpUntil = [](const std::function<bool()>& done) {
    for (int i = 0; i < 3000 && !done(); ++i) {
      int kind = WaitWindowEvent(10);
      if (kind) DispatchEvent(kind, EventWindow(), EventObject(), EventType());
    }
    return done();
  };
  for (int request : {ToolStartup, ToolMarkOn}) {
    SCOPED_TRACE(request);
    ClearMemoryLog();
    ASSERT_EQ(request == ToolStartup ? StartPatchBeaconRegistration() : VersionToolRegistration(1), 1);
    EXPECT_EQ(PatchBeaconBusy(), 1);
    // The loop takes its next event at once, while the tool still hangs.
    constexpr int kMarker = 0x10077;
    PostEvent(kMarker, WinMain, 7);
    EXPECT_EQ(WaitWindowEvent(5000), kMarker);
    EXPECT_EQ(PatchBeaconBusy(), 1);
    EXPECT_FALSE(LogHas("PatchBeacon did not end in time and was stopped."));
    ASSERT_TRUE(pumpUntil([] { return PatchBeaconBusy() == 0; }));
    EXPECT_TRUE(LogHas("PatchBeacon did not end in time and was stopped.")) << MemoryLogText();
    if (request == ToolStartup) {
      EXPECT_EQ(gApp.toolRegistered.load(), 0);
      EXPECT_TRUE(LogHas("PBT find = -1.")) << MemoryLogText();
      // Not registered: the player's own automatic check follows.
      WaitForWorkers(20000);
      EXPECT_TRUE(LogHas("Versioncheck number = ")) << MemoryLogText();
    }
    WaitForWorkers(20000);
  }
  unsetenv("PATCHBEACON_HANG");
}
