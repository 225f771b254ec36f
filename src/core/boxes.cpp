// Error boxes, notices and questions, and restoring the main window.
#include <map>
#include <mutex>
#include <vector>

#include "core/core.h"
#include "runtime/runtime.h"

namespace {

constexpr const char* kErrorCaption = "Corvale Player Error!";

// Boxes of MessageBoxAsync waiting for their thread, by box number. Written by the
// starting thread and the box's own thread; guarded by gBoxLock.
struct AsyncBox {
  std::string caption;
  std::string text;
  int flags = 0;
  int owner = 0;
};
std::mutex gBoxLock;
std::map<int, AsyncBox> gBoxes;
std::vector<int> gBoxThreads;
int gNextBox = 1;

void AsyncBoxThread(int box) {
  AsyncBox record;
  {
    std::lock_guard<std::mutex> lock(gBoxLock);
    auto it = gBoxes.find(box);
    if (it == gBoxes.end()) return;
    record = std::move(it->second);
    gBoxes.erase(it);
  }
  ShowMessageBox(record.caption, record.text, record.flags | MbSetForeground, record.owner);
}

}  // namespace

void ShowErrorBox(const std::string& text) { ShowMessageBox(kErrorCaption, text, MbIconError | MbTaskModal, 0); }

void RestoreMainWindow() {
  if (!IsWindow(WinMain)) return;
  int state = GetWindowState(WinMain);
  if (state == WindowMinimized || state == WindowMaximized) SetWindowState(WinMain, WindowNormal);
}

void ReportFatalError(const std::string& text) {
  RestoreMainWindow();
  ShowErrorBox(text);
  HaltPlayback();
}

void ReportError(const std::string& text) {
  RestoreMainWindow();
  ShowErrorBox(text);
}

int MessageBoxAsync(const std::string& caption, const std::string& text, int flags, int ownerWindow) {
  int box;
  {
    std::lock_guard<std::mutex> lock(gBoxLock);
    box = gNextBox++;
    gBoxes[box] = AsyncBox{caption, text, flags, ownerWindow};
  }
  int thread = CreateThread(AsyncBoxThread, box);
  std::lock_guard<std::mutex> lock(gBoxLock);
  if (!thread) {
    gBoxes.erase(box);
    return 0;
  }
  // Keep the numbers of boxes still open so the exit knows about them.
  std::vector<int> open;
  for (int t : gBoxThreads)
    if (IsThread(t)) open.push_back(t);
  open.push_back(thread);
  gBoxThreads.swap(open);
  return 1;
}

int MessageBoxSync(const std::string& caption, const std::string& text, int flags, int ownerWindow) {
  if (ownerWindow && IsWindow(ownerWindow)) return ShowMessageBox(caption, text, flags | MbSetForeground, ownerWindow);
  return ShowMessageBox(caption, text, flags | MbSetForeground | MbTaskModal, 0);
}

std::vector<int> OpenBoxThreads() {
  std::lock_guard<std::mutex> lock(gBoxLock);
  return gBoxThreads;
}
