// Shared set-up of the tray and taskbar tests: the runtime on Qt's offscreen platform,
// the settings at their defaults and the three tray images made in memory.
#pragma once

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "player_env.h"
#include "runtime/runtime.h"
#include "test_env.h"
#include "ui/ui.h"

inline void StartTrayRuntime() {
  // Headless and never blocked by a box, also when run outside CTest.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("CORVALE_DIALOGS", "stderr", 0);
  static char arg0[] = "test_tray";
  static char* argv[] = {arg0, nullptr};
  ASSERT_EQ(RuntimeInit(1, argv), 1);
}

// Distinct solid images stand in for the skin's tray pictures.
inline void MakeTrayImages() {
  if (!gApp.trayImageNormal) gApp.trayImageNormal = CreateImage(ImageAny, 64, 64, 32, 0x00FF00);
  if (!gApp.trayImageMuted) gApp.trayImageMuted = CreateImage(ImageAny, 64, 64, 32, 0xFF0000);
  if (!gApp.trayImageConnect) gApp.trayImageConnect = CreateImage(ImageAny, 64, 64, 32, 0x0000FF);
}

class TrayTest : public PlayerEnv {
 protected:
  void SetUp() override {
    StartTrayRuntime();
    MakeTrayImages();
    if (IsMenu(kTrayMenu)) FreeMenu(kTrayMenu);
    while (WaitWindowEvent(0) != 0) {
    }
  }
};

// Hands the event just taken from the queue to the player's own dispatch, as the
// event loop does.
inline void DispatchTakenEvent(int kind) {
  if (kind != 0) DispatchEvent(kind, EventWindow(), EventObject(), EventType());
}

// The program data folder of the build: beside the test executables.
inline std::string BuildDataFolder() {
  const char* data = getenv("CORVALE_DATA_DIR");
  if (data && *data) return std::string(data) + "/";
  return ExecutableFolder() + "data/";
}

