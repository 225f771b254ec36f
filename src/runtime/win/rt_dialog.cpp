// Message boxes, the save-file dialog and the clipboard on Win32.
//
// A dialog asked for by a worker is handed to the main thread, which gives it a thread of
// its own: a modal box on the main thread would stop the player's loop while the worker
// waits. The box is still owned by (and modal to) its window on the main thread.
#include <windows.h>
// These need the types of windows.h first.
#include <commdlg.h>
#include <objbase.h>
#include <process.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "runtime/rt_dialog_text.h"
#include "runtime/win/rt_shell.h"

namespace rt {

namespace {

// The message-box flags the player may give, passed on as they are (they are Windows').
constexpr UINT kBoxFlags = 0xFFF | MB_SYSTEMMODAL | MB_TASKMODAL | MB_SETFOREGROUND | MB_TOPMOST;

bool StderrMode() { return DialogsToStderr(false); }

int Answer(int shown, int flags) {
  switch (shown) {
    case IDOK:
    case IDCANCEL:
    case IDYES:
    case IDNO:
      return shown;
    default:
      return RefusedDialogAnswer(flags);
  }
}

struct SaveAsk {
  std::string title, defaultFile, pattern;
  int patternIndex = 0;
};

std::string AskSavePath(const SaveAsk& ask) {
  std::wstring filter;
  int pairs = 0;
  for (const auto& [name, globs] : SplitFilePattern(ask.pattern)) {
    filter += Wide(name) + L'\0' + Wide(globs) + L'\0';
    ++pairs;
  }
  filter += L'\0';
  std::wstring path = Wide(ask.defaultFile);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  size_t slash = path.find_last_of(L'\\');
  std::wstring folder = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  std::wstring title = Wide(ask.title);
  // Typing a bare name keeps the suggested file's extension.
  size_t dot = name.find_last_of(L'.');
  std::wstring extension = dot == std::wstring::npos ? std::wstring() : name.substr(dot + 1);
  std::vector<wchar_t> file(32768, L'\0');
  name.copy(file.data(), std::min(name.size(), file.size() - 1));
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.lpstrFilter = pairs ? filter.c_str() : nullptr;
  ofn.nFilterIndex = ask.patternIndex >= 0 && ask.patternIndex < pairs ? ask.patternIndex + 1 : 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  ofn.lpstrTitle = title.c_str();
  ofn.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!GetSaveFileNameW(&ofn)) return std::string();
  // The player takes the folder up to the last "/", as every folder path it keeps ends
  // with one; Windows reads either separator.
  std::wstring chosen = file.data();
  std::replace(chosen.begin(), chosen.end(), L'\\', L'/');
  return Narrow(chosen);
}

// A worker's dialog, shown on a thread of its own.
struct DialogJob {
  std::shared_ptr<DialogRequest> request;
  bool save = false;
  std::string caption, text;  // message box
  int flags = 0, owner = 0;
  HWND ownerHwnd = nullptr;
  SaveAsk ask;  // save dialog
};

struct DialogThread {
  HANDLE handle = nullptr;
  DWORD id = 0;
  int closeCommand = IDCANCEL;  // the button the teardown presses
};
std::vector<DialogThread> gDialogThreads;  // main thread only

unsigned __stdcall RunDialogJob(void* context) {
  DialogJob* job = static_cast<DialogJob*>(context);
  if (!DialogRequestAnswered(job->request)) {
    if (job->save) {
      // The file dialog's shell views want a single-threaded apartment on their thread.
      HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
      std::string path = AskSavePath(job->ask);
      if (SUCCEEDED(com)) CoUninitialize();
      FinishDialogRequest(job->request, 1, path);
    } else {
      int shown = MessageBoxW(job->ownerHwnd, Wide(job->text).c_str(), Wide(job->caption).c_str(),
                              static_cast<UINT>(job->flags) & kBoxFlags);
      FinishDialogRequest(job->request, Answer(shown, job->flags), std::string());
    }
  }
  delete job;
  return 0;
}

void ReapDialogThreads() {
  for (auto it = gDialogThreads.begin(); it != gDialogThreads.end();) {
    if (WaitForSingleObject(it->handle, 0) == WAIT_OBJECT_0) {
      CloseHandle(it->handle);
      it = gDialogThreads.erase(it);
    } else {
      ++it;
    }
  }
}

// Main thread: the worker's dialog gets its owner's handle and its thread.
void StartDialogJob(void* context) {
  DialogJob* job = static_cast<DialogJob*>(context);
  ReapDialogThreads();
  if (DialogRequestAnswered(job->request)) {
    delete job;
    return;
  }
  job->ownerHwnd = HandleOfWindow(job->owner);
  DialogThread t;
  t.closeCommand = job->save ? IDCANCEL : RefusedDialogAnswer(job->flags);
  std::shared_ptr<DialogRequest> request = job->request;
  unsigned id = 0;
  t.handle = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunDialogJob, job, 0, &id));
  if (!t.handle) {
    delete job;
    FinishDialogRequest(request, 0, std::string());
    return;
  }
  t.id = id;
  gDialogThreads.push_back(t);
}

