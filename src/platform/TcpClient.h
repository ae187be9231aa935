// The asynchronous, non-blocking TCP client connection. Activation resolves the host and
// connects in the background; connecting, connect, read, disconnect and error are then
// reported to the ConnectionEvents handler. On Windows they arrive as window messages to
// a hidden window of the thread that activated the connection, so the handlers run when
// that thread dispatches messages; on POSIX the owner calls Pump to deliver them.
//
// Send, Fetch and AwaitConnected may also be called from another thread (the read path): a
// lock of the connection's own guards its state and serialises the individual socket calls,
// and each step of setting up the connection is taken once, by whichever thread comes
// first. A peer that closes with bytes still unread is closed only when a fetch meets its
// end, so that its last bytes are read first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Connection.h"

namespace korvane::platform {

// The Windows socket error code of a refused connection.
inline constexpr int kErrorConnectionRefused = 10061;

// The system's text for a socket error code as OnError reports it ("Connection refused" on
// POSIX), for messages meant for people; the plugin's traces show the code itself.
std::string SocketErrorText(int errorCode);

class TcpClient final : public Connection {
 public:
  explicit TcpClient(ConnectionEvents& events);
  ~TcpClient() override;
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Host name or dotted address to connect to; false (nothing changed) while connected. A
  // connection still being set up takes it, though the attempt under way does not use it.
  bool SetHost(const std::string& host);
  // Port to connect to; false (nothing changed) while connected.
  bool SetPortNumber(int port);
  std::string Host() const;
  int Port() const;

  // Starts resolving and connecting unless already active; returns at once.
  void Activate();
  // The peer's address as text and its port, once connected.
  std::string PeerHost() const;
  int PeerPort() const;
  // The peer's host name by a reverse lookup of its address; "" when there is none.
  std::string PeerHostName() const;

  bool IsActive() const override;
  void Pump(int timeoutMs) override;
  bool AwaitConnected(int timeoutMs) override;
  bool IsConnected() const override;
  size_t Send(const std::string& message) override;
  std::string Fetch() override;
  void FetchAppend(std::string& out, size_t limit) override;
  bool WaitReadable(int timeoutMs) override;
  void Close() override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane::platform
