// Starting other programs: CreateProcessW with a quoted command line, a job object that
// holds a waited-for tool and everything it starts, and the shell's "open".
#include <windows.h>
// These need the types of windows.h first.
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/platform.h"
#include "platform/win/win_internal.h"

namespace winplat {

std::wstring QuoteArgument(std::wstring_view arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) return std::wstring(arg);
  std::wstring out = L"\"";
  for (size_t i = 0;; ++i) {
    size_t slashes = 0;
    while (i < arg.size() && arg[i] == L'\\') {
      ++slashes;
      ++i;
    }
    if (i == arg.size()) {
      // Before the closing quote every backslash is doubled, so none escapes it.
      out.append(slashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      out.append(slashes * 2 + 1, L'\\');
      out += L'"';
    } else {
      out.append(slashes, L'\\');
      out += arg[i];
    }
  }
  out += L'"';
  return out;
}

std::wstring BuildCommandLine(const std::string& program, const std::vector<std::string>& args) {
  // argv[0] is read up to its closing quote with no escapes (a file name has no quotes).
  std::wstring line = L"\"" + Widen(program) + L"\"";
  for (const std::string& a : args) {
    line += L' ';
    line += QuoteArgument(Widen(a));
  }
  return line;
}

}  // namespace winplat

using winplat::Widen;

namespace {

std::string EnvironmentVariable(const wchar_t* name) {
  wchar_t small[512];
  DWORD n = GetEnvironmentVariableW(name, small, 512);
  if (n == 0) return std::string();
  if (n < 512) return winplat::Narrow(small);
  std::wstring big(n, L'\0');
  n = GetEnvironmentVariableW(name, big.data(), n);
  big.resize(n);
  return winplat::Narrow(big);
}

bool StartProcess(const std::string& program, const std::vector<std::string>& args, DWORD flags,
                  PROCESS_INFORMATION* pi) {
  if (program.empty()) return false;
  std::wstring line = winplat::BuildCommandLine(program, args);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  // No application name: a bare name is looked up the way a command line is (with ".exe"
  // added, along PATH), as the Linux build searches PATH for a name without "/". No
  // console window: a console tool started from the player would open one.
  return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags | CREATE_NO_WINDOW, nullptr, nullptr, &si,
                        pi) != 0;
}

int ExitCodeOf(HANDLE process) {
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return -1;
  // A crash's status (0xC0000005 ...) reads negative, like the Linux build's -1.
  return static_cast<int>(code);
}

int ShellRun(const std::string& target, const wchar_t* verb) {
  // The shell's handlers may need COM on this thread; a thread that already has it in
  // another mode keeps it.
  HRESULT co = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  std::wstring file = Widen(target);
  SHELLEXECUTEINFOW sei{};
  sei.cbSize = sizeof sei;
  // No error boxes of the shell: the player says what failed. NOASYNC: the call may come
  // from a worker thread that ends right after.
  sei.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  sei.lpVerb = verb;
  sei.lpFile = file.c_str();
  sei.nShow = SW_SHOWNORMAL;
  BOOL ok = ShellExecuteExW(&sei);
  if (SUCCEEDED(co)) CoUninitialize();
  return ok ? 1 : 0;
}

bool EndsWithNoCase(const std::string& text, const char* suffix) {
  size_t n = std::char_traits<char>::length(suffix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[text.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

}  // namespace

int RunProcess(const std::string& program, const std::vector<std::string>& args, int wait, int* exitCode) {
  PROCESS_INFORMATION pi{};
  if (!StartProcess(program, args, 0, &pi)) return 0;
  CloseHandle(pi.hThread);
  // A process that is not waited for leaves nothing behind once its handle is closed.
  if (wait) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    if (exitCode) *exitCode = ExitCodeOf(pi.hProcess);
  }
  CloseHandle(pi.hProcess);
  return 1;
}

int RunProcessWait(const std::string& program, const std::vector<std::string>& args, int timeoutMs, int* exitCode,
                   int (*stopRequested)()) {
  // The job holds the tool and whatever it starts, so a time-out stops them all; and
  // should the player itself end meanwhile, closing the job ends them too.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    job = nullptr;
  }
  PROCESS_INFORMATION pi{};
  // Suspended until it is in the job, so nothing it starts can escape.
  if (!StartProcess(program, args, CREATE_SUSPENDED, &pi)) {
    if (job) CloseHandle(job);
    return 0;
  }
  // Before Windows 8 a process already in a job (the player started by one) cannot join
  // another: then only the tool itself is stopped at a time-out.
  if (job && !AssignProcessToJobObject(job, pi.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  // In short steps when someone may ask to stop meanwhile.
  ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
  DWORD wait = WAIT_TIMEOUT;
  for (;;) {
    ULONGLONG now = GetTickCount64();
    DWORD left = timeoutMs < 0 ? INFINITE : now < end ? static_cast<DWORD>(end - now) : 0;
    wait = WaitForSingleObject(pi.hProcess, stopRequested && left > 50 ? 50 : left);
    if (wait != WAIT_TIMEOUT || left == 0 || (stopRequested && stopRequested())) break;
  }
  int result = 1;
  if (wait == WAIT_OBJECT_0) {
    if (exitCode) *exitCode = ExitCodeOf(pi.hProcess);
    // Helpers the tool left running on purpose outlive it, as on Linux.
    if (job) {
      limits.BasicLimitInformation.LimitFlags = 0;
      SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
  } else {
    if (job)
      TerminateJobObject(job, 1);
    else
      TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, 5000);
    if (exitCode) *exitCode = -1;
    result = 2;
  }
  if (job) CloseHandle(job);
  CloseHandle(pi.hProcess);
  return result;
}

int RunProcessWait(const std::string& program, const std::vector<std::string>& args, int timeoutMs, int* exitCode) {
  return RunProcessWait(program, args, timeoutMs, exitCode, nullptr);
}

int OpenWithShell(const std::string& target) {
  if (target.empty()) return 0;
  // Tests name their own opener, so nothing opens a browser.
  std::string opener = EnvironmentVariable(L"CORVALE_OPENER");
  if (!opener.empty()) return RunProcess(opener, {target}, 0, nullptr);
  // A local page may come with the player's "/" separators; the shell's handlers want
  // the system's own.
  std::string native = target;
  if (IsAbsolutePath(native)) std::replace(native.begin(), native.end(), '/', '\\');
  return ShellRun(native, L"open");
}

int StartDownloadedFile(const std::string& path) {
  if (!IsAbsolutePath(path) || !FileExists(path)) return 0;
  // A program or an installer package is started by the shell, which asks for elevation
  // when its manifest wants it; anything else is opened.
  if (EndsWithNoCase(path, ".exe") || EndsWithNoCase(path, ".msi")) return ShellRun(path, nullptr);
  return OpenWithShell(path);
}

void LimitMemoryArenas() {
  // Windows' heap has no per-thread arenas to limit.
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  int n = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n)) {
    for (int i = 0; i < n; ++i) args.push_back(winplat::Narrow(wide[i]));
    LocalFree(wide);
    return args;
  }
  for (int i = 0; i < argc && argv && argv[i]; ++i) args.push_back(argv[i]);
  return args;
}
