// Small probes of the system: kernel version, interface language, session restart,
// sandboxed packages.
#include <sys/utsname.h>

#include <cstdlib>

#include "platform/platform.h"

const OldestSystem kOldestSystem = {3, 2, "Linux 3.2 or later required!"};
const char* const kInstallerFileFilter = "Program Installer|*.run;*.bin;*.AppImage;*.deb;*.sh";
const char* const kBrowserStartError = "Cannot start the web browser (xdg-open).";

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

int SandboxFromFacts(const std::string& executable, const std::string& snap, bool flatpakInfo) {
  // Flatpak puts its marker file at the root of every sandbox it runs.
  if (flatpakInfo) return 1;
  // $SNAP alone is inherited by whatever a snap starts (a terminal's shell and all it
  // runs): only a program that lies inside that snap is the store's.
  std::string root = snap;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root.size() < 2 || root[0] != '/' || executable.size() <= root.size()) return 0;
  return executable.compare(0, root.size(), root) == 0 && executable[root.size()] == '/' ? 2 : 0;
}

int RunningInSandbox() {
  const char* snap = getenv("SNAP");
  std::string executable;
  if (snap && *snap) {
    char* real = realpath("/proc/self/exe", nullptr);
    if (real) executable = real;
    free(real);
  }
  return SandboxFromFacts(executable, snap ? snap : "", FileExists("/.flatpak-info"));
}
