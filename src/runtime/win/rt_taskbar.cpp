// The main window's taskbar entry on Win32: two thumbnail-toolbar buttons (mute and the
// volume mode) and the progress state of the taskbar button, through ITaskbarList3 once
// Explorer has sent "TaskbarButtonCreated" (again after every restart of Explorer). Main
// thread only, except the record of calls, which tests read.
#include <windows.h>
// shobjidl.h needs the types of windows.h first.
#include <shobjidl.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/win/rt_shell.h"

namespace rt {

namespace {

constexpr int kButtons = 2;  // 1: mute, 2: volume mode

struct ButtonState {
  bool set = false;  // the player gave it a look; until then it stays hidden
  std::wstring tip;
  HICON icon = nullptr;
};

struct TaskbarEntry {
  int window = 1;  // whose taskbar button it is
  bool started = false;
  HWND hwnd = nullptr;  // the window's handle when its button was created
  ITaskbarList3* list = nullptr;
  bool buttonsAdded = false;  // ThumbBarAddButtons works once per taskbar button
  ButtonState buttons[kButtons];
  int muted = 0;  // shown by the mute button's own picture; kept for the asking
  TaskbarMetadataSource source = nullptr;
};
TaskbarEntry gEntry;

std::mutex gRecordLock;
bool gRecording = false;             // guarded by gRecordLock
std::vector<std::string> gRecorded;  // guarded by gRecordLock

void Record(const std::string& line) {
  std::lock_guard<std::mutex> lock(gRecordLock);
  if (gRecording) gRecorded.push_back(line);
}

const char* StateName(TBPFLAG flag) {
  switch (flag) {
    case TBPF_NOPROGRESS:
      return "none";
    case TBPF_INDETERMINATE:
      return "indeterminate";
    case TBPF_NORMAL:
      return "normal";
    case TBPF_ERROR:
      return "error";
    case TBPF_PAUSED:
      return "paused";
  }
  return "?";
}

TBPFLAG FlagOfState(int state) {
  switch (state) {
    case ProgressNormal:
      return TBPF_NORMAL;
    case ProgressError:
      return TBPF_ERROR;
    case ProgressPaused:
      return TBPF_PAUSED;
    case ProgressIndeterminate:
      return TBPF_INDETERMINATE;
    default:
      return TBPF_NOPROGRESS;
  }
}

THUMBBUTTON Describe(int id, std::string* line) {
  const ButtonState& b = gEntry.buttons[id - 1];
  THUMBBUTTON t{};
  t.dwMask = THB_ICON | THB_TOOLTIP | THB_FLAGS;
  t.iId = static_cast<UINT>(id);
  t.hIcon = b.icon;
  size_t n = std::min(b.tip.size(), ARRAYSIZE(t.szTip) - 1);
  b.tip.copy(t.szTip, n);
  t.dwFlags = b.set ? THBF_ENABLED : THBF_HIDDEN;
  *line += " " + std::to_string(id) + (b.set ? "" : " hidden") + (b.icon ? " icon" : " no-icon") + " \"" +
           Narrow(std::wstring_view(t.szTip, n)) + "\"";
  return t;
}

bool Connected() {
  return gEntry.list && gEntry.hwnd && gEntry.hwnd == HandleOfWindow(gEntry.window) && ::IsWindow(gEntry.hwnd);
}

// The first update adds both buttons (the taskbar takes them only once); later ones
// update the button that changed.
bool SendButton(int id) {
  if (!Connected()) return false;
  HRESULT hr;
  if (!gEntry.buttonsAdded) {
    std::string line = "ThumbBarAddButtons";
    THUMBBUTTON all[kButtons];
    for (int i = 0; i < kButtons; ++i) all[i] = Describe(i + 1, &line);
    Record(line);
    hr = gEntry.list->ThumbBarAddButtons(gEntry.hwnd, kButtons, all);
    gEntry.buttonsAdded = SUCCEEDED(hr);
  } else {
    std::string line = "ThumbBarUpdateButtons";
    THUMBBUTTON one = Describe(id, &line);
    Record(line);
    hr = gEntry.list->ThumbBarUpdateButtons(gEntry.hwnd, 1, &one);
  }
  return SUCCEEDED(hr);
}

// An elevated player still hears Explorer, which runs with less rights.
void AllowShellCommands(HWND hwnd) {
  using FilterEx = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
  static const auto filter = reinterpret_cast<FilterEx>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "ChangeWindowMessageFilterEx")));
  if (filter) filter(hwnd, WM_COMMAND, 1 /* MSGFLT_ALLOW */, nullptr);
}

