// Test helper: the few socket calls the loopback servers and clients of the tests use,
// the same on Linux and Windows (Winsock is started on first use; errors come back as
// errno values, so ECONNRESET and ECONNREFUSED read the same on both).
#pragma once

#ifdef _WIN32
// The player's main window number is called WinMain too: keep the SDK's entry point
// declaration out of its way.
#define WinMain CorvaleSdkWinMain
#include <winsock2.h>
#include <ws2tcpip.h>
#undef WinMain

#include <cerrno>

using TestSocket = SOCKET;
constexpr TestSocket kNoSocket = INVALID_SOCKET;
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif
inline void StartSockets() {
  static const bool started = [] {
    WSADATA d;
    return WSAStartup(MAKEWORD(2, 2), &d) == 0;
  }();
  (void)started;
}
inline TestSocket OpenTcpSocket() {
  StartSockets();
  return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}
inline void CloseSocket(TestSocket s) { closesocket(s); }
inline int PollSockets(pollfd* fds, unsigned count, int timeoutMs) { return WSAPoll(fds, count, timeoutMs); }
inline int SocketErrno() {
  switch (WSAGetLastError()) {
    case WSAECONNRESET:
    case WSAECONNABORTED: return ECONNRESET;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAEWOULDBLOCK: return EWOULDBLOCK;
    default: return EIO;
  }
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

using TestSocket = int;
constexpr TestSocket kNoSocket = -1;
inline void StartSockets() {}
inline TestSocket OpenTcpSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
inline void CloseSocket(TestSocket s) { close(s); }
inline int PollSockets(pollfd* fds, unsigned count, int timeoutMs) { return poll(fds, count, timeoutMs); }
inline int SocketErrno() { return errno; }
#endif

// Connects to 127.0.0.1:port; kNoSocket (error in *error) when it fails.
inline TestSocket ConnectLoopback(int port, int* error = nullptr) {
  const TestSocket s = OpenTcpSocket();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s == kNoSocket || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (error) *error = SocketErrno();
    if (s != kNoSocket) CloseSocket(s);
    return kNoSocket;
  }
  return s;
}
