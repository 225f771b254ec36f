// What only the Windows build has: command-line quoting, the real registry, known-folder
// ids, UTF-16 file names, sharing modes, job objects and the shell's start of a program.
#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>
// These need the types of windows.h first.
#include <aclapi.h>
#include <shellapi.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/test_child.h"
#include "platform/win/win_internal.h"

using winplat::Narrow;
using winplat::Widen;

// --- The child tasks ------------------------------------------------------------------

namespace {

// Written under another name and moved in place, so a reader never sees half of it.
void WriteAtOnce(const std::string& path, const std::string& text) {
  WriteWholeFile(path + ".part", text);
  MoveFileExW(Widen(path + ".part").c_str(), Widen(path).c_str(), MOVEFILE_REPLACE_EXISTING);
}

int RunChildTask(const std::string& task) {
  size_t colon = task.find(':');
  std::string kind = task.substr(0, colon), arg = colon == std::string::npos ? "" : task.substr(colon + 1);
  if (kind == "lock") return SingleInstanceLock(arg);
  if (kind == "exit") return std::atoi(arg.c_str());
  if (kind == "record") {
    std::string text;
    // The arguments as the player's main reads them, the program left out.
    std::vector<std::string> args = ProgramArguments(0, nullptr);
    for (size_t i = 1; i < args.size(); ++i) text += args[i] + "\n";
    WriteAtOnce(arg, text);
    return 0;
  }
  if (kind == "tree") {
    // A grandchild that would outlive this child unless the whole tree is stopped.
    SetTestEnv("CORVALE_TEST_CHILD", "sleep");
    std::wstring line = L"\"" + Widen(TestProgramPath()) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 3;
    WriteAtOnce(arg, std::to_string(pi.dwProcessId));
    Sleep(60000);
    return 0;
  }
  if (kind == "sleep") {
    Sleep(60000);
    return 0;
  }
  if (kind == "handles") {
    // How many of the parent's inheritable handles (their values, comma-separated) came along.
    int inherited = 0;
    for (size_t at = 0; at < arg.size();) {
      HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(arg.c_str() + at, nullptr, 10)));
      DWORD flags = 0;
      if (GetHandleInformation(h, &flags) && (flags & HANDLE_FLAG_INHERIT)) ++inherited;
      size_t comma = arg.find(',', at);
      at = comma == std::string::npos ? arg.size() : comma + 1;
    }
    return inherited;
  }
  return 99;
}

// Runs before main: a child does its task and ends without running any test.
const int gChildTask = [] {
  wchar_t task[1024];
  DWORD n = GetEnvironmentVariableW(L"CORVALE_TEST_CHILD", task, 1024);
  if (n > 0 && n < 1024) ExitProcess(static_cast<UINT>(RunChildTask(Narrow(task))));
  return 0;
}();

}  // namespace

std::string TestProgramPath() {
  wchar_t buf[32768];
  DWORD n = GetModuleFileNameW(nullptr, buf, 32768);
  return Narrow(std::wstring(buf, n));
}

void SetTestEnv(const char* name, const char* value) {
  SetEnvironmentVariableW(Widen(name).c_str(), value ? Widen(value).c_str() : nullptr);
  _putenv_s(name, value ? value : "");  // the C runtime's copy, for getenv
}

int RunTestChild(const std::string& task, const std::vector<std::string>& args) {
  SetTestEnv("CORVALE_TEST_CHILD", task.c_str());
  int code = -1;
  int ran = RunProcess(TestProgramPath(), args, 1, &code);
  SetTestEnv("CORVALE_TEST_CHILD", nullptr);
  return ran ? code : -1;
}

namespace {

std::string TempFolder(const char* tag) {
  wchar_t base[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, base);
  std::string dir = Narrow(base) + "corvale-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(GetTickCount64());
  return CreateFolder(dir) ? dir + "\\" : std::string();
}

std::filesystem::path FsPath(const std::string& utf8) { return std::filesystem::path(Widen(utf8)); }

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(FsPath(path), ec);
}

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 1000 && !FileExists(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return FileExists(path);
}

std::string ReadText(const std::string& path) {
  std::string s;
  ReadWholeFile(path, s);
  return s;
}

// --- Command lines ---------------------------------------------------------------------

