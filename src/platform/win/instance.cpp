// Single instance on Windows: a named mutex in the session's namespace, and a named pipe
// of the same session over which a second start asks the first to raise its window.
#include <windows.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "platform/win/win_internal.h"

using winplat::Widen;

namespace {

std::mutex gLockMutex;
HANDLE gLock = nullptr;  // guarded by gLockMutex

constexpr char kRaiseRequest[] = "raise\n";
// Pipe instances kept listening: as many starts in a row are taken without one waiting.
constexpr int kSlots = 8;
// How long a connected client may take to send its request, and how long a second start
// waits for a free pipe instance.
constexpr DWORD kRequestWaitMs = 200;
constexpr DWORD kBusyWaitMs = 2000;

struct Slot {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;  // manual reset, signalled when the pending I/O ends
  OVERLAPPED ov{};
  bool waiting = false;    // ConnectNamedPipe is pending
  bool connected = false;  // a client is there, its request not read yet
};

struct Listener {
  Slot slots[kSlots];
};

std::mutex gListenerLock;
std::map<int, std::unique_ptr<Listener>> gListeners;  // guarded by gListenerLock
int gNextListener = 1;

void StartIo(Slot& s) {
  ResetEvent(s.event);
  s.ov = OVERLAPPED{};
  s.ov.hEvent = s.event;
}

// Waits for the next client on the slot; a client that came in between counts at once.
void Arm(Slot& s) {
  StartIo(s);
  s.waiting = s.connected = false;
  if (ConnectNamedPipe(s.pipe, &s.ov)) {
    s.connected = true;
    return;
  }
  DWORD err = GetLastError();
  if (err == ERROR_IO_PENDING)
    s.waiting = true;
  else if (err == ERROR_PIPE_CONNECTED || err == ERROR_NO_DATA)
    s.connected = true;  // ERROR_NO_DATA: it already wrote and left
}

// Reads what the connected client sends, up to its line end, for at most a short while.
size_t ReadRequest(Slot& s, char* buf, size_t size) {
  size_t got = 0;
  ULONGLONG deadline = GetTickCount64() + kRequestWaitMs;
  while (got < size) {
    StartIo(s);
    DWORD n = 0;
    if (!ReadFile(s.pipe, buf + got, static_cast<DWORD>(size - got), nullptr, &s.ov)) {
      if (GetLastError() != ERROR_IO_PENDING) break;  // ERROR_BROKEN_PIPE: it left
      ULONGLONG now = GetTickCount64();
      DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
      if (WaitForSingleObject(s.event, left) != WAIT_OBJECT_0) {
        // A silent client never holds up the caller; what arrived meanwhile still counts.
        CancelIo(s.pipe);
        if (GetOverlappedResult(s.pipe, &s.ov, &n, TRUE)) got += n;
        break;
      }
    }
    if (!GetOverlappedResult(s.pipe, &s.ov, &n, FALSE) || n == 0) break;
    got += n;
    if (std::memchr(buf, '\n', got)) break;
  }
  return got;
}

void CloseSlot(Slot& s) {
  if (s.pipe != INVALID_HANDLE_VALUE) {
    // Closing the handle cancels a pending connect; wait for it before the OVERLAPPED
    // goes.
    CancelIo(s.pipe);
    if (s.waiting) {
      DWORD n = 0;
      GetOverlappedResult(s.pipe, &s.ov, &n, TRUE);
    }
    CloseHandle(s.pipe);
  }
  if (s.event) CloseHandle(s.event);
  s = Slot{};
}

}  // namespace

std::string InstanceLockPath(const std::string& name) { return "Local\\" + name; }

std::string InstanceSocketPath(const std::string& name) {
  // Pipe names are machine-wide while the mutex is per session: the session's number
  // keeps two users' players apart.
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  return "\\\\.\\pipe\\" + name + "-" + std::to_string(session);
}

int SingleInstanceLock(const std::string& name) {
  std::lock_guard<std::mutex> guard(gLockMutex);
  if (gLock) {
    CloseHandle(gLock);  // the last handle gone, the name is free again
    gLock = nullptr;
  }
  if (name.empty()) return 0;
  HANDLE m = CreateMutexW(nullptr, FALSE, Widen(InstanceLockPath(name)).c_str());
  DWORD err = GetLastError();
  if (!m) return err == ERROR_ACCESS_DENIED ? 2 : 0;  // there, made by a more privileged process
  if (err == ERROR_ALREADY_EXISTS) {
    CloseHandle(m);
    return 2;
  }
  gLock = m;
  return 1;
}

