// Folders, single instance, probes, buffered files, hashes, processes and the registry.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <filesystem>

#include "platform/test_child.h"
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "test_files.h"

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';

std::string MakeTempDir(const char* tag) {
  std::string base = std::filesystem::temp_directory_path().string();
  for (int i = 0; i < 100; ++i) {
    std::string dir = base + "corvale-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i);
    if (CreateFolder(dir)) return dir;
  }
  return std::string();
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void setenv(const char* name, const char* value, int) { SetTestEnv(name, value); }
void unsetenv(const char* name) { SetTestEnv(name, nullptr); }

// The handle FindInstanceWindow gives is the pipe's.
void CloseInstanceHandle(int handle) { CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle))); }
#else
constexpr char kSeparator = '/';

std::string MakeTempDir(const char* tag) {
  const char* t = getenv("TMPDIR");
  std::string tmpl = std::string(t && *t ? t : "/tmp") + "/corvale-" + tag + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  char* d = mkdtemp(buf.data());
  return d ? std::string(d) : std::string();
}

void RemoveTree(const std::string& path) { RunProcess("rm", {"-rf", path}, 1, nullptr); }

void CloseInstanceHandle(int handle) { close(handle - 1); }
#endif

// Saves and restores environment variables a test changes.
class EnvGuard {
 public:
  explicit EnvGuard(std::vector<const char*> names) {
    for (const char* n : names) {
      const char* v = getenv(n);
      saved_.push_back({n, v ? std::string(v) : std::string(), v != nullptr});
    }
  }
  ~EnvGuard() {
    for (auto& s : saved_) {
      if (s.had)
        setenv(s.name, s.value.c_str(), 1);
      else
        unsetenv(s.name);
    }
  }

 private:
  struct Saved {
    const char* name;
    std::string value;
    bool had;
  };
  std::vector<Saved> saved_;
};

// --- Known folders ----------------------------------------------------------------------

