// The network's state on Windows: NotifyAddrChange tells of every address change, read
// on a thread of its own; the adapters that are up with an address tell the state.
// winsock2.h comes before windows.h, and iphlpapi.h after both.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

struct NetworkWatch {
  std::mutex lock;  // guards the fields below; taken by Start and Stop only
  std::thread thread;
  HANDLE stopEvent = nullptr;
};
// Never destroyed: an exit while the thread runs must not meet a joinable std::thread.
NetworkWatch& gWatch = *new NetworkWatch;

void WatchThread(HANDLE stopEvent, NetworkChangeProc changed) {
  int shown = NetworkIsUp();
  changed(shown);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!overlapped.hEvent) return;
  for (;;) {
    HANDLE notify = nullptr;
    DWORD r = NotifyAddrChange(&notify, &overlapped);
    if (r != ERROR_IO_PENDING && r != NO_ERROR) break;
    HANDLE waits[2] = {stopEvent, overlapped.hEvent};
    DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0 + 1) {
      CancelIPChangeNotify(&overlapped);
      break;
    }
    // An adapter coming up changes several addresses in a row: read the state once quiet.
    if (WaitForSingleObject(stopEvent, 200) == WAIT_OBJECT_0) break;
    const int up = NetworkIsUp();
    if (up != shown) {
      shown = up;
      changed(up);
    }
  }
  CloseHandle(overlapped.hEvent);
}

}  // namespace

int NetworkIsUp() {
  ULONG size = 16384;
  std::vector<unsigned char> buffer;
  ULONG r = ERROR_BUFFER_OVERFLOW;
  for (int tries = 0; tries < 3 && r == ERROR_BUFFER_OVERFLOW; ++tries) {
    buffer.resize(size);
    r = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                             nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (r != NO_ERROR) return 0;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
    if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || a->OperStatus != IfOperStatusUp) continue;
    for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (!sa) continue;
      if (sa->sa_family == AF_INET) return 1;
      // A link-local IPv6 address comes with every link: it reaches no station.
      if (sa->sa_family == AF_INET6 && !IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr))
        return 1;
    }
  }
  return 0;
}

int StartNetworkWatch(NetworkChangeProc changed) {
  if (!changed) return 0;
  std::lock_guard<std::mutex> g(gWatch.lock);
  if (gWatch.stopEvent) return 0;
  gWatch.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!gWatch.stopEvent) return 0;
  gWatch.thread = std::thread(WatchThread, gWatch.stopEvent, changed);
  return 1;
}

void StopNetworkWatch() {
  std::lock_guard<std::mutex> g(gWatch.lock);
  if (!gWatch.stopEvent) return;
  SetEvent(gWatch.stopEvent);
  if (gWatch.thread.joinable()) gWatch.thread.join();
  CloseHandle(gWatch.stopEvent);
  gWatch.stopEvent = nullptr;
}
