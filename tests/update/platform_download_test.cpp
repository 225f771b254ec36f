// The platform pieces the updater adds: the fetch into a file with its deadline, the
// process wait with a time limit, and the start of a downloaded file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "update_test_util.h"

namespace {

class PlatformDownload : public UpdateTest {
 protected:
  StationSim sim;
  void SetUp() override {
    UpdateTest::SetUp();
    ASSERT_TRUE(sim.Start({"--no-tls"})) << sim.startError;
  }
};

struct Blocks {
  int64_t calls = 0, lastTotal = -1, stopAfter = -1;
};

int64_t CountBlocks(int64_t total, int64_t received, int64_t count, const void*, void* user) {
  Blocks* b = static_cast<Blocks*>(user);
  b->calls++;
  b->lastTotal = total;
  if (b->stopAfter >= 0 && received >= b->stopAfter) return 10;  // takes only part of the block
  return count;
}

}  // namespace

// Catches a file body that differs from what the server sent, or blocks above the chunk size.
TEST_F(PlatformDownload, WholeFileInBlocks) {
  std::string path = dir + "small.bin";
  Blocks b;
  ASSERT_EQ(DownloadToFile(sim.Url("/download/x-small.bin"), "ua", 100, path, CountBlocks, &b, 10000), 0);
  EXPECT_EQ(ReadText(path), SimGet(sim.port, "/download/x-small.bin").body);
  EXPECT_GE(b.calls, 11);  // 1024 bytes in blocks of at most 100
  EXPECT_EQ(b.lastTotal, 1024);
}

// Catches a failed fetch that creates or truncates the target, and wrong result codes.
TEST_F(PlatformDownload, FailuresAndCodes) {
  std::string path = dir + "t.bin";
  EXPECT_EQ(DownloadToFile(sim.Url("/download/a.bin?fault=404"), "ua", 1024, path, nullptr, nullptr, 10000),
            kDownloadStatusNot200);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(DownloadToFile("ftp://127.0.0.1/a.bin", "ua", 1024, path, nullptr, nullptr, 10000), kDownloadBadProtocol);
  EXPECT_EQ(DownloadToFile("http://127.0.0.1:1/a.bin", "ua", 1024, path, nullptr, nullptr, 10000), kDownloadOpenFailed);
  EXPECT_FALSE(fs::exists(path));
  // The callback taking part of a block ends the fetch with exactly what it accepted.
  Blocks b;
  b.stopAfter = 2048;
  EXPECT_EQ(DownloadToFile(sim.Url("/download/a.bin"), "ua", 1024, path, CountBlocks, &b, 10000), kDownloadAborted);
  EXPECT_EQ(fs::file_size(path), 2048u + 10u);
}

// Catches a trickling server holding the fetch beyond its overall deadline.
TEST_F(PlatformDownload, DeadlineEndsATrickle) {
  std::string path = dir + "slow.bin";
  EXPECT_EQ(DownloadToFile(sim.Url("/download/a.bin?rate=100"), "ua", 1024, path, nullptr, nullptr, 10000, 800),
            kDownloadReadFailed);
}

// Catches a link at the target followed instead of replaced.
TEST_F(PlatformDownload, LinkAtTargetIsReplaced) {
  std::string victim = dir + "victim", path = dir + "link.bin";
  WriteText(victim, "keep");
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  ASSERT_EQ(DownloadToFile(sim.Url("/download/x-small.bin"), "ua", 1024, path, nullptr, nullptr, 10000), 0);
  EXPECT_EQ(ReadText(victim), "keep");
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(fs::file_size(path), 1024u);
}

// Catches a lost exit code, a wait without limit, or a killed process left behind.
TEST(ProcessWait, ExitCodeAndTimeLimit) {
  int code = 99;
  EXPECT_EQ(RunProcessWait("/bin/sh", {"-c", "exit 7"}, 5000, &code), 1);
  EXPECT_EQ(code, 7);
  EXPECT_EQ(RunProcessWait("/nonexistent/tool", {}, 5000, &code), 0);
  char tmpl[] = "/tmp/corvale-pid-XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  // The shell and its child sleep: both belong to the group that is killed.
  std::string script = std::string("echo $$ > ") + tmpl + "; sleep 30 & wait";
  EXPECT_EQ(RunProcessWait("/bin/sh", {"-c", script}, 300, &code), 2);
  EXPECT_EQ(code, -1);
  int pid = atoi(ReadText(tmpl).c_str());
  ASSERT_GT(pid, 0);
  EXPECT_NE(kill(pid, 0), 0);  // reaped, gone
  unlink(tmpl);
}

// Catches a program started without its executable bit, or a non-program started as one.
TEST_F(PlatformDownload, StartDownloadedFile) {
  std::string mark = dir + "mark", opened = dir + "opened";
  setenv("CORVALE_INSTALLER_MARK", mark.c_str(), 1);
  std::string script = dir + "setup.run";
  WriteText(script, "#!/bin/sh\necho \"$0 $*\" > \"$CORVALE_INSTALLER_MARK\"\n");
  chmod(script.c_str(), 0644);
  ASSERT_EQ(StartDownloadedFile(script), 1);
  ASSERT_TRUE(WaitForFile(mark));
  EXPECT_EQ(ReadText(mark), script + " \n");
  EXPECT_NE(fs::status(script).permissions() & fs::perms::owner_exec, fs::perms::none);
  // A package is handed to the desktop's opener and keeps its mode.
  std::string opener = dir + "opener.sh";
  WriteText(opener, "#!/bin/sh\necho \"$1\" > '" + opened + "'\n");
  chmod(opener.c_str(), 0755);
  setenv("CORVALE_OPENER", opener.c_str(), 1);
  std::string deb = dir + "corvale.deb";
  WriteText(deb, "!<arch>\ndebian-binary\n");
  chmod(deb.c_str(), 0644);
  ASSERT_EQ(StartDownloadedFile(deb), 1);
  ASSERT_TRUE(WaitForFile(opened));
  EXPECT_EQ(ReadText(opened), deb + "\n");
  EXPECT_EQ(fs::status(deb).permissions() & fs::perms::owner_exec, fs::perms::none);
  unsetenv("CORVALE_OPENER");
  EXPECT_EQ(StartDownloadedFile(dir + "missing.run"), 0);
}