void Connect(HWND hwnd) {
  if (!gEntry.list && EnsureMainThreadCom()) {
    ITaskbarList3* list = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                   reinterpret_cast<void**>(&list)))) {
      if (SUCCEEDED(list->HrInit()))
        gEntry.list = list;
      else
        list->Release();
    }
  }
  if (!gEntry.list) return;
  gEntry.hwnd = hwnd;
  gEntry.buttonsAdded = false;  // a new taskbar button has none
  AllowShellCommands(hwnd);
  Record("TaskbarButtonCreated");
  WindowMessage m;
  m.kind = MsgTaskbarButtonCreated;
  m.window = gEntry.window;
  SendWindowMessage(gEntry.window, m);
}

void ReleaseButtons() {
  for (ButtonState& b : gEntry.buttons) {
    if (b.icon) DestroyIcon(b.icon);
    b = ButtonState();
  }
}

}  // namespace

bool HandleTaskbarMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  const ShellMessageIds& ids = ShellMessages();
  if (ids.taskbarButtonCreated && msg == ids.taskbarButtonCreated) {
    // The main window's button starts the entry by itself, as its first showing does on
    // the desktops where the entry is a media player on the session bus.
    if (!gEntry.started && hwnd == HandleOfWindow(1)) {
      gEntry.window = 1;
      gEntry.started = true;
    }
    if (gEntry.started && hwnd == HandleOfWindow(gEntry.window)) Connect(hwnd);
    *result = 0;
    return true;
  }
  if (msg == WM_COMMAND && HIWORD(wp) == THBN_CLICKED && hwnd == gEntry.hwnd && gEntry.list) {
    int id = LOWORD(wp);
    if (id >= 1 && id <= kButtons) {
      WindowMessage m;
      m.kind = MsgThumbButtonClick;
      m.window = gEntry.window;
      m.param = id;
      SendWindowMessage(gEntry.window, m);
    }
    *result = 0;
    return true;
  }
  return false;
}

void ForgetTaskbarWindow(HWND hwnd) {
  if (hwnd != gEntry.hwnd) return;
  gEntry.hwnd = nullptr;
  gEntry.buttonsAdded = false;
}

void TeardownTaskbarEntry() { StopTaskbarEntry(); }

void RecordTaskbarCalls(bool on) {
  std::lock_guard<std::mutex> lock(gRecordLock);
  gRecording = on;
  gRecorded.clear();
}

std::vector<std::string> RecordedTaskbarCalls() {
  std::lock_guard<std::mutex> lock(gRecordLock);
  return gRecorded;
}

}  // namespace rt

using namespace rt;

int StartTaskbarEntry(int window) {
  if (!RuntimeReady()) return 0;
  if (gEntry.started) StopTaskbarEntry();
  gEntry.window = window;
  gEntry.started = true;
  // A button that exists already is announced from the loop, as Explorer's message is.
  HWND hwnd = HandleOfWindow(window);
  if (hwnd && IsWindowVisible(hwnd) && ShellMessages().taskbarButtonCreated)
    PostMessageW(hwnd, ShellMessages().taskbarButtonCreated, 0, 0);
  return 1;
}

void StopTaskbarEntry() {
  if (gEntry.list) gEntry.list->Release();
  ReleaseButtons();
  gEntry = TaskbarEntry();
}

int TaskbarEntryConnected() { return Connected() ? 1 : 0; }

// Explorer announces a new button itself after a restart: nothing to look for.
void CheckTaskbarEntry() {}

void SetTaskbarMuted(int muted) { gEntry.muted = muted ? 1 : 0; }

// The taskbar shows no now-playing data; the source is kept for the asking.
void SetTaskbarMetadataSource(TaskbarMetadataSource source) { gEntry.source = source; }

int SetThumbButton(int window, int buttonId, int image, const std::string& tooltip) {
  if (window != gEntry.window || buttonId < 1 || buttonId > kButtons) return 0;
  ButtonState& b = gEntry.buttons[buttonId - 1];
  HICON old = b.icon;
  // The taskbar keeps drawing from the handle: the old one goes after the update.
  b.icon = image ? MakeIconOfImage(image, GetSystemMetrics(SM_CXSMICON)) : nullptr;
  b.tip = Wide(tooltip);
  b.set = true;
  bool sent = SendButton(buttonId);
  if (old) DestroyIcon(old);
  return sent ? 1 : 0;
}

int SetTaskbarProgress(int window, int state, int value, int total) {
  if (window != gEntry.window || !Connected()) return 0;
  TBPFLAG flag = FlagOfState(state);
  Record(std::string("SetProgressState ") + StateName(flag));
  HRESULT hr = gEntry.list->SetProgressState(gEntry.hwnd, flag);
  if (SUCCEEDED(hr) && (flag == TBPF_NORMAL || flag == TBPF_ERROR || flag == TBPF_PAUSED) && total > 0) {
    ULONGLONG done = value < 0 ? 0 : (value > total ? total : value);
    Record("SetProgressValue " + std::to_string(done) + "/" + std::to_string(total));
    hr = gEntry.list->SetProgressValue(gEntry.hwnd, done, static_cast<ULONGLONG>(total));
  }
  return SUCCEEDED(hr) ? 1 : 0;
}
