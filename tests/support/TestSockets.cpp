// The test sockets on both socket interfaces. Waits use select on Winsock and poll
// on POSIX; the sockets themselves stay blocking.
#include "TestSockets.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using socklen_t = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace korvane::test::sock {

namespace {
#ifdef _WIN32
void StartSockets() {
  static bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
bool WaitReadable(Socket s, int timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(static_cast<SOCKET>(s), &readable);
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return ::select(0, &readable, nullptr, nullptr, &wait) > 0;
}
constexpr int kSendFlags = 0;
#else
void StartSockets() {}
bool WaitReadable(Socket s, int timeoutMs) {
  pollfd p{static_cast<int>(s), POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

// Each send goes out at once, never held back to join the next: a relayed piece must reach
// its peer when the relay sends it, a cut as it was made, a shaped piece when it is due.
void SendAtOnce(Socket s) {
  int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

sockaddr_in Loopback(int port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  at.sin_port = htons(static_cast<uint16_t>(port));
  return at;
}
}  // namespace

Socket Listen(int& port, int wanted) {
  StartSockets();
  Socket s = static_cast<Socket>(::socket(AF_INET, SOCK_STREAM, 0));
#ifndef _WIN32
  // A fixed port is free again at once after the last run's connections (Winsock's option
  // of the same name would share the port with others instead).
  int one = 1;
  if (wanted != 0) ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
  sockaddr_in at = Loopback(wanted);
  if (::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(s, 16) != 0) {
    Close(s);
    return kNoSocket;
  }
  socklen_t size = sizeof at;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &size);
  port = ntohs(at.sin_port);
  return s;
}

Socket Accept(Socket listener, int timeoutMs) {
  if (!WaitReadable(listener, timeoutMs)) return kNoSocket;
  Socket s = static_cast<Socket>(::accept(listener, nullptr, nullptr));
  if (s < 0) return kNoSocket;
  SendAtOnce(s);
  return s;
}

Socket Connect(int port, const char* source) {
  StartSockets();
  Socket s = static_cast<Socket>(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in from = Loopback(0);
  if (source != nullptr && (::inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
                            ::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)) {
    Close(s);
    return kNoSocket;
  }
  sockaddr_in at = Loopback(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    Close(s);
    return kNoSocket;
  }
  SendAtOnce(s);
  return s;
}

bool SendAll(Socket s, const char* data, size_t size) {
  while (size > 0) {
    int put = static_cast<int>(::send(s, data, static_cast<int>(size), kSendFlags));
    if (put <= 0) return false;
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

int Receive(Socket s, char* buffer, size_t size, int timeoutMs) {
  if (!WaitReadable(s, timeoutMs)) return kTimedOut;
  int got = static_cast<int>(::recv(s, buffer, static_cast<int>(size), 0));
  return got > 0 ? got : got == 0 ? kClosed : kFailed;
}

void Shutdown(Socket s) {
  ::shutdown(s, 2);
}

void ShutdownSending(Socket s) {
  ::shutdown(s, 1);  // SHUT_WR, SD_SEND
}

void Close(Socket s, bool reset) {
  if (s == kNoSocket) return;
  if (reset) {
    linger abortive{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                 sizeof abortive);
  }
#ifdef _WIN32
  ::closesocket(static_cast<SOCKET>(s));
#else
  ::close(static_cast<int>(s));
#endif
}

}  // namespace korvane::test::sock