// Catches arguments that come back split, joined or with backslashes or quotes changed,
// read by Windows' own parser and by the player's.
TEST(WindowsCommandLine, QuotingRoundTrip) {
  const std::vector<std::string> args = {"plain",
                                         "two words",
                                         "",
                                         "C:\\Program Files\\PatchBeacon\\",
                                         "trailing\\",
                                         "say \"hi\"",
                                         "\\\"already escaped\\\"",
                                         "back\\\\\"slash",
                                         "\\\\server\\share",
                                         "tab\there",
                                         "/find",
                                         "\"",
                                         "Ünïcødé ☃"};
  const std::string program = "C:\\Program Files\\Corvale Player\\tool.exe";
  std::wstring line = winplat::BuildCommandLine(program, args);
  int n = 0;
  LPWSTR* argv = CommandLineToArgvW(line.c_str(), &n);
  ASSERT_NE(argv, nullptr);
  ASSERT_EQ(n, static_cast<int>(args.size()) + 1) << Narrow(line);
  EXPECT_EQ(Narrow(argv[0]), program);
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(Narrow(argv[i + 1]), args[i]) << Narrow(line);
  LocalFree(argv);
  std::vector<std::string> split = SplitCommandLine(Narrow(line));
  ASSERT_EQ(split.size(), args.size() + 1);
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(split[i + 1], args[i]);
  // No quotes where none are needed.
  EXPECT_EQ(winplat::QuoteArgument(L"C:\\dir\\x.exe"), L"C:\\dir\\x.exe");
}

// --- Registry -----------------------------------------------------------------------------

// Catches values read back as another type or text, numbers out of range accepted,
// expandable strings expanded, and foreign value types taken for the player's.
TEST(WindowsRegistry, TypedRoundTrip) {
  const std::string key = "Software\\CorvaleTest-" + std::to_string(GetCurrentProcessId());
  EXPECT_EQ(RegistryFilePath(RegCurrentUser), "HKEY_CURRENT_USER");
  EXPECT_EQ(RegistryFilePath(RegLocalMachine), "HKEY_LOCAL_MACHINE");
  std::string v = "unchanged";
  EXPECT_EQ(RegistryQuery(RegCurrentUser, key, "Exe", &v), RegNone);  // no key yet
  EXPECT_EQ(v, "unchanged");
  struct Case {
    const char* name;
    int type;
    const char* value;
  };
  const Case cases[] = {{"Exe", RegSz, "C:\\Programme\\Überprüfer\\pb.exe"},
                        {"Path", RegExpandSz, "%ProgramFiles%\\PatchBeacon"},
                        {"Empty", RegSz, ""},
                        {"Count", RegDword, "4294967295"},
                        {"Big", RegQword, "18446744073709551615"}};
  for (const Case& c : cases) ASSERT_EQ(RegistrySet(RegCurrentUser, key, c.name, c.type, c.value), 1) << c.name;
  for (const Case& c : cases) {
    EXPECT_EQ(RegistryQuery(RegCurrentUser, key, c.name, &v), c.type) << c.name;
    EXPECT_EQ(v, c.value) << c.name;
  }
  // Names and keys compare without regard to case, as Windows does.
  EXPECT_EQ(RegistryQuery(RegCurrentUser, key, "EXE", &v), RegSz);
  ASSERT_EQ(RegistrySet(RegCurrentUser, key, "Exe", RegSz, "D:\\pb.exe"), 1);
  EXPECT_EQ(RegistryQuery(RegCurrentUser, key, "Exe", &v), RegSz);
  EXPECT_EQ(v, "D:\\pb.exe");
  EXPECT_EQ(RegistryQuery(RegCurrentUser, key, "Missing", &v), RegNone);
  const Case refused[] = {{"N", RegDword, "4294967296"}, {"N", RegDword, "-1"}, {"N", RegQword, "12a"},
                          {"N", RegDword, ""},           {"N", 99, "x"},        {"", RegSz, "x"}};
  for (const Case& c : refused) EXPECT_EQ(RegistrySet(RegCurrentUser, key, c.name, c.type, c.value), 0) << c.value;
  EXPECT_EQ(RegistryQuery(RegCurrentUser, key, "N", &v), RegNone);
  // A binary value is not one of the player's types.
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Widen(key).c_str(), 0, KEY_SET_VALUE, &k), ERROR_SUCCESS);
  const BYTE bytes[4] = {1, 2, 3, 4};
  RegSetValueExW(k, L"Blob", 0, REG_BINARY, bytes, sizeof bytes);
  RegCloseKey(k);
  EXPECT_EQ(RegistryQuery(RegCurrentUser, key, "Blob", &v), RegNone);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, Widen(key).c_str()), ERROR_SUCCESS);
  EXPECT_EQ(RegistryQuery(RegCurrentUser, key, "Exe", &v), RegNone);
}

