// The whole version check against the station simulator: manual and automatic checks,
// each question checked word for word on its stderr dialog line, the failure paths,
// the packaged-run notice and the starter's guard.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "update_test_util.h"

namespace {

const std::string kCheck = "Corvale Player Version Check";
const std::string kDownloader = "Corvale Player Downloader";

class VersionCheck : public UpdateTest {
 protected:
  StationSim sim;
  void SetUp() override {
    UpdateTest::SetUp();
    ASSERT_TRUE(sim.Start({"--no-tls"})) << sim.startError;
    // Every question is answered No unless a test says otherwise.
    setenv("CORVALE_DIALOG_ANSWER", "no", 1);
  }
  void List(const std::string& query) { gStation.versionUrls = {sim.Url("/versionlist.json" + query)}; }
};

VersionEntry Numbered(const char* number) {
  VersionEntry e;
  e.number = number;
  return e;
}

}  // namespace

// Catches a wrong question (or any question at all for an automatic check) per outcome.
TEST_F(VersionCheck, QuestionsPerOutcome) {
  struct Case {
    std::string query;
    std::string manualLine;  // the one dialog line of a manual check
    bool automaticAsks;      // an automatic check asks the same question
  } cases[] = {
      // Same number, older date: nothing new.
      {"", Line(kDownloader, DownloadQuestionText("5.4", Numbered("5.4"), 0)), false},
      {"?download=0", Line(kCheck, WebsiteQuestionText("5.4", Numbered("5.4"), 0)), false},
      // 5.5 with an older date is newer.
      {"?number=5.5", Line(kDownloader, DownloadQuestionText("5.4", Numbered("5.5"), 1)), true},
      // 5.4 one second after the build's stamp is newer.
      {"?date=2025-12-05T21:24:53.000Z", Line(kDownloader, DownloadQuestionText("5.4", Numbered("5.4"), 1)), true},
      // 5.10 is newer than 5.4.
      {"?number=5.10&download=0", Line(kCheck, WebsiteQuestionText("5.4", Numbered("5.10"), 1)), true},
      // A byte-order mark and a decoy entry first still find the player's entry.
      {"?bom=1&decoy=1&number=5.5", Line(kDownloader, DownloadQuestionText("5.4", Numbered("5.5"), 1)), true},
  };
  for (const Case& c : cases) {
    List(c.query);
    std::string err = RunCheck(1);
    EXPECT_EQ(DialogLines(err), std::vector<std::string>{c.manualLine}) << c.query << "\n" << err;
    err = RunCheck(0);
    std::vector<std::string> expected;
    if (c.automaticAsks) expected.push_back(c.manualLine);
    EXPECT_EQ(DialogLines(err), expected) << "automatic " << c.query << "\n" << err;
  }
}

// Catches failures not reported (manual), reported when automatic, or with a wrong code.
TEST_F(VersionCheck, FailuresAndTheirCodes) {
  gApp.debugLogging = 1;
  struct Case {
    std::string path;
    int code;
  } cases[] = {
      {"/hostile/size.m3u?bytes=3", 4},  // a 3-byte body
      {"/hostile/size.m3u?bytes=0", 3},  // an empty body
      {"/hostile/short.json?x=1", 4},    // "{}"
      {"/index.html", 6},                // not JSON
      {"/hostile/bom.json", 8},          // JSON without "versionlist"
      {"/versionlist.json?id=x&fault=404", 2},
  };
  for (const Case& c : cases) {
    gStation.versionUrls = {sim.Url(c.path)};
    ClearMemoryLog();
    std::string err = RunCheck(1);
    EXPECT_EQ(DialogLines(err), std::vector<std::string>{Line(kCheck, CheckFailedText("5.4"))}) << c.path << err;
    std::string log = MemoryLogText();
    EXPECT_NE(log.find("Version_JSON_URL_Get = " + std::to_string(c.code) + "\r\n"), std::string::npos)
        << c.path << "\n"
        << log;
    err = RunCheck(0);
    EXPECT_TRUE(DialogLines(err).empty()) << c.path << err;
  }
}

// Catches a failure of the first URL being reported although the second one answered.
TEST_F(VersionCheck, SecondUrlAfterAFailure) {
  gApp.debugLogging = 1;
  gStation.versionUrls = {sim.Url("/versionlist.json?fault=404"), sim.Url("/versionlist.json?number=5.5")};
  ClearMemoryLog();
  std::string err = RunCheck(1);
  EXPECT_EQ(DialogLines(err),
            std::vector<std::string>{Line(kDownloader, DownloadQuestionText("5.4", Numbered("5.5"), 1))});
  std::string log = MemoryLogText();
  EXPECT_EQ(log.find("Version_JSON_URL_Get"), std::string::npos) << log;
  EXPECT_NE(log.find("Versioncheck number = 5.5\r\n"), std::string::npos) << log;
}

