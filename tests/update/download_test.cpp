// The installer download after a Yes, against the station simulator: the save dialog,
// the progress window, every failure text, the checksum and the start of the verified
// installer. Each failure must leave no file behind and start nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "playback/loopback_server.h"
#include "update_test_util.h"

namespace {

const std::string kDownloader = "Corvale Player Downloader";

class Download : public UpdateTest {
 protected:
  StationSim sim;
  std::string start, chosen, mark;

  void SetUp() override {
    UpdateTest::SetUp();
    ASSERT_TRUE(sim.Start({"--no-tls"})) << sim.startError;
    start = dir + "start/";
    chosen = dir + "chosen/";
    mark = dir + "installer-ran";
    fs::create_directories(start);
    fs::create_directories(chosen);
    gSettings.SetDownloadSavePath(start);
    setenv("CORVALE_DIALOG_ANSWER", "yes", 1);
    // A different name typed in the dialog: only its folder is used.
    setenv("CORVALE_DIALOG_FILE", (chosen + "typed-name.bin").c_str(), 1);
    setenv("CORVALE_INSTALLER_MARK", mark.c_str(), 1);
  }

  void List(const std::string& query) { gStation.versionUrls = {sim.Url("/versionlist.json" + query)}; }

  std::string QuestionLine() {
    VersionEntry e;
    e.number = "5.5";
    return Line(kDownloader, DownloadQuestionText("5.4", e, 1));
  }

  std::vector<std::string> Files(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    return names;
  }

  std::string Sha(const std::string& file, int bits) {
    return DataHashHex(SimGet(sim.port, "/download/" + file).body, bits);
  }

  // Runs a manual check with a main window and pumps the loop as the player does; calls
  // whileActive for every pass while the downloader window shows a running download.
  std::string PumpCheck(const std::function<void()>& whileActive) {
    if (!IsWindow(WinMain)) OpenWindow(WinMain, 100, 100, 23, 128, "Corvale Player", WindowBorderless);
    testing::internal::CaptureStderr();
    EXPECT_EQ(StartVersionCheck(1), 1);
    int thread = gApp.versionCheckThread.load();
    for (int pass = 0; pass < 6000 && (IsThread(thread) || PendingEventCount() > 0); ++pass) {
      int kind = WaitWindowEvent(10);
      if (kind) DispatchEvent(kind, EventWindow(), EventObject(), EventType());
      if (gDownload.active.load() && IsWindow(WinDownloader)) {
        DownloaderWindow(1, 0);  // the loop's housekeeping refresh
        whileActive();
      }
    }
    WaitForWorkers(20000);
    return testing::internal::GetCapturedStderr();
  }
};

}  // namespace