// --- Folders and files -----------------------------------------------------------------------

// Catches a known-folder id mixed up with another kind, a path without its closing
// separator, and a folder that the player's file names cannot be appended to.
TEST(WindowsFolders, KnownFolderKinds) {
  for (KnownFolder kind : {KnownFolder::kUserConfig, KnownFolder::kUserData, KnownFolder::kDocuments,
                           KnownFolder::kDownloads, KnownFolder::kMusic}) {
    std::string f = GetKnownFolder(kind);
    ASSERT_FALSE(f.empty()) << int(kind);
    EXPECT_EQ(f.back(), '\\') << f;
    EXPECT_TRUE(FolderExists(f)) << f;
  }
  std::string roaming = GetKnownFolder(KnownFolder::kUserConfig), local = GetKnownFolder(KnownFolder::kUserData);
  EXPECT_NE(roaming, local);
  EXPECT_NE(GetKnownFolder(KnownFolder::kDocuments), GetKnownFolder(KnownFolder::kDownloads));
  EXPECT_NE(GetKnownFolder(KnownFolder::kDocuments), GetKnownFolder(KnownFolder::kMusic));
  // The player appends "name/" and file names with forward slashes.
  std::string mine = roaming + "{corvale-test-" + std::to_string(GetCurrentProcessId()) + "}/";
  ASSERT_EQ(CreateFolder(mine), 1);
  ASSERT_EQ(WriteWholeFile(mine + "settings.json", "{}"), 1);
  EXPECT_EQ(FileSize(mine + "settings.json"), 2);
  RemoveTree(mine);
}

// Catches names passed through the ANSI code page instead of UTF-16 in any file call, and
// files that others cannot read or rename while they are written.
TEST(WindowsFiles, NonAsciiNames) {
  std::string dir = TempFolder("names");
  ASSERT_FALSE(dir.empty());
  std::string folder = dir + "Ünïcødé ☃ 音楽";
  ASSERT_EQ(CreateFolder(folder + "\\"), 1);
  EXPECT_TRUE(FolderExists(folder));
  EXPECT_TRUE(std::filesystem::is_directory(FsPath(folder)));
  std::string file = folder + "\\Größe.txt";
  ASSERT_EQ(WriteWholeFile(file, "abc"), 1);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(Widen(folder)) / L"Größe.txt"));
  EXPECT_TRUE(FileExists(file));
  EXPECT_EQ(FileSize(file), 3);
  EXPECT_EQ(ReadText(file), "abc");
  EXPECT_EQ(FileHashHex(file, 256), DataHashHex("abc", 256));
  // Others may read and rename a file while it is written (a log, a download).
  int f = AppendBufferedFile(file);
  ASSERT_GT(f, 0);
  WriteBufferedFile(f, "def");
  FlushBufferedFile(f);
  EXPECT_EQ(ReadText(file), "abcdef");
  ASSERT_TRUE(MoveFileExW(Widen(file).c_str(), Widen(file + ".moved").c_str(), 0));
  WriteBufferedFile(f, "g");
  EXPECT_EQ(CloseBufferedFile(f), 1);
  ASSERT_TRUE(MoveFileExW(Widen(file + ".moved").c_str(), Widen(file).c_str(), 0));
  EXPECT_EQ(ReadText(file), "abcdefg");
  std::string temp = folder + "\\Größe.txt.tmp";
  ASSERT_EQ(WriteWholeFile(temp, "new"), 1);
  ASSERT_EQ(ReplaceFileDurably(temp, file), 1);
  EXPECT_EQ(ReadText(file), "new");
  EXPECT_FALSE(FileExists(temp));
  EXPECT_EQ(ReplaceFileDurably(temp, file), 0);  // the temporary is gone
  EXPECT_EQ(DeleteFileAt(file), 1);
  EXPECT_FALSE(FileExists(file));
  EXPECT_EQ(DeleteFileAt(file), 0);
  RemoveTree(dir);
}

// --- Clocks, probes ----------------------------------------------------------------------------

