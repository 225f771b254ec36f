// Small probes of the system: Windows version, interface language, restart after an
// update, store packages.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win/win_internal.h"

const OldestSystem kOldestSystem = {6, 0, "Windows Vista or later required!"};
const char* const kInstallerFileFilter = "Program Installer|*.exe;*.msi";
// The shell opens pages with the user's default browser; there is no opener to name.
const char* const kBrowserStartError = "Cannot start the web browser.";

int IsLinuxVersionAtLeast(int major, int minor) {
  // The same question of the Windows build: the NT version (6.1 = Windows 7). Without a
  // compatibility manifest Windows 8.1 and later answer as 6.2, which every check up to
  // that version still reads right.
  OSVERSIONINFOEXW want{};
  want.dwOSVersionInfoSize = sizeof want;
  want.dwMajorVersion = static_cast<DWORD>(major);
  want.dwMinorVersion = static_cast<DWORD>(minor);
  DWORDLONG mask = 0;
  mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&want, VER_MAJORVERSION | VER_MINORVERSION, mask) ? 1 : 0;
}

std::string GetUiLanguage() {
  wchar_t name[16] = {};
  LCID lcid = MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT);
  if (GetLocaleInfoW(lcid, LOCALE_SISO639LANGNAME, name, 16) <= 0) return std::string();
  // The same letters-only guard as the locale names of the Linux build.
  return UiLanguageFromLocale(winplat::Narrow(name));
}

int RegisterApplicationRestart() {
  // Restarted only when an installer or an update restarts Windows, like a session
  // manager restoring its programs; never after a crash or a hang.
  using Register = HRESULT(WINAPI*)(PCWSTR, DWORD);
  auto fn = reinterpret_cast<Register>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "RegisterApplicationRestart")));
  if (!fn) return 0;
  return SUCCEEDED(fn(nullptr, RESTART_NO_CRASH | RESTART_NO_HANG)) ? 1 : 0;
}

int RunningInSandbox() {
  // A packaged (store) program has a package name; Windows before 8 has no packages.
  using PackageName = LONG(WINAPI*)(UINT32*, PWSTR);
  auto fn = reinterpret_cast<PackageName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetCurrentPackageFullName")));
  if (!fn) return 0;
  UINT32 length = 0;
  LONG rc = fn(&length, nullptr);
  return rc == ERROR_INSUFFICIENT_BUFFER || rc == ERROR_SUCCESS ? 1 : 0;
}