// Catches a verified installer not started, started from anything but the private copy
// of the bytes that were checked, or saved under the typed name instead of the
// download's own; SHA-256 and SHA-512 both pass.
TEST_F(Download, VerifiedInstallerStarts) {
  for (const char* algo : {"sha-256", "sha-512"}) {
    fs::remove(mark);
    fs::remove_all(chosen);
    fs::create_directories(chosen);
    gSettings.SetDownloadSavePath(start);
    List(std::string("?number=5.5&algo=") + algo);
    std::string err = RunCheck(1);
    EXPECT_EQ(DialogLines(err),
              (std::vector<std::string>{QuestionLine(), Line(kDownloader, start + "corvale-setup-5.5.bin")}))
        << err;
    ASSERT_TRUE(WaitForFile(mark)) << algo << err;
    // Started from a copy in a folder of this user alone, holding what was saved.
    std::string ran = ReadFile(mark);
    ASSERT_EQ(ran.rfind(dir + "run/corvale-player/installer-", 0), 0u) << ran;
    std::string copy = ran.substr(0, ran.size() - 2);
    EXPECT_EQ(fs::path(copy).filename(), "corvale-setup-5.5.bin");
    EXPECT_EQ(ReadFile(copy), ReadFile(chosen + "corvale-setup-5.5.bin"));
    EXPECT_EQ(fs::status(fs::path(copy).parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(Files(chosen), std::vector<std::string>{"corvale-setup-5.5.bin"});
    EXPECT_EQ(gSettings.GetDownloadSavePath(), chosen);
    EXPECT_EQ(gDownload.done.load(), 256 * 1024);
    EXPECT_EQ(gDownload.total.load(), 256 * 1024);
  }
}

// Catches a failed or unverifiable download that leaves its file, starts it, or shows a
// wrong text.
TEST_F(Download, FailuresLeaveNoFileAndStartNothing) {
  std::string sha = Sha("corvale-setup-5.5.bin", 256);
  struct Case {
    std::string query;
    std::string fault;  // a fault for the installer's path
    std::string text;
  } cases[] = {
      {"?number=5.5", "404", "Unable to retrieve data!"},
      {"?number=5.5", "500", "Unable to retrieve data!"},
      {"?number=5.5", "close", "Download failed!"},
      {"?number=5.5&hash=sha-256:" + std::string(64, '0'), "", "Checksum mismatch on downloaded file!"},
      {"?number=5.5&algo=SHA-256", "", "SHA-256 checksum calculation method not supported!"},
      {"?number=5.5&hash=", "", "Checksum calculation method not specified!"},
      {"?number=5.5&hash=sha-256", "", "Checksum mismatch on downloaded file!"},
  };
  for (const Case& c : cases) {
    gSettings.SetDownloadSavePath(start);
    SimGet(sim.port, "/control/clear");
    if (!c.fault.empty()) {
      ASSERT_EQ(SimGet(sim.port, "/control/fault?path=/download/corvale-setup-5.5.bin&kind=" + c.fault).status, 200);
    }
    List(c.query);
    std::string err = RunCheck(1);
    EXPECT_EQ(DialogLines(err),
              (std::vector<std::string>{QuestionLine(), Line(kDownloader, start + "corvale-setup-5.5.bin"),
                                        Line(kDownloader, c.text)}))
        << c.query << " " << c.fault << "\n"
        << err;
    EXPECT_TRUE(Files(chosen).empty()) << c.query << " " << c.fault;
    EXPECT_FALSE(fs::exists(mark)) << c.query;
  }
  // The simulator answered the mismatch cases with the real installer.
  EXPECT_FALSE(sha.empty());
}

// Catches an FTP download URL passed on instead of refused.
TEST_F(Download, FtpIsNotSupported) {
  VersionEntry e;
  e.number = "5.5";
  e.download = "ftp://127.0.0.1:21/corvale-setup.run";
  e.hash = "sha-256:00";
  testing::internal::CaptureStderr();
  EXPECT_EQ(DownloadInstaller(e), 0);
  WaitForWorkers(20000);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(DialogLines(err), (std::vector<std::string>{Line(kDownloader, start + "corvale-setup.run"),
                                                        Line(kDownloader, "Protocol not supported!")}));
  EXPECT_TRUE(Files(chosen).empty());
}

// Catches a file name from the version list that escapes the folder, hides itself or
// reads as an option: refused before any dialog or download.
TEST_F(Download, HostileFileNamesAreRefused) {
  for (const char* file : {"-rf.run", ".profile", "..", "a..b.run"}) {
    List(std::string("?number=5.5&file=") + file);
    std::string err = RunCheck(1);
    EXPECT_EQ(DialogLines(err),
              (std::vector<std::string>{QuestionLine(), Line(kDownloader, "Invalid installer file name!")}))
        << file << "\n"
        << err;
    EXPECT_TRUE(Files(chosen).empty()) << file;
    EXPECT_TRUE(Files(start).empty()) << file;
  }
}

// Catches a cancelled save dialog that still downloads.
TEST_F(Download, CancelledDialogDownloadsNothing) {
  setenv("CORVALE_DIALOG_FILE", "", 1);
  List("?number=5.5");
  std::string err = RunCheck(1);
  EXPECT_EQ(DialogLines(err),
            (std::vector<std::string>{QuestionLine(), Line(kDownloader, start + "corvale-setup-5.5.bin")}));
  EXPECT_TRUE(Files(start).empty());
  EXPECT_TRUE(Files(chosen).empty());
  EXPECT_EQ(gSettings.GetDownloadSavePath(), start);
}

// Catches a missing save folder not replaced by the Downloads folder.
TEST_F(Download, MissingFolderFallsBackToDownloads) {
  std::string home = dir + "home/";
  fs::create_directories(home + ".config");
  WriteFile(home + ".config/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n");
  std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
  std::string oldConfig = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
  setenv("HOME", (dir + "home").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + ".config").c_str(), 1);
  setenv("CORVALE_DIALOG_FILE", "", 1);
  gSettings.SetDownloadSavePath(dir + "gone/");
  List("?number=5.5");
  std::string err = RunCheck(1);
  setenv("HOME", oldHome.c_str(), 1);
  if (oldConfig.empty())
    unsetenv("XDG_CONFIG_HOME");
  else
    setenv("XDG_CONFIG_HOME", oldConfig.c_str(), 1);
  EXPECT_EQ(DialogLines(err),
            (std::vector<std::string>{QuestionLine(), Line(kDownloader, home + "Fetched/corvale-setup-5.5.bin")}));
}

// Catches a progress window that does not show the "KiBi" line, and a close of the window
// that does not end the download silently with the file removed.
TEST_F(Download, ClosingTheWindowAbortsSilently) {
  List("?number=5.5&file=corvale-setup-5.5.bin%3Frate%3D20000");
  std::vector<std::string> texts;
  std::string err = PumpCheck([&] {
    texts.push_back(DownloaderWindowText());
    if (gDownload.done.load() >= 2048) PostEvent(EventCloseWindow, WinDownloader, 0);  // the close box
  });
  EXPECT_EQ(DialogLines(err),
            (std::vector<std::string>{QuestionLine(), Line(kDownloader, start + "corvale-setup-5.5.bin")}))
      << err;
  ASSERT_FALSE(texts.empty());
  EXPECT_NE(texts.back().find(" / 256 KiBi"), std::string::npos) << texts.back();
  EXPECT_FALSE(IsWindow(WinDownloader));
  EXPECT_EQ(gDownload.active.load(), 0);
  EXPECT_LT(gDownload.done.load(), 256 * 1024);
  EXPECT_TRUE(Files(chosen).empty());
  EXPECT_FALSE(fs::exists(mark));
}

// Catches a server without Content-Length shown as anything but a full bar and "/ ? KiBi".
TEST_F(Download, NoContentLength) {
  std::string sha = Sha("corvale-setup-5.5.bin", 256);
  ASSERT_EQ(SimGet(sim.port, "/control/fault?path=/download/corvale-setup-5.5.bin&kind=nolength").status, 200);
  List("?number=5.5&file=corvale-setup-5.5.bin%3Frate%3D100000&hash=sha-256:" + sha);
  std::vector<std::string> texts;
  std::vector<int> bars;
  std::string err = PumpCheck([&] {
    texts.push_back(DownloaderWindowText());
    bars.push_back(GetGadgetState(WinDownloader, 1));
  });
  ASSERT_FALSE(texts.empty()) << err;
  for (const std::string& t : texts) EXPECT_NE(t.find(" / ? KiBi"), std::string::npos) << t;
  for (int b : bars) EXPECT_EQ(b, 100);
  EXPECT_EQ(gDownload.total.load(), 0);
  ASSERT_TRUE(WaitForFile(mark)) << err;
  EXPECT_FALSE(IsWindow(WinDownloader));
}

// Catches a failed download that deletes a file of the same name that was there before
// (nothing had replaced it), or a partial file left beside it; a verified download
// replaces it.
TEST_F(Download, FailureLeavesTheFolderAsItWas) {
  struct Case {
    std::string query, fault;
  } cases[] = {
      {"?number=5.5", "404"},
      {"?number=5.5", "close"},
      {"?number=5.5&hash=sha-256:" + std::string(64, '0'), ""},
  };
  for (const Case& c : cases) {
    WriteFile(chosen + "corvale-setup-5.5.bin", "the earlier installer");
    SimGet(sim.port, "/control/clear");
    if (!c.fault.empty())
      SimGet(sim.port, "/control/fault?path=/download/corvale-setup-5.5.bin&kind=" + c.fault);
    List(c.query);
    std::string err = RunCheck(1);
    EXPECT_EQ(DialogLines(err).size(), 3u) << err;
    EXPECT_EQ(Files(chosen), std::vector<std::string>{"corvale-setup-5.5.bin"}) << c.query << " " << c.fault;
    EXPECT_EQ(ReadFile(chosen + "corvale-setup-5.5.bin"), "the earlier installer") << c.query << " " << c.fault;
  }
  SimGet(sim.port, "/control/clear");
  List("?number=5.5");
  RunCheck(1);
  ASSERT_TRUE(WaitForFile(mark));
  EXPECT_EQ(ReadFile(chosen + "corvale-setup-5.5.bin"), SimGet(sim.port, "/download/corvale-setup-5.5.bin").body);
  EXPECT_EQ(Files(chosen), std::vector<std::string>{"corvale-setup-5.5.bin"});
}

// Catches a download without a size bound: an announced length over 2 GiB or over the
// folder's free space is refused at once, one without a length stops at the bound, and a
// failed write says so; each leaves the folder as it was.
TEST_F(Download, SizeBoundsAndWriteFailures) {
  LoopbackServer server;
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: ";
  server.Route("/huge/setup.run", {head + "3221225472\r\n\r\n" + std::string(4096, '#')});
  int64_t free = FreeDiskSpace(chosen);
  ASSERT_GT(free, 0);
  server.Route("/roomy/setup.run", {head + std::to_string(free + (int64_t(64) << 20)) + "\r\n\r\n" +
                                    std::string(4096, '#')});
  struct Case {
    std::string url;
    int64_t limit;
    rlim_t fileLimit;  // the largest file this process may write (RLIM_INFINITY: no limit)
    std::string text;
  } cases[] = {
      {server.Url("/huge/setup.run"), kInstallerSizeLimit, RLIM_INFINITY, "The download is larger than 2 GiB!"},
      {server.Url("/roomy/setup.run"), int64_t(1) << 60, RLIM_INFINITY, "Not enough free disk space for the download!"},
      {sim.Url("/download/corvale-setup-5.5.bin?fault=nolength"), 100 * 1024, RLIM_INFINITY,
       "The download is larger than 2 GiB!"},
      {sim.Url("/download/corvale-setup-5.5.bin"), kInstallerSizeLimit, 64 * 1024,
       "Unable to write the downloaded file!"},
  };
  // A write over the file limit fails (EFBIG) instead of ending the process.
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  for (const Case& c : cases) {
    WriteFile(chosen + "setup.run", "the earlier installer");
    WriteFile(chosen + "corvale-setup-5.5.bin", "the earlier installer");
    SetUpdateLimits(60000, 3600000, 30000, c.limit);
    VersionEntry e;
    e.number = "5.5";
    e.download = c.url;
    e.hash = "sha-256:" + std::string(64, '0');
    testing::internal::CaptureStderr();
    rlimit limit = saved;
    limit.rlim_cur = c.fileLimit;
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(DownloadInstaller(e), 0);
    setrlimit(RLIMIT_FSIZE, &saved);
    WaitForWorkers(20000);
    std::vector<std::string> lines = DialogLines(testing::internal::GetCapturedStderr());
    ASSERT_EQ(lines.size(), 2u) << c.url;
    EXPECT_EQ(lines[1], Line(kDownloader, c.text)) << c.url;
    EXPECT_EQ(Files(chosen).size(), 2u) << c.url;
    for (const std::string& name : Files(chosen)) EXPECT_EQ(ReadFile(chosen + name), "the earlier installer");
    EXPECT_FALSE(fs::exists(mark));
  }
  signal(SIGXFSZ, SIG_DFL);
}