// Catches the millisecond clock counting in other units, and a zone offset with the wrong
// sign or without its daylight part.
TEST(WindowsClocks, MillisecondsAndZone) {
  uint32_t a0 = TimeGetTime();
  ULONGLONG b0 = GetTickCount64();
  Sleep(200);
  ULONGLONG b1 = GetTickCount64();
  uint32_t a1 = TimeGetTime();
  int64_t ours = static_cast<uint32_t>(a1 - a0), ticks = static_cast<int64_t>(b1 - b0);
  EXPECT_GE(ours, ticks - 32);  // the tick count moves in steps of up to 16 ms
  EXPECT_LE(ours, ticks + 5000);
  SYSTEMTIME local{}, utc{};
  GetLocalTime(&local);
  GetSystemTime(&utc);
  auto date = [](const SYSTEMTIME& t) { return MakeDate(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond); };
  EXPECT_LE(std::llabs(date(local) - date(utc) - TimeZoneBias()), 2);
  EXPECT_LE(std::llabs(DateNow() - date(local)), 2);
}

// Catches the version, language and package probes answering with the Linux meaning.
TEST(WindowsProbes, VersionLanguagePackage) {
  EXPECT_EQ(IsLinuxVersionAtLeast(6, 0), 1);  // Vista is the oldest system there is
  EXPECT_EQ(IsLinuxVersionAtLeast(99, 0), 0);
  std::string lang = GetUiLanguage();
  EXPECT_TRUE(lang.size() >= 2 && lang.size() <= 3) << lang;
  for (char c : lang) EXPECT_TRUE(c >= 'a' && c <= 'z') << lang;
  EXPECT_EQ(RunningInSandbox(), 0);
  EXPECT_EQ(RegisterApplicationRestart(), 1);
}

// --- Processes -----------------------------------------------------------------------------------

// Catches a started program that holds the player's handles (an open file, a pipe's
// end, a sound device's event): it could keep them open after the player closed them.
TEST(WindowsProcesses, ChildrenGetNoHandlesOfThePlayer) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  std::vector<HANDLE> handles;
  std::string values;
  for (int i = 0; i < 8; ++i) {
    handles.push_back(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    values += (values.empty() ? "" : ",") + std::to_string(reinterpret_cast<uintptr_t>(handles.back()));
  }
  int code = -1;
  SetTestEnv("CORVALE_TEST_CHILD", ("handles:" + values).c_str());
  EXPECT_EQ(RunProcessWait(TestProgramPath(), {}, 30000, &code), 1);
  EXPECT_EQ(code, 0) << "handles the waited-for tool inherited";
  EXPECT_EQ(RunProcess(TestProgramPath(), {}, 1, &code), 1);
  SetTestEnv("CORVALE_TEST_CHILD", nullptr);
  EXPECT_EQ(code, 0) << "handles the started program inherited";
  for (HANDLE h : handles) CloseHandle(h);
}

// Catches a time-out that stops the tool but leaves what it started running.
TEST(WindowsProcesses, TimeOutStopsTheWholeTree) {
  int code = 5;
  SetTestEnv("CORVALE_TEST_CHILD", "exit:7");
  EXPECT_EQ(RunProcessWait(TestProgramPath(), {}, 30000, &code), 1);
  EXPECT_EQ(code, 7);
  std::string dir = TempFolder("tree");
  std::string pidFile = dir + "pid.txt";
  SetTestEnv("CORVALE_TEST_CHILD", ("tree:" + pidFile).c_str());
  EXPECT_EQ(RunProcessWait(TestProgramPath(), {}, 5000, &code), 2);
  SetTestEnv("CORVALE_TEST_CHILD", nullptr);
  EXPECT_EQ(code, -1);
  DWORD pid = static_cast<DWORD>(std::atol(ReadText(pidFile).c_str()));
  ASSERT_NE(pid, 0u) << "the child did not start its own child in time";
  HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (grandchild) {
    EXPECT_EQ(WaitForSingleObject(grandchild, 10000), WAIT_OBJECT_0);
    CloseHandle(grandchild);
  }
  EXPECT_EQ(RunProcessWait(dir + "missing.exe", {}, 1000, &code), 0);
  RemoveTree(dir);
}