// Catches wrong XDG mapping, a missing trailing "/", folders not created and a user-dirs
// entry taken when it is not valid.
TEST(KnownFolders, XdgMappingAndCreation) {
#ifdef _WIN32
  GTEST_SKIP() << "XDG folders belong to the Linux build (windows_test.cpp has the known-folder ids)";
#else
  EnvGuard env({"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"});
  std::string home = MakeTempDir("home");
  ASSERT_FALSE(home.empty());
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/cfg").c_str(), 1);
  setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
  CreateFolder(home + "/cfg");
  std::ofstream(home + "/cfg/user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                              << "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"
                                              << "XDG_DOWNLOAD_DIR=\"" << home << "/Herunterladen\"\n"
                                              << "XDG_MUSIC_DIR=\"relative/ignored\"\n";
  const struct {
    KnownFolder kind;
    std::string folder;
  } kCases[] = {
      {KnownFolder::kUserConfig, home + "/cfg/"},
      {KnownFolder::kUserData, home + "/data/"},
      {KnownFolder::kDocuments, home + "/Dokumente/"},      // "$HOME/..." is expanded
      {KnownFolder::kDownloads, home + "/Herunterladen/"},  // an absolute entry is taken
      {KnownFolder::kMusic, home + "/Music/"},              // a relative entry falls back
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(GetKnownFolder(c.kind), c.folder) << int(c.kind);
    EXPECT_TRUE(FolderExists(c.folder)) << c.folder;
  }

  // A relative XDG_CONFIG_HOME is not valid: ~/.config is used.
  setenv("XDG_CONFIG_HOME", "cfg", 1);
  EXPECT_EQ(GetKnownFolder(KnownFolder::kUserConfig), home + "/.config/");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(GetKnownFolder(KnownFolder::kUserConfig), home + "/.config/");
  struct stat st {};
  ASSERT_EQ(stat((home + "/.config").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);  // private, as XDG base folders are made
  RemoveTree(home);
#endif
}

// Catches a folder that cannot be created being reported as resolved.
TEST(KnownFolders, UncreatableFolderGivesEmpty) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows' known folders cannot be pointed elsewhere by the environment";
#else
  EnvGuard env({"HOME", "XDG_CONFIG_HOME"});
  std::string home = MakeTempDir("home");
  std::ofstream(home + "/file") << "x";
  setenv("XDG_CONFIG_HOME", (home + "/file/sub").c_str(), 1);
  EXPECT_EQ(GetKnownFolder(KnownFolder::kUserConfig), "");
  RemoveTree(home);
#endif
}

// Catches file/folder tests that confuse the two.
TEST(Folders, ExistsAndExecutable) {
  std::string dir = MakeTempDir("f");
  std::ofstream(dir + "/a.txt") << "abc";
  EXPECT_TRUE(FolderExists(dir));
  EXPECT_FALSE(FileExists(dir));
  EXPECT_TRUE(FileExists(dir + "/a.txt"));
  EXPECT_FALSE(FolderExists(dir + "/a.txt"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_EQ(FileSize(dir + "/a.txt"), 3);
  EXPECT_EQ(FileSize(dir + "/missing"), -1);
  std::string exe = ExecutableFolder();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe.back(), kSeparator);
  EXPECT_TRUE(FolderExists(exe));
  RemoveTree(dir);
}

// --- Single instance ----------------------------------------------------------------------

#ifdef _WIN32
int LockInChild(const std::string& name) { return RunTestChild("lock:" + name); }
#else
int LockInChild(const std::string& name) {
  pid_t pid = fork();
  if (pid == 0) _exit(SingleInstanceLock(name));
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

// Catches a lock that a second process can also take, or that is not released.
TEST(SingleInstance, LockAcrossProcesses) {
  EnvGuard env({"XDG_RUNTIME_DIR"});
  std::string dir = MakeTempDir("run");
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  const std::string name = "{4c1a9e37-test}";
#ifndef _WIN32
  EXPECT_EQ(InstanceLockPath(name), dir + "/" + name + ".lock");
#endif
  EXPECT_EQ(LockInChild(name), 1);  // nobody holds it
  ASSERT_EQ(SingleInstanceLock(name), 1);
  EXPECT_EQ(LockInChild(name), 2);
  EXPECT_EQ(SingleInstanceLock(name), 1);  // taking it again releases and re-takes
  EXPECT_EQ(LockInChild(name), 2);
  EXPECT_EQ(SingleInstanceLock(""), 0);  // release only
  EXPECT_EQ(LockInChild(name), 1);
  RemoveTree(dir);
}

// Catches a raise request that is lost, counted twice, or accepted from a stranger's text;
// and a silent client that blocks the listener.
TEST(SingleInstance, RaiseRequestOverSocket) {
  EnvGuard env({"XDG_RUNTIME_DIR"});
  std::string dir = MakeTempDir("run");
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  const std::string name = "{raise-test}";
  EXPECT_EQ(FindInstanceWindow(name, 1), 0);  // nobody listens yet
  int listener = InstanceListenerOpen(name);
  ASSERT_GE(listener, 0);
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(stat(InstanceSocketPath(name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);  // other users cannot connect
#endif
  EXPECT_EQ(FindInstanceWindow(name, 0), 0);
  EXPECT_EQ(InstanceListenerRead(listener), 0);
  int h = FindInstanceWindow(name, 1);
  ASSERT_GT(h, 0);
  EXPECT_EQ(ActivateWindow(h), 1);
  EXPECT_EQ(InstanceListenerRead(listener), 1);
  EXPECT_EQ(InstanceListenerRead(listener), 0);
  // Two starts in a row give two requests.
  ActivateWindow(FindInstanceWindow(name, 1));
  ActivateWindow(FindInstanceWindow(name, 1));
  EXPECT_EQ(InstanceListenerRead(listener), 2);
  // A client that connects and says nothing is dropped after a short wait.
  int silent = FindInstanceWindow(name, 1);
  ASSERT_GT(silent, 0);
  EXPECT_EQ(InstanceListenerRead(listener), 0);
  CloseInstanceHandle(silent);
  EXPECT_EQ(ActivateWindow(0), 0);
  InstanceListenerClose(listener);
#ifndef _WIN32
  EXPECT_FALSE(FileExists(InstanceSocketPath(name)));
#endif
  EXPECT_EQ(FindInstanceWindow(name, 1), 0);
  RemoveTree(dir);
}

// Catches a raise socket silently lost when the runtime folder's path is too deep for a
// socket name.
TEST(SingleInstance, DeepRuntimeFolderStillRaises) {
#ifdef _WIN32
  GTEST_SKIP() << "a pipe name does not depend on a runtime folder";
#else
  EnvGuard env({"XDG_RUNTIME_DIR"});
  std::string dir = MakeTempDir("run");
  std::string deep = dir + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
  ASSERT_EQ(system(("mkdir -p '" + deep + "'").c_str()), 0);
  setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
  const std::string name = "{deep-raise-test}";
  EXPECT_LT(InstanceSocketPath(name).size(), 108u);
  int listener = InstanceListenerOpen(name);
  ASSERT_GE(listener, 0);
  ActivateWindow(FindInstanceWindow(name, 1));
  EXPECT_EQ(InstanceListenerRead(listener), 1);
  InstanceListenerClose(listener);
  RemoveTree(dir);
#endif
}

// Catches the temp-folder fallback without the user id (users would share one lock).
TEST(SingleInstance, TempFolderFallbackNamesTheUser) {
#ifdef _WIN32
  GTEST_SKIP() << "the mutex and the pipe live in the session's namespace, not in a folder";
#else
  EnvGuard env({"XDG_RUNTIME_DIR"});
  unsetenv("XDG_RUNTIME_DIR");
  std::string p = InstanceLockPath("{x}");
  EXPECT_NE(p.find("{x}-" + std::to_string(getuid()) + ".lock"), std::string::npos);
#endif
}

// --- Probes --------------------------------------------------------------------------------

// Catches a wrong part of the locale taken as language, and "C"/"POSIX" giving a language.
TEST(Probes, UiLanguageFromLocaleTable) {
  struct Case {
    const char* locale;
    const char* lang;
  };
  const Case cases[] = {
      {"de_DE.UTF-8", "de"}, {"en_US", "en"}, {"pt_BR.utf8@x", "pt"}, {"C", ""},         {"POSIX", ""}, {"C.UTF-8", ""},
      {"EN_us", "en"},       {"fr", "fr"},    {"sr@latin", "sr"},     {"../../etc", ""}, {"", ""},      {"de1_DE", ""}};
  for (const auto& c : cases) EXPECT_EQ(UiLanguageFromLocale(c.locale), c.lang) << c.locale;
}

// Catches the wrong order of LC_ALL, LC_MESSAGES and LANG, or an empty variable winning.
TEST(Probes, UiLanguageVariableOrder) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows names the language of its interface itself, not the environment";
#endif
  EnvGuard env({"LC_ALL", "LC_MESSAGES", "LANG"});
  setenv("LC_ALL", "it_IT.UTF-8", 1);
  setenv("LC_MESSAGES", "fr_FR", 1);
  setenv("LANG", "de_DE", 1);
  EXPECT_EQ(GetUiLanguage(), "it");
  setenv("LC_ALL", "", 1);
  EXPECT_EQ(GetUiLanguage(), "fr");
  unsetenv("LC_MESSAGES");
  EXPECT_EQ(GetUiLanguage(), "de");
  setenv("LANG", "C.UTF-8", 1);
  EXPECT_EQ(GetUiLanguage(), "");
  unsetenv("LANG");
  EXPECT_EQ(GetUiLanguage(), "");
}

// Catches version parsing that reads "6.10" as less than "6.9" or accepts junk.
TEST(Probes, KernelRelease) {
  int a = -1, b = -1;
  EXPECT_EQ(ParseKernelRelease("6.1.0-13-amd64", &a, &b), 1);
  EXPECT_EQ(a, 6);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(ParseKernelRelease("6.10.2", &a, &b), 1);
  EXPECT_EQ(b, 10);
  EXPECT_EQ(ParseKernelRelease("4", &a, &b), 1);
  EXPECT_EQ(a, 4);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(ParseKernelRelease("linux", &a, &b), 0);
  EXPECT_EQ(IsLinuxVersionAtLeast(3, 2), 1);
  EXPECT_EQ(IsLinuxVersionAtLeast(999, 0), 0);
}

// Catches the sandbox test answering from inherited variables: a terminal of another
// snap (or of a Flatpak) hands its SNAP or FLATPAK_ID to every program it starts. Only
// where the executable lies, and Flatpak's marker file, decide.
TEST(Probes, SandboxAndRestart) {
#ifdef _WIN32
  GTEST_SKIP() << "Flatpak, Snap and session managers belong to the Linux build";
#else
  EnvGuard env({"FLATPAK_ID", "SNAP", "SESSION_MANAGER"});
  if (!FileExists("/.flatpak-info")) {
    setenv("SNAP", "/snap/other-app/12", 1);
    setenv("FLATPAK_ID", "org.example.Terminal", 1);
    EXPECT_EQ(RunningInSandbox(), 0);
  }
  struct Case {
    const char *executable, *snap;
    bool flatpakInfo;
    int kind;
  } cases[] = {
      {"/snap/corvale/7/usr/bin/corvale-player", "/snap/corvale/7", false, 2},
      {"/snap/corvale/7/usr/bin/corvale-player", "/snap/corvale/7/", false, 2},
      {"/usr/bin/corvale-player", "/snap/other-app/12", false, 0},
      {"/snap/corvale/70/corvale-player", "/snap/corvale/7", false, 0},  // a prefix, not the folder
      {"/snap/corvale/7", "/snap/corvale/7", false, 0},
      {"/snap/corvale/7/corvale-player", "", false, 0},
      {"/snap/corvale/7/corvale-player", "snap/corvale/7", false, 0},
      {"/snap/corvale/7/corvale-player", "/", false, 0},
      {"/app/bin/corvale-player", "", true, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SandboxFromFacts(c.executable, c.snap, c.flatpakInfo), c.kind) << c.executable << " " << c.snap;
  unsetenv("SESSION_MANAGER");
  EXPECT_EQ(RegisterApplicationRestart(), 0);
  setenv("SESSION_MANAGER", "local/host:@/tmp/.ICE-unix/1", 1);
  EXPECT_EQ(RegisterApplicationRestart(), 1);
#endif
}

// --- Buffered files --------------------------------------------------------------------------

// Catches records flushed per line (the buffer is the point) and data lost at close.
TEST(BufferedFiles, WritesReachDiskAtFlushAndClose) {
  std::string dir = MakeTempDir("bf");
  std::string path = dir + "/Debug.txt";
  EXPECT_EQ(FileBufferSize(), 131072u);
  int f = CreateBufferedFile(path);
  ASSERT_GT(f, 0);
  const std::string first = "20260101000000 00:00:00 Debug log started.\r\n";
  EXPECT_EQ(WriteBufferedFile(f, first), 1);
  EXPECT_EQ(FileSize(path), 0);  // still in the buffer
  EXPECT_EQ(FlushBufferedFile(f), 1);
  EXPECT_EQ(FileSize(path), static_cast<int64_t>(first.size()));
  EXPECT_EQ(WriteBufferedFile(f, "second\r\n"), 1);
  EXPECT_EQ(CloseBufferedFile(f), 1);
  EXPECT_EQ(testfiles::ReadFile(path), "20260101000000 00:00:00 Debug log started.\r\nsecond\r\n");
  EXPECT_EQ(WriteBufferedFile(f, "late"), 0);  // closed handle
  EXPECT_EQ(CloseBufferedFile(f), 0);
  // Create replaces; append keeps.
  f = CreateBufferedFile(path);
  WriteBufferedFile(f, "new");
  CloseBufferedFile(f);
  f = AppendBufferedFile(path);
  WriteBufferedFile(f, "+more");
  CloseBufferedFile(f);
  EXPECT_EQ(testfiles::ReadFile(path), "new+more");
  EXPECT_EQ(CreateBufferedFile(dir + "/no/such/folder/x"), 0);
  RemoveTree(dir);
}

// Catches a full buffer losing or reordering data, and records larger than the buffer.
TEST(BufferedFiles, SmallBufferKeepsOrder) {
  std::string dir = MakeTempDir("bf");
  std::string path = dir + "/x.txt";
  SetFileBufferSize(16);
  int f = CreateBufferedFile(path);
  SetFileBufferSize(131072);
  std::string expected;
  for (int i = 0; i < 100; ++i) {
    std::string rec = "record " + std::to_string(i) + (i % 7 == 0 ? std::string(40, '#') : "") + "\n";
    expected += rec;
    ASSERT_EQ(WriteBufferedFile(f, rec), 1);
  }
  EXPECT_GT(FileSize(path), 0);  // the small buffer filled several times
  CloseBufferedFile(f);
  EXPECT_EQ(testfiles::ReadFile(path), expected);
  RemoveTree(dir);
}

// Catches torn or interleaved records when several threads write one file.
TEST(BufferedFiles, ThreadsNeverTearRecords) {
  std::string dir = MakeTempDir("bf");
  std::string path = dir + "/t.txt";
  int f = CreateBufferedFile(path);
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([f, t]() {
      for (int i = 0; i < 2000; ++i)
        WriteBufferedFile(f, "thread " + std::to_string(t) + " line " + std::to_string(i) + "\r\n");
    });
  for (auto& th : ts) th.join();
  CloseBufferedFile(f);
  std::istringstream in(testfiles::ReadFile(path));
  std::string line;
  int count = 0;
  std::vector<int> next(4, 0);
  while (std::getline(in, line)) {
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d\r", &t, &i), 2) << line;
    ASSERT_EQ(line.back(), '\r');
    ASSERT_GE(t, 0);
    ASSERT_LT(t, 4);
    EXPECT_EQ(i, next[t]);
    next[t] = i + 1;
    ++count;
  }
  EXPECT_EQ(count, 8000);
  RemoveTree(dir);
}

// --- Hashes ---------------------------------------------------------------------------------

// Catches a wrong digest, upper-case hex, or a hash given for an unreadable file.
TEST(Hashes, KnownVectors) {
  EXPECT_EQ(DataHashHex("abc", 256), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(DataHashHex("", 256), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(DataHashHex("abc", 512),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  EXPECT_EQ(DataHashHex("abc", 384), "");
  std::string dir = MakeTempDir("h");
  std::string path = dir + "/setup.exe";
  // Larger than one read chunk, so the chunking is exercised.
  std::string big(200000, 'a');
  WriteWholeFile(path, big);
  EXPECT_EQ(FileHashHex(path, 256), DataHashHex(big, 256));
  EXPECT_EQ(FileHashHex(path, 512), DataHashHex(big, 512));
  std::string million(1000000, 'a');
  WriteWholeFile(path, million);
  EXPECT_EQ(FileHashHex(path, 256), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(FileHashHex(dir + "/missing", 256), "");
  EXPECT_EQ(FileHashHex(dir, 256), "");  // a folder is not a file to hash
  RemoveTree(dir);
}

// --- Processes -----------------------------------------------------------------------------

// Catches exit codes lost, and a program that cannot start reported as started.
TEST(Processes, ExitCodes) {
  int code = -5;
#ifdef _WIN32
  ASSERT_EQ(RunProcess("cmd", {"/c", "exit 3"}, 1, &code), 1);
  EXPECT_EQ(code, 3);
  const char* comspec = getenv("ComSpec");
  ASSERT_NE(comspec, nullptr);
  ASSERT_EQ(RunProcess(comspec, {"/c", "exit 0"}, 1, &code), 1);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(RunProcess("C:\\nonexistent\\corvale-tool.exe", {}, 1, &code), 0);
#else
  ASSERT_EQ(RunProcess("sh", {"-c", "exit 3"}, 1, &code), 1);
  EXPECT_EQ(code, 3);
  ASSERT_EQ(RunProcess("/bin/sh", {"-c", "exit 0"}, 1, &code), 1);
  EXPECT_EQ(code, 0);
  ASSERT_EQ(RunProcess("sh", {"-c", "kill -TERM $$"}, 1, &code), 1);
  EXPECT_EQ(code, 128 + 15);
  EXPECT_EQ(RunProcess("/nonexistent/corvale-tool", {}, 1, &code), 0);
#endif
  EXPECT_EQ(RunProcess("", {}, 1, &code), 0);
}

// Catches arguments split inside quotes or backslashes mangled (Windows rules).
TEST(Processes, SplitCommandLineTable) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine("/find \"/opt/corvale/data/version.json\""),
            (V{"/find", "/opt/corvale/data/version.json"}));
  EXPECT_EQ(SplitCommandLine("a  b\tc"), (V{"a", "b", "c"}));
  EXPECT_EQ(SplitCommandLine("\"a b\" c"), (V{"a b", "c"}));
  EXPECT_EQ(SplitCommandLine("\"\""), (V{""}));
  EXPECT_EQ(SplitCommandLine("a\\\\\"b c\""), (V{"a\\b c"}));
  EXPECT_EQ(SplitCommandLine("a\\\"b"), (V{"a\"b"}));
  EXPECT_EQ(SplitCommandLine("C:\\dir\\x.exe"), (V{"C:\\dir\\x.exe"}));
  EXPECT_EQ(SplitCommandLine(""), V{});
  EXPECT_EQ(SplitCommandLine("\"unclosed arg"), (V{"unclosed arg"}));
}

// Catches the opener override being ignored (tests would start a browser).
TEST(Processes, OpenWithShellUsesOpener) {
  EnvGuard env({"CORVALE_OPENER"});
  std::string dir = MakeTempDir("op");
  std::string out = dir + "/opened.txt";
#ifdef _WIN32
  // The test program itself is the opener: it writes down its arguments, one a line.
  EnvGuard child({"CORVALE_TEST_CHILD"});
  setenv("CORVALE_TEST_CHILD", ("record:" + out).c_str(), 1);
  setenv("CORVALE_OPENER", TestProgramPath().c_str(), 1);
  const std::string expected = "https://www.example.org/manual/index.html\n";
#else
  std::string script = dir + "/opener.sh";
  WriteWholeFile(script,
                 "#!/bin/sh\nprintf '%s' \"$1\" > \"" + out + ".part\" && mv \"" + out + ".part\" \"" + out + "\"\n");
  chmod(script.c_str(), 0755);
  setenv("CORVALE_OPENER", script.c_str(), 1);
  const std::string expected = "https://www.example.org/manual/index.html";
#endif
  ASSERT_EQ(OpenWithShell("https://www.example.org/manual/index.html"), 1);
  for (int i = 0; i < 500 && !FileExists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(testfiles::ReadFile(out), expected);
  EXPECT_EQ(OpenWithShell(""), 0);
  RemoveTree(dir);
}

// --- Registry -------------------------------------------------------------------------------

// Catches typed values read as the wrong type, case-sensitive keys, and duplicates on update.
TEST(Registry, TypedValuesAndUpdate) {
#ifdef _WIN32
  GTEST_SKIP() << "the registry file belongs to the Linux build (windows_test.cpp has the real registry)";
#endif
  EnvGuard env({"CORVALE_REGISTRY_SYSTEM"});
  std::string dir = MakeTempDir("reg");
  std::string path = dir + "/sub/registry";
  setenv("CORVALE_REGISTRY_SYSTEM", path.c_str(), 1);
  EXPECT_EQ(RegistryFilePath(RegLocalMachine), path);
  std::string v;
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\PatchBeacon", "Exe", &v), RegNone);  // no file
  ASSERT_EQ(RegistrySet(RegLocalMachine, "Software\\PatchBeacon", "Exe", RegSz, "/opt/pb/patchbeacon"), 1);
  ASSERT_EQ(RegistrySet(RegLocalMachine, "Software\\PatchBeacon", "Count", RegDword, "42"), 1);
  ASSERT_EQ(RegistrySet(RegLocalMachine, "Software\\Other", "Exe", RegSz, "/other"), 1);
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "software\\patchbeacon", "EXE", &v), RegSz);
  EXPECT_EQ(v, "/opt/pb/patchbeacon");
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\PatchBeacon", "Count", &v), RegDword);
  EXPECT_EQ(v, "42");
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\Other", "Exe", &v), RegSz);
  EXPECT_EQ(v, "/other");
  ASSERT_EQ(RegistrySet(RegLocalMachine, "Software\\PatchBeacon", "Exe", RegSz, "/new path/pb"), 1);
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\PatchBeacon", "Exe", &v), RegSz);
  EXPECT_EQ(v, "/new path/pb");
  std::string text = testfiles::ReadFile(path);
  EXPECT_EQ(text.find("/opt/pb/patchbeacon"), std::string::npos);  // replaced, not duplicated
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\PatchBeacon", "Missing", &v), RegNone);
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\Missing", "Exe", &v), RegNone);
  RemoveTree(dir);
}

// Catches hostile or broken registry files and values that would break the file format.
TEST(Registry, RejectsBadValuesAndLines) {
#ifdef _WIN32
  GTEST_SKIP() << "the registry file belongs to the Linux build";
#endif
  EnvGuard env({"CORVALE_REGISTRY_SYSTEM"});
  std::string dir = MakeTempDir("reg");
  std::string path = dir + "/registry";
  setenv("CORVALE_REGISTRY_SYSTEM", path.c_str(), 1);
  WriteWholeFile(path,
                 "[Software\\PatchBeacon]\r\n"
                 "Exe=dword:notanumber\r\n"
                 "Plain=no type here\r\n"
                 "Big=dword:99999999999\r\n"
                 "Q=qword:99999999999\r\n"
                 "Empty=sz:\r\n");
  std::string v;
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\PatchBeacon", "Exe", &v), RegNone);
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\PatchBeacon", "Plain", &v), RegNone);
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\PatchBeacon", "Big", &v), RegNone);
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\PatchBeacon", "Q", &v), RegQword);
  EXPECT_EQ(RegistryQuery(RegLocalMachine, "Software\\PatchBeacon", "Empty", &v), RegSz);
  EXPECT_EQ(v, "");
  EXPECT_EQ(RegistrySet(RegLocalMachine, "K", "Exe", RegSz, "two\nlines"), 0);
  EXPECT_EQ(RegistrySet(RegLocalMachine, "K", "a=b", RegSz, "x"), 0);
  EXPECT_EQ(RegistrySet(RegLocalMachine, "K]", "a", RegSz, "x"), 0);
  EXPECT_EQ(RegistrySet(RegLocalMachine, "K", "a", RegDword, "-1"), 0);
  EXPECT_EQ(RegistrySet(RegLocalMachine, "K", "a", 99, "x"), 0);
  RemoveTree(dir);
}

}  // namespace
