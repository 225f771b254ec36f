// The Windows shell's side of the runtime: what the taskbar entry asks of Explorer (read
// from the runtime's record, since Wine accepts every call and shows nothing), the tray
// icon's clicks and Explorer's restart, the clipboard's line ends, and the dialogs' hand-off
// from worker threads.
#ifdef _WIN32
#include <windows.h>
// These need the types of windows.h first.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <shobjidl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/win/rt_win.h"
#include "runtime_env.h"

namespace {

HWND MainHandle() {
  rt::WindowRecord* w = rt::FindWindow(1);
  return w ? w->hwnd : nullptr;
}

std::vector<WindowMessage> gMessages;
int Remember(const WindowMessage& m) {
  gMessages.push_back(m);
  return 0;
}

int Count(int kind, int param = -1) {
  int n = 0;
  for (const WindowMessage& m : gMessages)
    if (m.kind == kind && (param < 0 || m.param == param)) ++n;
  return n;
}

void Drain() {
  while (WaitWindowEvent(0)) {
  }
}

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OpenWindow(1, 0, 0, 200, 40, "Corvale Player", WindowBorderless | WindowMinimizeBox), 1);
    gMessages.clear();
    SetWindowCallback(1, Remember);
    ASSERT_EQ(CreateImage(50, 64, 64, 32, 0x336699), 50);
    Drain();
  }
  void TearDown() override {
    StopTaskbarEntry();
    rt::RecordTaskbarCalls(false);
    RemoveSysTrayIcon(1);
    FreeImage(50);
    CloseWindow(1);
    PumpEvents(2);
    setenv("CORVALE_DIALOGS", "stderr", 1);
  }
};

// Catches taskbar calls made before Explorer announced the button, buttons added twice (the
// taskbar takes them once) or not again after Explorer's restart, a button shown before
// the player gave it a look, and progress values outside 0..total.
TEST_F(ShellTest, TaskbarCallsFollowThePlayer) {
  StopTaskbarEntry();
  rt::RecordTaskbarCalls(true);
  EXPECT_EQ(TaskbarEntryConnected(), 0);
  EXPECT_EQ(SetTaskbarProgress(1, ProgressError, 100, 100), 0);
  EXPECT_EQ(SetThumbButton(1, 1, 50, "Muted"), 0);
  EXPECT_TRUE(rt::RecordedTaskbarCalls().empty());

  const UINT created = RegisterWindowMessageW(L"TaskbarButtonCreated");
  SendMessageW(MainHandle(), created, 0, 0);
  ASSERT_EQ(TaskbarEntryConnected(), 1) << "no ITaskbarList3";
  EXPECT_EQ(Count(MsgTaskbarButtonCreated), 1);
  rt::RecordTaskbarCalls(true);

  struct Step {
    std::function<int()> call;
    int result;
    std::vector<std::string> calls;
  };
  const Step steps[] = {
      // The first look adds both buttons; the one not given a look yet stays hidden.
      {[] { return SetThumbButton(1, 1, 50, "Muted"); },
       1,
       {"ThumbBarAddButtons 1 icon \"Muted\" 2 hidden no-icon \"\""}},
      {[] { return SetThumbButton(1, 2, 0, "Auto"); }, 1, {"ThumbBarUpdateButtons 2 no-icon \"Auto\""}},
      {[] { return SetThumbButton(1, 3, 50, "Third"); }, 0, {}},
      {[] { return SetThumbButton(2, 1, 50, "Other window"); }, 0, {}},
      {[] { return SetTaskbarProgress(1, ProgressError, 100, 100); },
       1,
       {"SetProgressState error", "SetProgressValue 100/100"}},
      {[] { return SetTaskbarProgress(1, ProgressNormal, 150, 100); },
       1,
       {"SetProgressState normal", "SetProgressValue 100/100"}},
      {[] { return SetTaskbarProgress(1, ProgressPaused, -5, 100); },
       1,
       {"SetProgressState paused", "SetProgressValue 0/100"}},
      {[] { return SetTaskbarProgress(1, ProgressIndeterminate, 1, 2); }, 1, {"SetProgressState indeterminate"}},
      {[] { return SetTaskbarProgress(1, ProgressNone, 0, 0); }, 1, {"SetProgressState none"}},
      {[] { return SetTaskbarProgress(2, ProgressError, 1, 1); }, 0, {}},
  };
  int i = 0;
  for (const Step& s : steps) {
    rt::RecordTaskbarCalls(true);
    EXPECT_EQ(s.call(), s.result) << "step " << i;
    EXPECT_EQ(rt::RecordedTaskbarCalls(), s.calls) << "step " << i;
    ++i;
  }

  // Explorer restarted: a new button without buttons, which get their last looks again.
  SendMessageW(MainHandle(), created, 0, 0);
  EXPECT_EQ(Count(MsgTaskbarButtonCreated), 2);
  rt::RecordTaskbarCalls(true);
  EXPECT_EQ(SetThumbButton(1, 1, 0, "Unmuted"), 1);
  EXPECT_EQ(rt::RecordedTaskbarCalls(),
            std::vector<std::string>{"ThumbBarAddButtons 1 no-icon \"Unmuted\" 2 no-icon \"Auto\""});
}

