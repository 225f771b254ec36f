// The log: one routine that every thread calls to append a line to the log file,
// the memory log of the last ten lines and the log viewer (the debug log window).
#include <deque>
#include <mutex>

#include "base/base.h"
#include "platform/platform.h"

namespace {

// Everything below is shared by every thread that logs; gLogLock guards it all, so
// a record is written, remembered and shown as one piece and lines never interleave.
std::mutex gLogLock;
std::deque<std::string> gMemoryLog;
int gLogFile = 0;  // buffered file handle of the platform layer, 0 when closed
std::string gLogFilePath;
// Sequence of the window text, so a slower thread never replaces newer text.
uint64_t gLogSequence = 0;
std::atomic<LogViewer> gLogViewer{nullptr};

constexpr size_t kMemoryLogLines = 10;

std::string MemoryLogTextLocked() {
  std::string text;
  for (const std::string& line : gMemoryLog) {
    text += line;
    text += "\r\n";
  }
  return text;
}

}  // namespace

std::string FormatLogRecord(int64_t date, const std::string& line) {
  return FormatDate("%yyyy%mm%dd%hh%ii%ss", date) + " " + line + "\r\n";
}

std::string LogFileName(int64_t date) { return FormatDate("Debug %yyyy-%mm-%dd %hh-%ii-%ss", date) + ".txt"; }

std::string FormatScale(double scale) {
  std::string s = FormatFixed(scale, 10);
  if (s.find('.') != std::string::npos) {
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
  }
  return s;
}

void SetLogViewer(LogViewer viewer) { gLogViewer.store(viewer); }

int WriteLog(const std::string& line) {
  std::string text;
  uint64_t sequence;
  {
    std::lock_guard<std::mutex> lock(gLogLock);
    if (gLogFile) {
      std::string record = FormatLogRecord(DateNow(), line);
      // Each record goes through to the file at once: a crash or a kill must not take
      // the records that explain it, and the user may read the file while we run.
      WriteBufferedFile(gLogFile, record);
      FlushBufferedFile(gLogFile);
    }
    while (gMemoryLog.size() > kMemoryLogLines - 1) gMemoryLog.pop_front();
    gMemoryLog.push_back(line);
    text = MemoryLogTextLocked();
    sequence = ++gLogSequence;
  }
  if (LogViewer viewer = gLogViewer.load()) viewer(text, sequence);
  return 1;
}

void Log(std::string_view message) {
  if (!Logging()) return;
  std::string line = FormatDate("%hh:%ii:%ss ", DateNow());
  line.append(message);
  WriteLog(line);
}

int OpenLogFile(const std::string& folder, int64_t date) {
  if (folder.empty()) return 0;
  std::string path = folder;
  if (path.back() != '/') path += '/';
  path += LogFileName(date);
  // Created new (replacing a file of the same name); WriteLog flushes every record.
  // The file that is open now is given up only once the new one exists.
  int file = CreateBufferedFile(path);
  if (!file) return 0;
  std::lock_guard<std::mutex> lock(gLogLock);
  if (gLogFile) CloseBufferedFile(gLogFile);
  gLogFile = file;
  gLogFilePath = path;
  return 1;
}

void CloseLogFile() {
  std::lock_guard<std::mutex> lock(gLogLock);
  if (gLogFile) CloseBufferedFile(gLogFile);
  gLogFile = 0;
  gLogFilePath.clear();
}

int LogFileIsOpen() {
  std::lock_guard<std::mutex> lock(gLogLock);
  return gLogFile ? 1 : 0;
}

std::string LogFilePath() {
  std::lock_guard<std::mutex> lock(gLogLock);
  return gLogFilePath;
}

std::vector<std::string> MemoryLogLines() {
  std::lock_guard<std::mutex> lock(gLogLock);
  return {gMemoryLog.begin(), gMemoryLog.end()};
}

std::string MemoryLogText() {
  std::lock_guard<std::mutex> lock(gLogLock);
  return MemoryLogTextLocked();
}

void ClearMemoryLog() {
  std::lock_guard<std::mutex> lock(gLogLock);
  gMemoryLog.clear();
}