// Catches a verified installer copy that others could change before it starts, a copy
// that is not what was hashed, and things that are no plain file copied at all.
TEST(WindowsProcesses, PrivateCopyOfAnInstaller) {
  std::string dir = TempFolder("copy");
  std::string setup = dir + "setup ü.exe";
  WriteWholeFile(setup, "MZ installer");
  std::string copy;
  ASSERT_EQ(HashAndCopyFile(setup, 256, &copy), DataHashHex("MZ installer", 256));
  EXPECT_EQ(copy.rfind(GetKnownFolder(KnownFolder::kUserData) + kApplicationId + "\\installer-", 0), 0u) << copy;
  const std::string name = "\\setup ü.exe";
  EXPECT_EQ(copy.substr(copy.size() - name.size()), name);
  WriteWholeFile(setup, "MZ swapped");
  EXPECT_EQ(ReadText(copy), "MZ installer");
  // This user and the system only, nothing inherited from the folder above (Wine keeps
  // the entries but not the protection flag, so the entries are what is checked).
  std::wstring folder = Widen(copy.substr(0, copy.find_last_of('\\')));
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                  nullptr, &sd),
            ERROR_SUCCESS);
  EXPECT_EQ(dacl ? dacl->AceCount : 0, 2);
  LocalFree(sd);
  EXPECT_EQ(DeletePrivateCopy(setup), 0);  // not a copy of ours
  EXPECT_EQ(DeletePrivateCopy(copy), 1);
  EXPECT_FALSE(FolderExists(Narrow(folder)));
  for (const std::string& bad : {dir, dir + "missing.exe"}) {
    EXPECT_EQ(HashAndCopyFile(bad, 256, &copy), "") << bad;
    EXPECT_EQ(copy, "");
  }
  EXPECT_GT(FreeDiskSpace(dir), 0);
  EXPECT_EQ(FreeDiskSpace(dir + "missing\\"), -1);
  RemoveTree(dir);
}

// Catches a tool wait that ignores the request to stop.
TEST(WindowsProcesses, StopRequestEndsTheWait) {
  static int asked = 0;
  int code = 0;
  SetTestEnv("CORVALE_TEST_CHILD", "sleep");
  EXPECT_EQ(RunProcessWait(TestProgramPath(), {}, -1, &code, [] { return ++asked >= 3 ? 1 : 0; }), 2);
  SetTestEnv("CORVALE_TEST_CHILD", nullptr);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(code, -1);
}

// Catches an installer that is opened instead of started (or the reverse), and relative
// or missing paths accepted.
TEST(WindowsProcesses, StartDownloadedFile) {
  std::string dir = TempFolder("start");
  std::string mark = dir + "mark.txt", opened = dir + "opened.txt";
  std::string setup = dir + "corvale setup.exe";
  ASSERT_TRUE(CopyFileW(Widen(TestProgramPath()).c_str(), Widen(setup).c_str(), FALSE));
  // The copy finds the libraries beside the test program along PATH.
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  SetTestEnv("PATH", (ExecutableFolder() + ";" + path).c_str());
  SetTestEnv("CORVALE_TEST_CHILD", ("record:" + mark).c_str());
  SetTestEnv("CORVALE_OPENER", nullptr);
  ASSERT_EQ(StartDownloadedFile(setup), 1);
  EXPECT_TRUE(WaitForFile(mark));
  EXPECT_EQ(ReadText(mark), "");  // started with no arguments
  // Anything else goes to the opener.
  std::string notes = dir + "notes.txt";
  WriteWholeFile(notes, "x");
  SetTestEnv("CORVALE_TEST_CHILD", ("record:" + opened).c_str());
  SetTestEnv("CORVALE_OPENER", TestProgramPath().c_str());
  ASSERT_EQ(StartDownloadedFile(notes), 1);
  EXPECT_TRUE(WaitForFile(opened));
  EXPECT_EQ(ReadText(opened), notes + "\n");
  EXPECT_EQ(StartDownloadedFile("notes.txt"), 0);
  EXPECT_EQ(StartDownloadedFile(dir + "missing.exe"), 0);
  SetTestEnv("CORVALE_OPENER", nullptr);
  SetTestEnv("CORVALE_TEST_CHILD", nullptr);
  SetTestEnv("PATH", path.c_str());
  // The started copy may still be closing.
  for (int i = 0; i < 100 && FileExists(setup) && !DeleteFileAt(setup); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  RemoveTree(dir);
}

}  // namespace

#endif  // _WIN32
