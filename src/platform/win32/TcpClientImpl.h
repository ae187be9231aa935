// The state behind a Win32 TcpClient, shared by the file that sets a connection up and
// turns its window messages into events (TcpConnect.cpp) and the one that sends, fetches
// and closes (TcpClient.cpp). Every field is guarded by lock.
#pragma once

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <memory>
#include <mutex>
#include <string>

#include "platform/TcpClient.h"
#include "platform/win32/HostLookup.h"

namespace korvane::platform {

// Registers the connections' window class and starts Windows Sockets, once per process.
void StartWinsockOnce();

// A hidden message-only window of the calling thread that delivers impl's messages.
HWND CreateConnectionWindow(TcpClient::Impl* impl);

struct TcpClient::Impl {
  enum class State { kIdle, kResolving, kConnecting, kConnected };
  explicit Impl(ConnectionEvents& e) : events(e) {}

  // Closes the socket and drops a lookup (lock held); true when it was connected, so that a
  // disconnect event is due.
  bool CloseSocket() {
    DropLookup();
    bool wasConnected = state == State::kConnected;
    if (socket != INVALID_SOCKET) ::closesocket(socket);
    socket = INVALID_SOCKET;
    state = State::kIdle;
    return wasConnected;
  }
  // A send or receive failed: error, then disconnect when it had been established.
  void Fail(int code) {
    bool wasConnected;
    {
      std::lock_guard<std::recursive_mutex> hold(lock);
      wasConnected = CloseSocket();
    }
    events.OnError(code);
    if (wasConnected) events.OnDisconnect();
  }
  // Cancels a host lookup still running: its answer, whenever it comes, reaches nobody.
  void DropLookup() {
    if (!lookup) return;
    lookup->Abandon();
    lookup.reset();
  }
  int StartConnect(u_long address);
  void FinishLookup(const HostLookup* which);
  void FinishConnect(SOCKET which, int error, bool askSocket);
  void OnResolved(unsigned which);
  void OnSocketEvent(WPARAM which, LPARAM info);
  void OnPeerClosed(SOCKET which, int error);

  ConnectionEvents& events;
  std::string host = "127.0.0.1";
  int port = 35000;
  SOCKET socket = INVALID_SOCKET;
  HWND window = nullptr;
  State state = State::kIdle;
  std::shared_ptr<HostLookup> lookup;  // the host lookup running, if any
  unsigned lookupsStarted = 0;         // numbers each lookup, so a stale answer is known
  mutable std::recursive_mutex lock;
};

}  // namespace korvane::platform