// Catches an empty URL list treated as a failure: it is an empty entry, "no new version".
TEST_F(VersionCheck, NoVersionUrls) {
  gStation.versionUrls.clear();
  std::string err = RunCheck(1);
  EXPECT_EQ(DialogLines(err), std::vector<std::string>{Line(kCheck, WebsiteQuestionText("5.4", VersionEntry(), 0))});
  EXPECT_TRUE(DialogLines(RunCheck(0)).empty());
}

// Catches a version list trickling in that holds the worker beyond its overall deadline.
TEST_F(VersionCheck, TricklingListEndsAtTheDeadline) {
  SetUpdateLimits(1500, 3600000, 30000);
  List("?rate=40");  // about 700 bytes at 40 bytes a second
  std::string err = RunCheck(1);
  EXPECT_EQ(DialogLines(err), std::vector<std::string>{Line(kCheck, CheckFailedText("5.4"))}) << err;
}

// Catches a second check started while one runs (the "Update" button pressed twice).
TEST_F(VersionCheck, OneCheckAtATime) {
  List("?rate=2000");
  testing::internal::CaptureStderr();
  ASSERT_EQ(StartVersionCheck(1), 1);
  int first = gApp.versionCheckThread.load();
  EXPECT_EQ(StartVersionCheck(1), 0);
  EXPECT_EQ(gApp.versionCheckThread.load(), first);
  WaitThread(first, 60000);
  WaitForWorkers(20000);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(DialogLines(err).size(), 1u) << err;
  // The worker emptied its slot: the next press starts a check again.
  EXPECT_EQ(gApp.versionCheckThread.load(), 0);
  EXPECT_EQ(StartVersionCheck(1), 1);
  WaitThread(gApp.versionCheckThread.load(), 60000);
}

// Catches the automatic starter ignoring the setting.
TEST_F(VersionCheck, AutomaticStarterFollowsTheSetting) {
  List("?number=5.5");
  gSettings.versionCheck = 0;
  EXPECT_EQ(StartAutomaticVersionCheck(), 0);
  gSettings.versionCheck = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(StartAutomaticVersionCheck(), 1);
  WaitThread(gApp.versionCheckThread.load(), 60000);
  WaitForWorkers(20000);
  EXPECT_EQ(DialogLines(testing::internal::GetCapturedStderr()).size(), 1u);
}

// Catches a packaged run that checks by itself or keeps the automatic check on.
TEST_F(VersionCheck, PackagedRunShowsTheStoreNotice) {
  List("?number=5.5");
  // A snap's folder holds its executable: here, the test's own folder.
  std::string snap = ExecutableFolder();
  snap.pop_back();
  gSettings.versionCheck = 1;
  setenv("SNAP", snap.c_str(), 1);
  std::string err = RunCheck(0);
  unsetenv("SNAP");
  EXPECT_EQ(DialogLines(err),
            std::vector<std::string>{Line(kCheck, "The Snap release is automatically updated by the Snap Store")})
      << err;
  EXPECT_EQ(gSettings.versionCheck.load(), 0);
  EXPECT_EQ(SimGet(sim.port, "/control/stats").body.find("/versionlist.json"), std::string::npos)
      << "the version list was fetched";
}

// Catches Yes on "go to the website" opening anything but the entry's (or station's) site.
TEST_F(VersionCheck, YesOpensTheWebsite) {
  std::string opened = dir + "opened";
  std::string opener = dir + "opener.sh";
  WriteFile(opener, "#!/bin/sh\necho \"$1\" >> '" + opened + "'\n");
  chmod(opener.c_str(), 0755);
  setenv("CORVALE_OPENER", opener.c_str(), 1);
  setenv("CORVALE_DIALOG_ANSWER", "yes", 1);
  List("?download=0&website=http://127.0.0.1:9/entry-site/");
  RunCheck(1);
  ASSERT_TRUE(WaitForFile(opened));
  EXPECT_EQ(ReadFile(opened), "http://127.0.0.1:9/entry-site/\n");
  // A failed check offers the station's own site.
  fs::remove(opened);
  gStation.versionUrls = {sim.Url("/versionlist.json?fault=500")};
  RunCheck(1);
  ASSERT_TRUE(WaitForFile(opened));
  EXPECT_EQ(ReadFile(opened), gStation.website + "\n");
}