// Catches thumb-button clicks lost, reported with the wrong button, or taken from a
// control's ordinary WM_COMMAND.
TEST_F(ShellTest, ThumbButtonClicksReachTheCallback) {
  SendMessageW(MainHandle(), RegisterWindowMessageW(L"TaskbarButtonCreated"), 0, 0);
  ASSERT_EQ(TaskbarEntryConnected(), 1);
  struct Case {
    WORD id, code;
    int param;  // 0: no click
  } cases[] = {{1, THBN_CLICKED, 1}, {2, THBN_CLICKED, 2}, {3, THBN_CLICKED, 0}, {1, BN_CLICKED, 0}};
  for (const Case& c : cases) {
    gMessages.clear();
    SendMessageW(MainHandle(), WM_COMMAND, MAKEWPARAM(c.id, c.code), 0);
    EXPECT_EQ(Count(MsgThumbButtonClick), c.param ? 1 : 0) << c.id << "/" << c.code;
    if (c.param) EXPECT_EQ(Count(MsgThumbButtonClick, c.param), 1) << c.id;
  }
}

// Catches a suspend that the player never hears (its stream would sleep open), a resume
// heard twice (PBT_APMRESUMESUSPEND follows the automatic one when a user is there), and
// power messages of other windows taken for the player's.
TEST_F(ShellTest, PowerMessagesReachTheCallbackOnce) {
  struct Case {
    WPARAM event;
    int suspend, resume;
  } cases[] = {{PBT_APMSUSPEND, 1, 0},
               {PBT_APMRESUMEAUTOMATIC, 0, 1},
               {PBT_APMRESUMESUSPEND, 0, 0},
               {PBT_APMPOWERSTATUSCHANGE, 0, 0}};
  for (const Case& c : cases) {
    gMessages.clear();
    SendMessageW(MainHandle(), WM_POWERBROADCAST, c.event, 0);
    EXPECT_EQ(Count(MsgSuspend), c.suspend) << c.event;
    EXPECT_EQ(Count(MsgResume), c.resume) << c.event;
  }
  ASSERT_EQ(OpenWindow(2, 0, 0, 100, 40, "Other", WindowCaption), 1);
  SetWindowCallback(2, Remember);
  gMessages.clear();
  SendMessageW(rt::FindWindow(2)->hwnd, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
  EXPECT_EQ(Count(MsgSuspend), 0);
  CloseWindow(2);
}

bool TrayHostOrSkip() {
  if (SysTrayAvailable()) return true;
  return false;
}

// Catches a right click acted on twice (Windows sends WM_RBUTTONUP and WM_CONTEXTMENU),
// presses taken for clicks, and clicks of another icon reported as ours.
TEST_F(ShellTest, TrayClicksBecomeOneEventEach) {
  if (!TrayHostOrSkip()) GTEST_SKIP() << "no tray host (Explorer's tray window) in this session";
  ASSERT_EQ(AddSysTrayIcon(1, 1, 50), 1);
  const UINT callback = RegisterWindowMessageW(L"Corvale.TrayCallback");
  struct Case {
    UINT what;
    WORD icon;
    int type;  // -1: no event
  } cases[] = {
      {WM_LBUTTONDOWN, 1, -1},
      {WM_LBUTTONUP, 1, TrayLeftUp},
      {NIN_SELECT, 1, -1},
      {WM_LBUTTONDBLCLK, 1, TrayLeftDoubleClick},
      {WM_RBUTTONDOWN, 1, -1},
      {WM_RBUTTONUP, 1, -1},
      {WM_CONTEXTMENU, 1, TrayRightUp},
      {WM_RBUTTONDBLCLK, 1, TrayRightDoubleClick},
      {WM_MOUSEMOVE, 1, -1},
      {WM_LBUTTONUP, 2, -1},
  };
  for (const Case& c : cases) {
    SendMessageW(MainHandle(), callback, MAKEWPARAM(10, 10), MAKELPARAM(c.what, c.icon));
    int kind = WaitWindowEvent(0);
    if (c.type < 0) {
      EXPECT_EQ(kind, 0) << std::hex << c.what;
      continue;
    }
    ASSERT_EQ(kind, EventSysTray) << std::hex << c.what;
    EXPECT_EQ(EventWindow(), 1);
    EXPECT_EQ(EventObject(), 1);
    EXPECT_EQ(EventType(), c.type) << std::hex << c.what;
    EXPECT_EQ(WaitWindowEvent(0), 0) << "a second event for " << std::hex << c.what;
  }
}

// Catches an icon left out of the tray after Explorer restarted (it forgets every icon) and
// the restart not reaching the player.
TEST_F(ShellTest, TaskbarCreatedAddsTheIconAgain) {
  if (!TrayHostOrSkip()) GTEST_SKIP() << "no tray host (Explorer's tray window) in this session";
  ASSERT_EQ(AddSysTrayIcon(1, 1, 50), 1);
  NOTIFYICONDATAW d{};
  d.cbSize = sizeof d;
  d.hWnd = MainHandle();
  d.uID = 1;
  // The icon is there exactly when the shell lets it be changed.
  ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &d));
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &d));  // what Explorer's restart does
  ASSERT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &d));
  SendMessageW(MainHandle(), RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &d));
  EXPECT_EQ(IsSysTrayIcon(1), 1);
  EXPECT_EQ(Count(MsgTaskbarCreated), 1);
}

