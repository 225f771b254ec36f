// The debug log window (window 6): opening it turns debug logging on and starts a log
// file, closing it (after a question) turns logging off. It shows the memory log,
// chooses the log folder and copies its text to the clipboard.
#include <atomic>
#include <mutex>
#include <thread>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "ui/ui.h"

namespace {

constexpr int kTextControl = 22;
constexpr int kSavepathButton = 23;
constexpr int kVkC = 0x43;

// Main thread only.
int gDebugFont = 0;

// Text handed over by threads other than the main one; guarded by gTextLock.
std::mutex gTextLock;
std::string gPendingText;
uint64_t gPendingSequence = 0;
uint64_t gShownSequence = 0;
bool gTextDirty = false;

// Set on the main thread while workers may already be logging; atomic.
std::atomic<std::thread::id> gMainThread{};
std::atomic<bool> gMainThreadKnown{false};

void DebugClientSize(float s, int* width, int* height) {
  *width = UiRound(2 * s) + UiRound(450 * s) + UiRound(2 * s);
  *height = UiRound(2 * s) + UiRound(260 * s) + UiRound(2 * s) + UiRound(30 * s) + UiRound(2 * s);
}

const ToolWindow kDebugTool = {
    .window = WinDebug,
    .caption = "Corvale Player Debug Log",
    .scale = &gApp.debugScale,
    .storedX = &gSettings.debugX,
    .storedY = &gSettings.debugY,
    .clientSize = DebugClientSize,
    .callback = DebugLogWindowCallback,
    .shortcuts = {{ShortcutControl | kVkC, MenuCopy}},
    .relayout = [] { OpenDebugLogWindow(kOpenWindow, kRelayout, kNoCopy); },
};

std::string WithSlash(std::string folder) {
  if (!folder.empty() && !IsPathSeparator(folder.back())) folder += '/';
  return folder;
}

}  // namespace

void SetCoreMainThread() {
  gMainThread.store(std::this_thread::get_id());
  gMainThreadKnown.store(true);
}

int OnCoreMainThread() {
  return gMainThreadKnown.load() && std::this_thread::get_id() == gMainThread.load() ? 1 : 0;
}

void ShowDebugLogText(const std::string& text, uint64_t sequence) {
  {
    std::lock_guard<std::mutex> lock(gTextLock);
    // A thread that built its text earlier but arrives later must not undo a newer one.
    if (sequence <= gPendingSequence) return;
    gPendingText = text;
    gPendingSequence = sequence;
    gTextDirty = true;
  }
  if (OnCoreMainThread()) FlushDebugLogText();
}

void FlushDebugLogText() {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(gTextLock);
    if (!gTextDirty) return;
    gTextDirty = false;
    if (gPendingSequence <= gShownSequence) return;
    gShownSequence = gPendingSequence;
    text = gPendingText;
  }
  if (IsWindow(WinDebug) && IsGadget(WinDebug, kTextControl)) SetGadgetText(WinDebug, kTextControl, text);
}

// Workers' lines reach the window only through the loop (FlushDebugLogText).
constexpr uint32_t kDebugFlushMs = 25;

void DebugLogIdle(uint32_t now) {
  if (IsWindow(WinDebug)) RequestWakeAt(now + kDebugFlushMs);
}