BOOL CALLBACK PressCloseButton(HWND hwnd, LPARAM command) {
  wchar_t name[16] = {};
  GetClassNameW(hwnd, name, ARRAYSIZE(name));
  if (std::wstring_view(name) == L"#32770")
    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(command), BN_CLICKED), 0);
  return TRUE;
}

// The clipboard's owner: a message-only window of the main thread.
HWND gClipboardOwner = nullptr;

HWND ClipboardOwner() {
  if (gClipboardOwner) return gClipboardOwner;
  static const wchar_t* const kClass = L"CorvaleClipboardOwner";
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kClass;
  RegisterClassW(&wc);  // fails harmlessly when registered by an earlier start
  gClipboardOwner = CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  return gClipboardOwner;
}

// Another program may hold the clipboard for a moment.
bool OpenClipboardSoon() {
  HWND owner = ClipboardOwner();
  for (int i = 0; i < 20; ++i) {
    if (OpenClipboard(owner)) return true;
    Sleep(5);
  }
  return false;
}

bool gComInitialised = false;  // main thread only

}  // namespace

HWND HandleOfWindow(int window) {
  WindowRecord* w = window ? FindWindow(window) : nullptr;
  return w ? w->hwnd : nullptr;
}

bool EnsureMainThreadCom() {
  if (gComInitialised) return true;
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  // Someone made the thread's apartment multi-threaded already: COM works, and is not
  // ours to end.
  if (hr == RPC_E_CHANGED_MODE) return true;
  gComInitialised = SUCCEEDED(hr);
  return gComInitialised;
}

void ReleaseMainThreadCom() {
  if (gComInitialised) CoUninitialize();
  gComInitialised = false;
}

void TeardownDialogs() {
  CloseDialogs();  // every waiting worker goes on with the cautious answer
  // Boxes still shown on their threads get their cautious button pressed. Closing a box
  // enables its owner window again through this thread, so it keeps taking sent messages.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  ReapDialogThreads();
  while (!gDialogThreads.empty() && std::chrono::steady_clock::now() < deadline) {
    std::vector<HANDLE> handles;
    for (const DialogThread& t : gDialogThreads) {
      EnumThreadWindows(t.id, PressCloseButton, t.closeCommand);
      handles.push_back(t.handle);
    }
    MsgWaitForMultipleObjects(static_cast<DWORD>(std::min<size_t>(handles.size(), MAXIMUM_WAIT_OBJECTS - 1)),
                              handles.data(), FALSE, 20, QS_SENDMESSAGE);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    ReapDialogThreads();
  }
  for (const DialogThread& t : gDialogThreads) CloseHandle(t.handle);
  gDialogThreads.clear();
  if (gClipboardOwner) DestroyWindow(gClipboardOwner);
  gClipboardOwner = nullptr;
}

}  // namespace rt

