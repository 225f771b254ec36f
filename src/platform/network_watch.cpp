// The network's state where NetworkManager does not tell it: the kernel's address, link
// and route changes through a netlink route socket, read on a thread of its own.
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace {

struct NetworkWatch {
  std::mutex lock;  // guards the fields below; taken by Start and Stop only
  std::thread thread;
  int fd = -1;
  std::atomic<int> stop{0};  // written by Stop, read by the watch thread
};
// Never destroyed: an exit while the thread runs must not meet a joinable std::thread.
NetworkWatch& gWatch = *new NetworkWatch;

// A burst of changes (an interface brought up gets its link, address and routes one
// after another) is read as one: the state is taken once the socket has been quiet this long.
constexpr int kSettleMs = 200;
constexpr int kPollMs = 250;  // how soon a stop request is seen

void WatchThread(int fd, NetworkChangeProc changed) {
  int shown = NetworkIsUp();
  changed(shown);
  char buf[8192];
  bool pending = false;
  while (gWatch.stop.load() == 0) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, pending ? kSettleMs : kPollMs);
    if (n > 0 && (p.revents & POLLIN)) {
      // Only that something changed matters; an overrun (ENOBUFS) says the same.
      while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0 || errno == ENOBUFS) {
      }
      pending = true;
      continue;
    }
    if (n < 0 && errno != EINTR) break;
    if (!pending) continue;
    pending = false;
    const int up = NetworkIsUp();
    if (up != shown) {
      shown = up;
      changed(up);
    }
  }
}

}  // namespace

int NetworkIsUp() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  int up = 0;
  for (ifaddrs* a = list; a && !up; a = a->ifa_next) {
    if (!a->ifa_addr || (a->ifa_flags & IFF_LOOPBACK) || !(a->ifa_flags & IFF_UP) || !(a->ifa_flags & IFF_RUNNING))
      continue;
    if (a->ifa_addr->sa_family == AF_INET) up = 1;
    // A link-local IPv6 address comes with every link, cable or not: it reaches no station.
    if (a->ifa_addr->sa_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
      if (!IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr)) up = 1;
    }
  }
  freeifaddrs(list);
  return up;
}

int StartNetworkWatch(NetworkChangeProc changed) {
  if (!changed) return 0;
  std::lock_guard<std::mutex> g(gWatch.lock);
  if (gWatch.fd >= 0) return 0;
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return 0;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return 0;
  }
  gWatch.fd = fd;
  gWatch.stop = 0;
  gWatch.thread = std::thread(WatchThread, fd, changed);
  return 1;
}

void StopNetworkWatch() {
  std::lock_guard<std::mutex> g(gWatch.lock);
  if (gWatch.fd < 0) return;
  gWatch.stop = 1;
  if (gWatch.thread.joinable()) gWatch.thread.join();
  close(gWatch.fd);
  gWatch.fd = -1;
}