int OpenDebugLogWindow(int open, int relayout, int copy) {
  SetCoreMainThread();
  if (open) {
    if (!IsWindow(WinDebug)) {
      if (!OpenToolWindow(kDebugTool)) {
        open = 0;
      } else {
        TextGadget(WinDebug, kTextControl, 0, 0, 0, 0, "Debug");
        ButtonGadget(WinDebug, kSavepathButton, 0, 0, 0, 0, "Savepath");
        SetGadgetColors(WinDebug, kTextControl, kColorBackground, kColorText);
        SetGadgetColors(WinDebug, kSavepathButton, kColorBackground, kColorText);

        // The window shows the memory log from now on.
        SetLogViewer(ShowDebugLogText);
        gApp.debugLogging.store(1);
        OpenLogFile(gSettings.GetDebugSavePath(), DateNow());
        Log("Debug log started.");
        if (!LogFileIsOpen()) Log("Unable to create log file.");
        gSettings.debugShow.store(1);
        relayout = 1;
      }
    }
  }
  if (!open) {
    if (Logging()) Log("Ending log.");
    gApp.debugLogging.store(0);
    CloseLogFile();
    if (IsWindow(WinDebug)) CloseWindow(WinDebug);
    FreeFont(gDebugFont);
    gDebugFont = 0;
    gSettings.debugShow.store(0);
    return 0;
  }

  if (IsWindow(WinDebug) && relayout) {
    float s = gApp.debugScale;
    if (Logging()) Log("Debug DPI scale = " + FormatScale(s));
    ResizeGadget(WinDebug, kTextControl, UiRound(2 * s), UiRound(2 * s), UiRound(450 * s), UiRound(260 * s));
    int half = WindowClientWidth(WinDebug) / 2;
    int buttonWidth = UiRound(80 * s);
    ResizeGadget(WinDebug, kSavepathButton, UiRound(half - buttonWidth / 2.0),
                 UiRound(2 * s) + UiRound(260 * s) + UiRound(2 * s), buttonWidth, UiRound(30 * s));
    FreeFont(gDebugFont);
    gDebugFont = CreateUiFont("Source Sans Pro", 10 * s);
    SetGadgetFont(WinDebug, kTextControl, gDebugFont);
    SetGadgetFont(WinDebug, kSavepathButton, gDebugFont);
    ShowWindowNoActivate(WinDebug);
  }
  if (IsWindow(WinDebug) && copy) {
    FlushDebugLogText();
    SetClipboardText("Corvale Player Debug Log Window\r\n" + GetGadgetText(WinDebug, kTextControl));
  }
  return 1;
}

void ChooseDebugSavePath() {
  const std::string pattern = std::string("Debug log (*") + ".txt" + ")|*" + ".txt";
  std::string folder = gSettings.GetDebugSavePath();
  if (folder.empty() || !FolderExists(folder)) {
    folder = GetKnownFolder(KnownFolder::kDocuments);
    gSettings.SetDebugSavePath(folder);
  }
  folder = WithSlash(folder);
  std::string chosen = SaveFileRequester(
      "Savepath for debug logs:", folder + FormatDate("Debug %yyyy-%mm-%dd %hh-%ii-%ss", DateNow()) + ".txt", pattern,
      0);
  if (chosen.empty()) return;
  std::string target = FolderExists(chosen) ? WithSlash(chosen) : FolderOfPath(chosen);
  if (target.empty() || !FolderExists(target)) return;
  gSettings.SetDebugSavePath(target);
  // The next records go to a new file in the chosen folder; the open file is kept
  // when the new one cannot be created, and the log says which happened.
  if (Logging()) {
    if (OpenLogFile(target, DateNow()))
      Log("Created new log file.");
    else
      Log("Unable to create log file.");
  }
}

void ConfirmCloseDebugLogWindow() {
  int owner = IsWindow(WinDebug) ? WinDebug : 0;
  int answer = MessageBoxSync("Abort Debugging?",
                              "Closing the debug window will also\r\nabort the debug logging.\r\n\r\n"
                              "Are you really sure you want to quit the debug logging?",
                              MbYesNo | MbIconQuestion, owner);
  if (answer == IdYes) OpenDebugLogWindow(kCloseWindow, kKeepLayout, kNoCopy);
}

void HandleDebugLogEvent(int kind, int object, int type) {
  switch (kind) {
    case EventGadget:
      if (object == kSavepathButton) ChooseDebugSavePath();
      // The text fills most of the window: its right click is the window's.
      else if (object == kTextControl && type == GadgetRightClick)
        ShowTrayMenu();
      break;
    case EventMenu:
      if (object == MenuCopy)
        OpenDebugLogWindow(kOpenWindow, kKeepLayout, kCopyToClipboard);
      else if (object == MenuShowTrayMenu)
        ShowTrayMenu();
      break;
    case EventRightClick:
      ShowTrayMenu();
      break;
    case EventMoveWindow:
      StoreWindowPosition(WinDebug, gSettings.debugX, gSettings.debugY);
      break;
    case EventCloseWindow:
      ConfirmCloseDebugLogWindow();
      break;
    default:
      break;
  }
}

int DebugLogWindowCallback(const WindowMessage& m) { return ToolWindowMessage(kDebugTool, m); }