HWND ShownMenu() {
  HWND menu = FindWindowW(L"#32768", nullptr);
  return menu && IsWindowVisible(menu) ? menu : nullptr;
}

int gHookChoice = 0;
void ChooseWhileShown() {
  if (gHookChoice && ShownMenu()) {
    ChooseMenuItem(1, 1, gHookChoice);
    gHookChoice = 0;
  }
}

// Catches a popup menu that blocks its caller, a choice that does not arrive as one
// EventMenu of the window (or arrives twice when made while the menu is shown), and a
// menu left open.
TEST_F(ShellTest, PopupMenuChoiceArrivesOnce) {
  ASSERT_EQ(CreatePopupMenu(1), 1);
  MenuItem(1, 8, "Mute Stream");
  MenuBar(1);
  MenuItem(1, 14, "Quit Player");
  struct Case {
    const char* how;
    int command;
  } cases[] = {{"keys", 8}, {"ChooseMenuItem", 14}};
  for (const Case& c : cases) {
    const bool byKeys = std::string(c.how) == "keys";
    std::atomic<bool> returned{false}, early{false}, rescued{false}, stop{false};
    // The user (keys), and a safety net that closes a menu left open.
    std::thread watcher([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!stop && !ShownMenu() && std::chrono::steady_clock::now() < deadline) Sleep(5);
      HWND menu = ShownMenu();
      if (!menu) return;
      if (!returned) early = true;
      if (byKeys) {
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
      }
      const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      while (ShownMenu() && std::chrono::steady_clock::now() < patience) Sleep(5);
      if (HWND open = ShownMenu()) {
        rescued = true;
        PostMessageW(open, WM_KEYDOWN, VK_ESCAPE, 0);
      }
    });
    if (!byKeys) {
      gHookChoice = c.command;
      SetModalLoopHook(ChooseWhileShown);
    }
    ASSERT_EQ(DisplayPopupMenu(1, 1, 20, 20), 1);
    returned = true;
    EXPECT_EQ(WaitForEvent(EventMenu, 1, c.command, 1000, 10), 1) << c.how;
    stop = true;
    watcher.join();
    SetModalLoopHook(nullptr);
    EXPECT_FALSE(early) << "DisplayPopupMenu waited for the menu, " << c.how;
    EXPECT_FALSE(rescued) << "the menu stayed open, " << c.how;
    for (int i = 0; i < 20; ++i) EXPECT_NE(WaitWindowEvent(5), EventMenu) << "a second choice, " << c.how;
  }
  FreeMenu(1);
}