int FindInstanceWindow(const std::string& name, int value) {
  if (value == 0 || name.empty()) return 0;
  std::wstring pipe = Widen(InstanceSocketPath(name));
  for (int attempt = 0; attempt < 2; ++attempt) {
    // Identification only: whoever serves the pipe cannot act as this user.
    HANDLE h = CreateFileW(pipe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (h != INVALID_HANDLE_VALUE) return static_cast<int>(reinterpret_cast<intptr_t>(h));
    // Not there: the running instance has no main window yet. Busy: every instance of the
    // pipe has a client; one comes free as soon as the first reads.
    if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(pipe.c_str(), kBusyWaitMs)) return 0;
  }
  return 0;
}

int ActivateWindow(int handle) {
  if (handle <= 0) return 0;
  HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
  // The user just started this process, so it may bring windows to the front; it hands
  // that right to the running instance, which Windows would otherwise only let flash.
  ULONG server = 0;
  if (GetNamedPipeServerProcessId(h, &server)) AllowSetForegroundWindow(server);
  DWORD len = sizeof kRaiseRequest - 1, n = 0;
  BOOL ok = WriteFile(h, kRaiseRequest, len, &n, nullptr);
  CloseHandle(h);
  return ok && n == len ? 1 : 0;
}

int SendInstanceRequest(int handle, const std::string& request) {
  if (handle <= 0) return 0;
  HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
  DWORD len = static_cast<DWORD>(request.size()), n = 0;
  BOOL ok = WriteFile(h, request.data(), len, &n, nullptr);
  CloseHandle(h);
  return ok && n == len ? 1 : 0;
}

int InstanceListenerOpen(const std::string& name) {
  if (name.empty()) return -1;
  std::wstring pipe = Widen(InstanceSocketPath(name));
  auto l = std::make_unique<Listener>();
  for (int i = 0; i < kSlots; ++i) {
    Slot& s = l->slots[i];
    // The first instance must be new: a pipe of this name made by anyone else is refused.
    // The default access list lets other users read at most, never send.
    DWORD mode = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    s.pipe = CreateNamedPipeW(pipe.c_str(), mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_REJECT_REMOTE_CLIENTS,
                              kSlots, 0, 512, 0, nullptr);
    s.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (s.pipe == INVALID_HANDLE_VALUE || !s.event) {
      for (Slot& t : l->slots) CloseSlot(t);
      return -1;
    }
    Arm(s);
  }
  std::lock_guard<std::mutex> g(gListenerLock);
  int id = gNextListener++;
  gListeners[id] = std::move(l);
  return id;
}

int InstanceListenerRead(int listener, std::vector<int>* commands) {
  std::lock_guard<std::mutex> g(gListenerLock);
  auto it = gListeners.find(listener);
  if (it == gListeners.end()) return 0;
  int raises = 0;
  for (Slot& s : it->second->slots) {
    if (s.waiting) {
      if (WaitForSingleObject(s.event, 0) != WAIT_OBJECT_0) continue;  // nobody yet
      DWORD n = 0;
      s.waiting = false;
      s.connected = GetOverlappedResult(s.pipe, &s.ov, &n, FALSE) || GetLastError() == ERROR_NO_DATA;
      if (!s.connected) {
        DisconnectNamedPipe(s.pipe);
        Arm(s);
        continue;
      }
    }
    if (!s.connected) continue;
    char buf[32];
    size_t got = ReadRequest(s, buf, sizeof buf);
    int command = 0;
    const int kind = ParseInstanceRequest(std::string_view(buf, got), &command);
    if (kind == InstanceRequestRaise) ++raises;
    if (kind == InstanceRequestCommand && commands) commands->push_back(command);
    DisconnectNamedPipe(s.pipe);
    Arm(s);
  }
  return raises;
}

void InstanceListenerClose(int listener) {
  std::unique_ptr<Listener> l;
  {
    std::lock_guard<std::mutex> g(gListenerLock);
    auto it = gListeners.find(listener);
    if (it == gListeners.end()) return;
    l = std::move(it->second);
    gListeners.erase(it);
  }
  // With the last instance closed the pipe's name is gone.
  for (Slot& s : l->slots) CloseSlot(s);
}