using namespace rt;

int ShowMessageBox(const std::string& caption, const std::string& text, int flags, int owner) {
  const bool unattended = StderrMode();
  if (unattended || !RuntimeReady()) return AnswerBoxUnseen(caption, text, flags, unattended);
  if (OnMainThread()) {
    HWND hwnd = HandleOfWindow(owner);
    UINT type = static_cast<UINT>(flags) & kBoxFlags;
    // Without an owner the box still keeps the player's windows from input.
    if (!hwnd) type |= MB_TASKMODAL;
    BeginModalLoop();
    int shown = MessageBoxW(hwnd, Wide(text).c_str(), Wide(caption).c_str(), type);
    EndModalLoop();
    return Answer(shown, flags);
  }
  std::shared_ptr<DialogRequest> request = OpenDialogRequest();
  if (!request) return RefusedDialogAnswer(flags);
  auto* job = new DialogJob;
  job->request = request;
  job->caption = caption;
  job->text = text;
  job->flags = flags;
  job->owner = owner;
  if (!RunOnMainThread(StartDialogJob, job)) {
    delete job;
    FinishDialogRequest(request, 0, std::string());
  }
  WaitDialogRequest(request);
  return request->answer ? request->answer : RefusedDialogAnswer(flags);
}

std::string SaveFileRequester(const std::string& title, const std::string& defaultFile, const std::string& pattern,
                              int patternIndex) {
  const bool unattended = StderrMode();
  if (unattended || !RuntimeReady()) return AnswerSaveUnseen(title, defaultFile, unattended);
  SaveAsk ask{title, defaultFile, pattern, patternIndex};
  if (OnMainThread()) {
    EnsureMainThreadCom();
    BeginModalLoop();
    std::string path = AskSavePath(ask);
    EndModalLoop();
    return path;
  }
  std::shared_ptr<DialogRequest> request = OpenDialogRequest();
  if (!request) return std::string();
  auto* job = new DialogJob;
  job->request = request;
  job->save = true;
  job->ask = ask;
  if (!RunOnMainThread(StartDialogJob, job)) {
    delete job;
    FinishDialogRequest(request, 0, std::string());
  }
  WaitDialogRequest(request);
  return request->path;
}

// --- Clipboard ---------------------------------------------------------------------------

int SetClipboardText(const std::string& text) {
  if (!RuntimeReady() || !OnMainThread()) return 0;
  // Windows' text has CR LF line ends; a lone LF becomes one.
  std::wstring wide = Wide(text), out;
  out.reserve(wide.size() + 16);
  for (size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] == L'\n' && (i == 0 || wide[i - 1] != L'\r')) out += L'\r';
    out += wide[i];
  }
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (out.size() + 1) * sizeof(wchar_t));
  if (!memory) return 0;
  auto* p = static_cast<wchar_t*>(GlobalLock(memory));
  out.copy(p, out.size());
  p[out.size()] = L'\0';
  GlobalUnlock(memory);
  if (!OpenClipboardSoon()) {
    GlobalFree(memory);
    return 0;
  }
  EmptyClipboard();
  bool ok = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
  if (!ok) GlobalFree(memory);  // the clipboard owns it only when taken
  CloseClipboard();
  return ok ? 1 : 0;
}

std::string GetClipboardText() {
  if (!RuntimeReady() || !OnMainThread() || !IsClipboardFormatAvailable(CF_UNICODETEXT)) return std::string();
  if (!OpenClipboardSoon()) return std::string();
  std::string text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
      // Bounded by the block: the terminator is another program's promise.
      size_t most = GlobalSize(data) / sizeof(wchar_t);
      size_t n = 0;
      while (n < most && p[n]) ++n;
      text = Narrow(std::wstring_view(p, n));
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}
