// The platform pieces the updater adds: the fetch into a file with its lowest speed, the
// process wait with a time limit, the private copy of a verified file and the start of a
// downloaded file.
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
  EXPECT_EQ(ReadFile(path), SimGet(sim.port, "/download/x-small.bin").body);
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

// Catches the speed rule of the installer download: a server trickling 100 bytes a
// second ends at the end of the window, while a steady download much slower than the
// line runs on past it to the end (an overall deadline cut it), and a caller that asks
// while the server is silent ends the fetch at once, not only at the next block.
TEST_F(PlatformDownload, LowSpeedRule) {
  std::string path = dir + "slow.bin";
  EXPECT_EQ(DownloadToFile(sim.Url("/download/a.bin?rate=100"), "ua", 1024, path, nullptr, nullptr, 10000, 800),
            kDownloadReadFailed);
  fs::remove(path);
  EXPECT_EQ(DownloadToFile(sim.Url("/download/a.bin?rate=65536"), "ua", 1024, path, nullptr, nullptr, 10000, 1000), 0);
  EXPECT_EQ(fs::file_size(path), 256u * 1024u);
  fs::remove(path);
  auto closeWhileWaiting = [](int64_t, int64_t, int64_t count, const void*, void*) -> int64_t {
    return count == 0 ? -1 : count;
  };
  EXPECT_EQ(DownloadToFile(sim.Url("/download/a.bin?fault=stall&n=2048"), "ua", 1024, path, closeWhileWaiting,
                           nullptr, 30000, 60000),
            kDownloadAborted);
}

// Catches an installer hashed through one opening of its name and started through
// another: the copy that starts holds the bytes that were hashed, whatever the file
// becomes afterwards; a link, a FIFO or a folder is refused and no copy is left.
TEST_F(PlatformDownload, VerifiedCopyIsWhatStarts) {
  std::string setup = dir + "setup.run", mark = dir + "mark";
  const std::string good = "#!/bin/sh\necho checked > \"$CORVALE_INSTALLER_MARK\"\n";
  WriteFile(setup, good);
  std::string copy;
  EXPECT_EQ(HashAndCopyFile(setup, 256, &copy), DataHashHex(good, 256));
  ASSERT_EQ(copy.rfind(dir + "run/corvale-player/installer-", 0), 0u) << copy;
  EXPECT_EQ(fs::status(fs::path(copy).parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
  // Replaced after the check, as anyone could in a folder open to others.
  WriteFile(setup, "#!/bin/sh\necho swapped > \"$CORVALE_INSTALLER_MARK\"\n");
  setenv("CORVALE_INSTALLER_MARK", mark.c_str(), 1);
  ASSERT_EQ(StartDownloadedFile(copy), 1);
  ASSERT_TRUE(WaitForFile(mark));
  EXPECT_EQ(ReadFile(mark), "checked\n");
  EXPECT_EQ(DeletePrivateCopy(copy), 1);
  EXPECT_FALSE(fs::exists(fs::path(copy).parent_path()));

  std::string link = dir + "link.run", fifo = dir + "fifo.run";
  ASSERT_EQ(symlink(setup.c_str(), link.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {link, fifo, dir, dir + "missing.run"}) {
    EXPECT_EQ(HashAndCopyFile(path, 256, &copy), "") << path;
    EXPECT_EQ(copy, "") << path;
  }
  EXPECT_TRUE(fs::is_empty(dir + "run/corvale-player"));
}

// Catches a link at the target followed instead of replaced.
TEST_F(PlatformDownload, LinkAtTargetIsReplaced) {
  std::string victim = dir + "victim", path = dir + "link.bin";
  WriteFile(victim, "keep");
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  ASSERT_EQ(DownloadToFile(sim.Url("/download/x-small.bin"), "ua", 1024, path, nullptr, nullptr, 10000), 0);
  EXPECT_EQ(ReadFile(victim), "keep");
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
  int pid = atoi(ReadFile(tmpl).c_str());
  ASSERT_GT(pid, 0);
  EXPECT_NE(kill(pid, 0), 0);  // reaped, gone
  unlink(tmpl);
}

// Catches a program started without its executable bit, or a non-program started as one.
TEST_F(PlatformDownload, StartDownloadedFile) {
  std::string mark = dir + "mark", opened = dir + "opened";
  setenv("CORVALE_INSTALLER_MARK", mark.c_str(), 1);
  std::string script = dir + "setup.run";
  WriteFile(script, "#!/bin/sh\necho \"$0 $*\" > \"$CORVALE_INSTALLER_MARK\"\n");
  chmod(script.c_str(), 0644);
  ASSERT_EQ(StartDownloadedFile(script), 1);
  ASSERT_TRUE(WaitForFile(mark));
  EXPECT_EQ(ReadFile(mark), script + " \n");
  EXPECT_NE(fs::status(script).permissions() & fs::perms::owner_exec, fs::perms::none);
  // A package is handed to the desktop's opener and keeps its mode.
  std::string opener = dir + "opener.sh";
  WriteFile(opener, "#!/bin/sh\necho \"$1\" > '" + opened + "'\n");
  chmod(opener.c_str(), 0755);
  setenv("CORVALE_OPENER", opener.c_str(), 1);
  std::string deb = dir + "corvale.deb";
  WriteFile(deb, "!<arch>\ndebian-binary\n");
  chmod(deb.c_str(), 0644);
  ASSERT_EQ(StartDownloadedFile(deb), 1);
  ASSERT_TRUE(WaitForFile(opened));
  EXPECT_EQ(ReadFile(opened), deb + "\n");
  EXPECT_EQ(fs::status(deb).permissions() & fs::perms::owner_exec, fs::perms::none);
  unsetenv("CORVALE_OPENER");
  EXPECT_EQ(StartDownloadedFile(dir + "missing.run"), 0);
}