// Catches text put on the clipboard with bare LF line ends (one line in other programs) and
// other programs' CR LF text changed on the way in.
TEST_F(ShellTest, ClipboardTextHasCrLfLineEnds) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a\r\nb", "a\r\nb"},
      {"a\nb\n", "a\r\nb\r\n"},
      {"\n\n", "\r\n\r\n"},
      {"a\rb", "a\rb"},
      {"Zo\xC3\xAB\n\xF0\x9F\x98\x80", "Zo\xC3\xAB\r\n\xF0\x9F\x98\x80"},
      {"", ""},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(SetClipboardText(c.in), 1);
    EXPECT_EQ(GetClipboardText(), c.out);
  }
  // Text another program left: taken as it is.
  const std::wstring other = L"x\r\ny";
  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (other.size() + 1) * sizeof(wchar_t));
  auto* p = static_cast<wchar_t*>(GlobalLock(memory));
  other.copy(p, other.size());
  p[other.size()] = 0;
  GlobalUnlock(memory);
  SetClipboardData(CF_UNICODETEXT, memory);
  CloseClipboard();
  EXPECT_EQ(GetClipboardText(), "x\r\ny");
}

// Standard error as a program started by a console or a pipe has it: text mode, where the
// C library writes LF as CR LF. The lines must be byte for byte the Linux build's.
std::string CaptureStderrBytes(const std::function<void()>& body) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("corvale-stderr-" + std::to_string(GetCurrentProcessId()) + ".txt");
  fflush(stderr);
  int saved = _dup(2);
  int fd = _wopen(file.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_TEXT, _S_IREAD | _S_IWRITE);
  _dup2(fd, 2);
  _close(fd);
  body();
  fflush(stderr);
  _dup2(saved, 2);
  _close(saved);
  std::string out;
  if (FILE* f = _wfopen(file.c_str(), L"rb")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
  }
  std::filesystem::remove(file);
  return out;
}

// Catches unattended dialogs whose line ends in CR LF on Windows, or that block or answer
// differently when a worker thread asks.
TEST_F(ShellTest, UnattendedDialogLinesAreExactFromEveryThread) {
  setenv("CORVALE_DIALOGS", "stderr", 1);
  setenv("CORVALE_DIALOG_ANSWER", "No", 1);
  setenv("CORVALE_DIALOG_FILE", "C:\\logs\\Debug.txt", 1);
  for (bool worker : {false, true}) {
    int answer = 0;
    std::string path;
    auto ask = [&] {
      answer = ShowMessageBox("Corvale Player Version Check", "line one\r\nline two", MbYesNo, 1);
      path = SaveFileRequester("Savepath for debug logs:", "C:/logs/Debug x.txt", "Debug log (*.txt)|*.txt", 0);
    };
    std::string err = CaptureStderrBytes([&] {
      if (worker)
        std::thread(ask).join();
      else
        ask();
    });
    EXPECT_EQ(err,
              "dialog: Corvale Player Version Check: line one\\r\\nline two\n"
              "dialog: Savepath for debug logs:: C:/logs/Debug x.txt\n")
        << (worker ? "worker" : "main thread");
    EXPECT_EQ(answer, IdNo);
    EXPECT_EQ(path, "C:\\logs\\Debug.txt");
  }
  unsetenv("CORVALE_DIALOG_ANSWER");
  unsetenv("CORVALE_DIALOG_FILE");
}

HWND FindDialog(const wchar_t* title) {
  HWND box = FindWindowW(L"#32770", title);
  return box && IsWindowVisible(box) ? box : nullptr;
}

