// The dialogs' rules shared by every back end: the unattended mode, the answers, the file
// pattern, and a worker's wait for the dialog the main thread shows.
#include "runtime/rt_dialog_text.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <mutex>

#include "runtime/runtime.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace rt {

namespace {

std::mutex gDialogLock;
std::condition_variable gDialogDone;
std::list<std::shared_ptr<DialogRequest>> gPending;  // guarded by gDialogLock
bool gDialogsClosed = false;                         // guarded by gDialogLock

int ButtonSet(int flags) { return flags & 0xF; }

std::string Lowered(std::string_view s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  size_t b = s.find_last_not_of(" \t\r\n");
  std::string out = a == std::string_view::npos ? std::string() : std::string(s.substr(a, b - a + 1));
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

int EnvironmentAnswer(int flags) {
  const char* a = getenv("CORVALE_DIALOG_ANSWER");
  if (!a || !*a) return DefaultDialogAnswer(flags);
  const std::string s = Lowered(a);
  int set = ButtonSet(flags);
  bool hasYesNo = set == MbYesNo || set == MbYesNoCancel;
  bool hasCancel = set == MbOkCancel || set == MbYesNoCancel;
  if (hasYesNo && s == "yes") return IdYes;
  if (hasYesNo && s == "no") return IdNo;
  if (hasCancel && s == "cancel") return IdCancel;
  if (!hasYesNo && s == "ok") return IdOk;
  return DefaultDialogAnswer(flags);
}

// One line, byte for byte the same on every system: Windows' C library would turn the
// line end into CR LF in its text mode.
void WriteLine(std::string_view caption, std::string_view text) {
  const std::string line = DialogLine(caption, text) + "\n";
  fflush(stderr);
#ifdef _WIN32
  int old = _setmode(_fileno(stderr), _O_BINARY);
#endif
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
#ifdef _WIN32
  if (old != -1) _setmode(_fileno(stderr), old);
#endif
}

}  // namespace

bool DialogsToStderr(bool platformShowsNothing) {
  const char* m = getenv("CORVALE_DIALOGS");
  if (m && *m) return std::string_view(m) == "stderr";
  return platformShowsNothing;
}

int DefaultDialogAnswer(int flags) {
  bool second = (flags & 0xF00) == MbDefButton2;
  switch (ButtonSet(flags)) {
    case MbOkCancel:
      return second ? IdCancel : IdOk;
    case MbYesNo:
      return second ? IdNo : IdYes;
    case MbYesNoCancel:
      return second ? IdNo : ((flags & 0xF00) == 0x200 ? IdCancel : IdYes);
    default:
      return IdOk;
  }
}

int RefusedDialogAnswer(int flags) {
  switch (ButtonSet(flags)) {
    case MbYesNo:
      return IdNo;
    case MbOkCancel:
    case MbYesNoCancel:
      return IdCancel;
    default:
      return IdOk;
  }
}

int AnswerBoxUnseen(std::string_view caption, std::string_view text, int flags, bool fromEnvironment) {
  WriteLine(caption, text);
  return fromEnvironment ? EnvironmentAnswer(flags) : DefaultDialogAnswer(flags);
}

std::string AnswerSaveUnseen(std::string_view title, std::string_view defaultFile, bool fromEnvironment) {
  WriteLine(title, defaultFile);
  const char* f = getenv("CORVALE_DIALOG_FILE");
  return fromEnvironment && f ? std::string(f) : std::string();
}

std::vector<std::pair<std::string, std::string>> SplitFilePattern(std::string_view pattern) {
  std::vector<std::pair<std::string, std::string>> out;
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= pattern.size()) {
    size_t bar = pattern.find('|', start);
    if (bar == std::string_view::npos) bar = pattern.size();
    parts.push_back(pattern.substr(start, bar - start));
    start = bar + 1;
  }
  for (size_t i = 0; i + 1 < parts.size(); i += 2) out.emplace_back(parts[i], parts[i + 1]);
  return out;
}

std::shared_ptr<DialogRequest> OpenDialogRequest() {
  std::lock_guard<std::mutex> lock(gDialogLock);
  if (gDialogsClosed) return nullptr;
  auto request = std::make_shared<DialogRequest>();
  gPending.push_back(request);
  return request;
}

void WaitDialogRequest(const std::shared_ptr<DialogRequest>& request) {
  std::unique_lock<std::mutex> lock(gDialogLock);
  gDialogDone.wait(lock, [&]() { return request->done; });
  gPending.remove(request);
}

bool DialogRequestAnswered(const std::shared_ptr<DialogRequest>& request) {
  std::lock_guard<std::mutex> lock(gDialogLock);
  return request->done;
}

void FinishDialogRequest(const std::shared_ptr<DialogRequest>& request, int answer, const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(gDialogLock);
    if (request->done) return;
    request->done = true;
    request->answer = answer;
    request->path = path;
  }
  gDialogDone.notify_all();
}

void OpenDialogs() {
  std::lock_guard<std::mutex> lock(gDialogLock);
  gDialogsClosed = false;
}

void CloseDialogs() {
  {
    std::lock_guard<std::mutex> lock(gDialogLock);
    gDialogsClosed = true;
    for (auto& r : gPending) {
      if (!r->done) {
        r->done = true;
        r->answer = 0;
      }
    }
  }
  gDialogDone.notify_all();
}

}  // namespace rt

std::string DialogLine(std::string_view caption, std::string_view text) {
  std::string out = "dialog: ";
  auto put = [&](std::string_view s) {
    for (char c : s) {
      if (c == '\r')
        out += "\\r";
      else if (c == '\n')
        out += "\\n";
      else
        out += c;
    }
  };
  put(caption);
  out += ": ";
  put(text);
  return out;
}