// --- Helpers of the tests that start their own X server and tray host ----------------
#ifndef _WIN32
namespace xtest {

inline std::string Output(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

inline bool Have(const char* program) {
  return system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

inline pid_t Spawn(const std::vector<std::string>& args, int keepFd = -1) {
  pid_t pid = fork();
  if (pid == 0) {
    // Quiet children: their chatter is not the test's.
    FILE* null = freopen("/dev/null", "w", stderr);
    (void)null;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (int fd = 3; fd < 256; fd++) {
      if (fd != keepFd) close(fd);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Starts Xvfb with the given screen ("1024x768x24") on a free display and waits until it
// answers (the toolkit ends the process when its first connection fails). Returns the
// display (":N"), or a text starting with "error: " that says what went wrong.
inline std::string StartXvfb(pid_t* pid, const std::string& screen, bool noreset) {
  int fds[2];
  if (pipe(fds) != 0) return "error: no pipe";
  std::vector<std::string> args = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten", "tcp"};
  if (noreset) args.push_back("-noreset");
  *pid = Spawn(args, fds[1]);
  close(fds[1]);
  // The number and its newline come in two writes; closing early would kill the server.
  char buf[32] = {0};
  size_t got = 0;
  while (got < sizeof buf - 1 && !memchr(buf, '\n', got)) {
    ssize_t n = read(fds[0], buf + got, sizeof buf - 1 - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  if (got == 0) return "error: Xvfb did not start";
  const std::string display = ":" + std::to_string(atoi(buf));
  for (int i = 0; i < 100; i++) {
    if (system(("xdpyinfo -display " + display + " >/dev/null 2>&1").c_str()) == 0) return display;
    usleep(50000);
  }
  int status = 0;
  const bool exited = waitpid(*pid, &status, WNOHANG) == *pid;
  return "error: Xvfb on " + display + " does not answer; exited: " + std::to_string(exited) + " status " +
         std::to_string(status);
}

// Finds the test's tray icon (window class "test_tray", which trayer reparents into its
// panel) in the display's window tree: its id and its centre on the screen. `pump` runs
// the event loop between looks.
inline bool FindTrayIcon(const std::string& display, const std::function<void()>& pump, std::string* id, int* x,
                         int* y) {
  const std::regex icon(
      R"((0x[0-9a-f]+) [^\n]*\("test_tray" [^\n]*\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))");
  for (int attempt = 0; attempt < 100; attempt++) {
    pump();
    const std::string tree = Output("xwininfo -display " + display + " -root -tree");
    std::smatch m;
    std::string::const_iterator start = tree.begin();
    while (std::regex_search(start, tree.cend(), m, icon)) {
      int w = std::stoi(m[2]), h = std::stoi(m[3]), ax = std::stoi(m[4]), ay = std::stoi(m[5]);
      // The main window is hidden; the icon is the small window inside the panel.
      if (w > 1 && w <= 64 && h > 1 && h <= 64 && ax >= 0 && ay >= 0) {
        if (id) *id = m[1];
        *x = ax + w / 2;
        *y = ay + h / 2;
        return true;
      }
      start = m.suffix().first;
    }
  }
  return false;
}

inline void Stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = 0;
}

// A test with an X display of its own: Xvfb, optionally the openbox window manager, and
// the runtime on it through xcb, with no StatusNotifier host (a tray icon goes to an X
// tray) and fresh tray images (those of an earlier test went with its runtime).
class XDisplayTest : public PlayerEnv {
 protected:
  pid_t xvfb = 0, wm = 0;
  std::string display;

  struct XOptions {
    std::vector<const char*> tools;  // the X tools the test runs besides Xvfb
    const char* screen = "1024x768x24";
    bool noreset = true;  // the server keeps its resources (the DPI) when its last client leaves
    int dpi = 96;         // the desktop's logical DPI: the windows' scale is dpi / 96
    bool openbox = false;
  };

  // Starts it all; false when the test is skipped (a tool is missing, or the runtime
  // already runs on another platform) or failed to start, both already reported.
  bool StartDisplay(const XOptions& d) {
    StartDisplaySteps(d);
    return !IsSkipped() && !HasFatalFailure();
  }

  // The build's data folder in place of the player's, with the windows' face registered
  // as start-up does, until StopDisplay.
  void UseBuildData() {
    SetCoreMainThread();
    savedData_ = gApp.dataFolder;
    gApp.dataFolder = BuildDataFolder();
    RegisterPrivateFont(gApp.dataFolder + "SourceSansPro-Regular.otf");
  }

  // Ends the runtime (when it started here), the window manager and the server.
  void StopDisplay() {
    if (xvfb > 0) RuntimeTeardown();
    if (savedData_) gApp.dataFolder = *savedData_;
    Stop(wm);
    Stop(xvfb);
  }

 private:
  std::optional<std::string> savedData_;

  void StartDisplaySteps(const XOptions& d) {
    for (const char* tool : d.tools)
      if (!Have(tool)) GTEST_SKIP() << tool << " missing";
    if (!Have("Xvfb") || !Have("xdpyinfo")) GTEST_SKIP() << "Xvfb or x11-utils missing";
    if (RuntimeReady()) GTEST_SKIP() << "the runtime already runs on another platform";
    display = StartXvfb(&xvfb, d.screen, d.noreset);
    ASSERT_EQ(display.rfind("error: ", 0), std::string::npos) << display;
    setenv("DISPLAY", display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    // The desktop's DPI as xrdb would set it: the Xft.dpi resource of the root window.
    if (d.dpi != 96) {
      const std::string set = "xprop -display " + display +
                              " -root -f RESOURCE_MANAGER 8s -set RESOURCE_MANAGER 'Xft.dpi:\t" +
                              std::to_string(d.dpi) + "\n'";
      ASSERT_EQ(system(set.c_str()), 0);
    }
    if (d.openbox) {
      wm = Spawn({"openbox", "--sm-disable"});
      // The manager is up once it names itself on the root window.
      bool up = false;
      for (int i = 0; i < 200 && !up; i++) {
        up = Output("xprop -display " + display + " -root _NET_SUPPORTING_WM_CHECK").find("window id") !=
             std::string::npos;
        if (!up) usleep(50000);
      }
      ASSERT_TRUE(up) << "openbox did not come up";
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/corvale-bus", 1);
    StartTrayRuntime();
    ASSERT_EQ(RuntimePlatformName(), "xcb");
    gApp.trayImageNormal = gApp.trayImageMuted = gApp.trayImageConnect = 0;
    MakeTrayImages();
  }
};

}  // namespace xtest
#endif
