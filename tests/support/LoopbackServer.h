// A tiny TCP server on 127.0.0.1 for connection tests, with the same code on Winsock and
// POSIX sockets: it accepts one client on a thread of its own, records what the client
// sends, and sends or closes when the test tells it to.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace korvane::test {

class LoopbackServer final {
 public:
  LoopbackServer();
  ~LoopbackServer();

  int Port() const { return port_; }
  // Waits up to timeoutMs for a client; true once one is connected.
  bool WaitForClient(int timeoutMs);
  // Sends bytes to the client.
  void Send(const std::string& bytes);
  // Closes the client's connection.
  void CloseClient();
  // Waits up to timeoutMs until the client has sent at least count bytes; returns them.
  std::string Received(size_t count, int timeoutMs);

  // A port on 127.0.0.1 where nothing listens.
  static int UnusedPort();

 private:
  void Serve();

  intptr_t listener_ = -1;
  std::atomic<intptr_t> client_{-1};
  int port_ = 0;
  std::mutex lock_;
  std::string received_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace korvane::test
