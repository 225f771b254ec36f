// Small probes of the system: kernel version, interface language, session restart,
// sandboxed packages.
#include <sys/utsname.h>

#include <cstdlib>

#include "platform/platform.h"

int IsLinuxVersionAtLeast(int major, int minor) {
  utsname u{};
  if (uname(&u) != 0) return 0;
  int a = 0, b = 0;
  if (!ParseKernelRelease(u.release, &a, &b)) return 0;
  return (a > major || (a == major && b >= minor)) ? 1 : 0;
}

std::string GetUiLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = getenv(name);
    if (v && *v) return UiLanguageFromLocale(v);
  }
  return std::string();
}

int RegisterApplicationRestart() {
  // A session manager restores running programs itself; there is nothing to register.
  const char* sm = getenv("SESSION_MANAGER");
  return sm && *sm ? 1 : 0;
}

int RunningInSandbox() {
  const char* flatpak = getenv("FLATPAK_ID");
  if ((flatpak && *flatpak) || FileExists("/.flatpak-info")) return 1;
  const char* snap = getenv("SNAP");
  if (snap && *snap) return 2;
  return 0;
}
