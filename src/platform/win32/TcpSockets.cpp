// Windows side of the socket calls of Sockets.h, over Windows Sockets 2, whose error codes
// are already the ones the plugin's traces show. The thread a host lookup runs on holds a
// reference to the module that contains this code and drops it as its last act, so a
// plugin unloaded while a lookup runs is not unmapped under the thread. An error code is
// named by its number, as the plugin has always shown it.
#include "platform/TcpClient.h"
#include "platform/tcp/Sockets.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace korvane::platform::sockets {

namespace {
SOCKET Sock(Handle s) { return static_cast<SOCKET>(s); }
// At most what an int return can count.
int Clamp(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

// What the new thread is handed: its work and the module reference it drops when it ends.
struct ThreadStart final {
  std::function<void()> body;
  HMODULE module = nullptr;
};

// A counted reference to the module holding this code (the plugin DLL, or the executable
// that links it statically); null when the module cannot be found.
HMODULE ReferenceOwnModule() {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&ReferenceOwnModule), &module)) {
    return nullptr;
  }
  return module;
}

DWORD WINAPI ThreadMain(void* param) {
  HMODULE module;
  {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(param));
    module = start->module;
    start->body();
  }  // the work and the start block are gone before the module reference is
  if (module) ::FreeLibraryAndExitThread(module, 0);
  return 0;
}
}  // namespace

void Startup() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  });
}

Handle OpenStream(int& error) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = ::WSAGetLastError();
    return kNoSocket;
  }
  BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  u_long nonBlocking = 1;
  ::ioctlsocket(s, FIONBIO, &nonBlocking);
  return static_cast<Handle>(s);
}

int Connect(Handle s, std::uint32_t address, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = address;
  if (::connect(Sock(s), reinterpret_cast<sockaddr*>(&to), sizeof to) != SOCKET_ERROR) return 0;
  int error = ::WSAGetLastError();
  return error == WSAEWOULDBLOCK ? 0 : error;
}

int PendingError(Handle s) {
  int error = 0;
  int size = sizeof error;
  if (::getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
    return ::WSAGetLastError();
  }
  return error;
}

int Wait(Handle s, int want, int timeoutMs) {
  // Windows Sockets refuses an empty set: a set not asked for is passed as none.
  fd_set sets[3];
  fd_set* asked[3] = {};
  const int kinds[3] = {kReadable, kWritable, kFailed};
  for (int i = 0; i < 3; ++i) {
    if (!(want & kinds[i])) continue;
    FD_ZERO(&sets[i]);
    FD_SET(Sock(s), &sets[i]);
    asked[i] = &sets[i];
  }
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int found = ::select(0, asked[0], asked[1], asked[2], &wait);
  if (found <= 0) return found < 0 ? -1 : 0;
  int ready = 0;
  for (int i = 0; i < 3; ++i) {
    if (asked[i] && FD_ISSET(Sock(s), asked[i])) ready |= kinds[i];
  }
  return ready;
}

int Send(Handle s, const char* data, std::size_t size, int& error) {
  int put = ::send(Sock(s), data, Clamp(size), 0);
  if (put == SOCKET_ERROR) error = ::WSAGetLastError();
  return put;
}

int Receive(Handle s, char* into, std::size_t size, int& error) {
  int got = ::recv(Sock(s), into, Clamp(size), 0);
  if (got == SOCKET_ERROR) error = ::WSAGetLastError();
  return got;
}

std::size_t Pending(Handle s) {
  u_long pending = 0;
  if (::ioctlsocket(Sock(s), FIONREAD, &pending) != 0) return 0;
  return pending;
}

void Close(Handle s) { ::closesocket(Sock(s)); }

bool ParseAddress(const std::string& text, std::uint32_t& address) {
  u_long parsed = ::inet_addr(text.c_str());
  if (parsed == INADDR_NONE) return false;
  address = parsed;
  return true;
}

int Resolve(const std::string& host, std::uint32_t& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (error == 0 && found && found->ai_addr) {
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  } else if (error == 0) {
    error = WSANO_DATA;
  }
  if (found) ::freeaddrinfo(found);
  return error;
}

bool Peer(Handle s, std::string& address, int& port) {
  sockaddr_in peer{};
  int size = sizeof peer;
  if (::getpeername(Sock(s), reinterpret_cast<sockaddr*>(&peer), &size) != 0) return false;
  address = ::inet_ntoa(peer.sin_addr);
  port = ntohs(peer.sin_port);
  return true;
}

std::string ReverseLookup(const std::string& address) {
  u_long raw = ::inet_addr(address.c_str());
  hostent* entry = ::gethostbyaddr(reinterpret_cast<const char*>(&raw), sizeof raw, AF_INET);
  return entry && entry->h_name ? entry->h_name : "";
}

bool StartThread(std::function<void()> body, int& error) {
  auto* start = new ThreadStart{std::move(body), ReferenceOwnModule()};
  HANDLE thread = ::CreateThread(nullptr, 0, &ThreadMain, start, 0, nullptr);
  if (!thread) {
    error = static_cast<int>(::GetLastError());
    if (start->module) ::FreeLibrary(start->module);
    delete start;
    return false;
  }
  ::CloseHandle(thread);
  return true;
}

}  // namespace korvane::platform::sockets

namespace korvane::platform {

// The plugin shows the code itself: its users and its logs know the numbers.
std::string SocketErrorText(int errorCode) {
  return "socket error " + std::to_string(errorCode);
}

}  // namespace korvane::platform