// Runs the player's loop until `found` gives a window or 10 s passed; counts the loop's
// turns (a posted event taken) meanwhile.
HWND LoopUntil(const std::function<HWND()>& found, int* turns) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    PostEvent(EventCustomFirst + 3, 1, 0);
    if (WaitWindowEvent(5) == EventCustomFirst + 3) ++*turns;
    if (HWND h = found()) return h;
    Sleep(1);
  }
  return nullptr;
}

// Catches a worker's box shown as a modal loop of the main thread (the player's loop would
// stop while it is up), a box not owned by (and modal to) its window, and its answer lost.
TEST_F(ShellTest, WorkerBoxKeepsTheLoopRunning) {
  setenv("CORVALE_DIALOGS", "show", 1);
  auto answer = std::make_shared<std::atomic<int>>(0);
  std::thread worker([answer] { *answer = ShowMessageBox("Corvale Player Version Check", "Update?", MbYesNo, 1); });
  // Watched from another thread: a box that stopped this thread's loop is found all the
  // same, and answered after a while so that the test ends.
  std::atomic<HWND> shown{nullptr};
  std::atomic<int> turnsWhileShown{0};
  std::thread watcher([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!shown && std::chrono::steady_clock::now() < deadline) {
      shown = FindDialog(L"Corvale Player Version Check");
      Sleep(5);
    }
    const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (shown && turnsWhileShown < 5 && std::chrono::steady_clock::now() < patience) Sleep(5);
    if (shown && turnsWhileShown < 5) PostMessageW(shown, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (turnsWhileShown < 5 && answer->load() == 0 && std::chrono::steady_clock::now() < deadline) {
    PostEvent(EventCustomFirst + 3, 1, 0);
    if (WaitWindowEvent(5) == EventCustomFirst + 3 && shown) ++turnsWhileShown;
    Sleep(1);
  }
  watcher.join();
  HWND box = shown;
  if (!box) {
    worker.detach();  // released by the teardown, which answers every waiting box
    FAIL() << "the worker's box was never shown";
  }
  EXPECT_GE(turnsWhileShown.load(), 5) << "the player's loop stopped while the box was up";
  if (answer->load() == 0) {
    EXPECT_EQ(GetWindow(box, GW_OWNER), MainHandle());
    EXPECT_FALSE(IsWindowEnabled(MainHandle())) << "the box is not modal to its window";
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
  }
  for (int i = 0; i < 2000 && answer->load() == 0; ++i) WaitWindowEvent(5);
  worker.join();
  EXPECT_EQ(answer->load(), IdNo);
  EXPECT_TRUE(IsWindowEnabled(MainHandle()));
}

// Catches a save dialog from a worker that opens elsewhere than the suggested file's folder
// (given with forward slashes), drops the suggested extension from a typed name, or
// answers with backslashes, which the player's folder split would not find.
TEST_F(ShellTest, WorkerSaveDialogStartsInTheSuggestedFolder) {
  setenv("CORVALE_DIALOGS", "show", 1);
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("corvale-save-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(folder);
  std::string suggested = folder.generic_string() + "/Debug 2026.txt";
  auto chosen = std::make_shared<std::string>();
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread worker([=] {
    *chosen = SaveFileRequester("Savepath for debug logs:", suggested, "Text|*.txt|All|*.*", 0);
    *done = true;
  });
  int turns = 0;
  HWND dialog = LoopUntil([] { return FindDialog(L"Savepath for debug logs:"); }, &turns);
  if (!dialog) {
    worker.detach();
    FAIL() << "the worker's save dialog was never shown";
  }
  EXPECT_GT(turns, 0);
  // The name box: the combo box of the Explorer-style dialog, or the old dialog's edit.
  HWND name = GetDlgItem(dialog, 0x47C);
  if (!name) name = GetDlgItem(dialog, 0x480);
  ASSERT_NE(name, nullptr);
  SetWindowTextW(name, L"typed");
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  for (int i = 0; i < 2000 && !*done; ++i) WaitWindowEvent(5);
  worker.join();
  // With "/" between the parts, where the player splits the folder off.
  EXPECT_EQ(*chosen, (folder / "typed.txt").generic_string());
  std::filesystem::remove_all(folder);
}

}  // namespace

#endif  // _WIN32
