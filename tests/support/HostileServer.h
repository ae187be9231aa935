// A disc server that misbehaves on purpose, over real sockets on 127.0.0.1: every client it
// accepts is handed to a script of the test's, on a thread of its own. Scripts read what
// the client sent and send whatever bytes the test wants: garbage, lying lengths, zlib
// bombs, hostile disc names, texts of every byte value, or valid sectors for contrast.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSockets.h"

namespace korvane::test {

// One accepted client, as its script sees it.
class HostilePeer final {
 public:
  HostilePeer(sock::Socket s, int number, const std::atomic<bool>& stopping)
      : socket_(s), number_(number), stopping_(stopping) {}

  // 0 for the first client the server accepted, 1 for the next, ...
  int Number() const { return number_; }

  // Sends bytes; false when the client has gone.
  bool Send(const std::string& bytes) { return sock::SendAll(socket_, bytes); }

  // Receives until done(all bytes received so far) holds, the client closes, the server
  // stops or timeoutMs passes; returns done's last answer.
  bool ReceiveUntil(const std::function<bool(const std::string&)>& done, int timeoutMs);

  // Everything received so far.
  const std::string& Received() const { return received_; }

  // Waits for the client's login (01 05 ...); false when none comes.
  bool AwaitLogin(int timeoutMs = 5000);

  // Logs the client in as the real server does: after its login, a greeting followed by
  // extra, then the disc prompt in a batch of its own. False when the client never logs in.
  bool LogIn(const std::string& extra = std::string());

  // Waits for the next sector request (04 mode digits) after the last one taken and
  // returns its mode and LSN; false when none comes within timeoutMs.
  bool TakeRequest(int& mode, uint32_t& lsn, int timeoutMs = 5000);

  // Waits (reading and dropping what comes) until the client closes or the server stops.
  void IdleUntilClosed();

  // True once the server is stopping.
  bool Stopping() const { return stopping_; }

 private:
  bool FindRequest(int& mode, uint32_t& lsn);

  sock::Socket socket_;
  int number_;
  const std::atomic<bool>& stopping_;
  std::string received_;
  size_t scanned_ = 0;  // requests before this offset are taken
};

class HostileServer final {
 public:
  using Script = std::function<void(HostilePeer&)>;

  // Listens on 127.0.0.1; every client runs script. When the script returns, the server
  // ends its side of the client's connection.
  explicit HostileServer(Script script);
  // Stops accepting, wakes and joins every script, closes every connection.
  ~HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  int Port() const { return port_; }
  // Clients accepted so far.
  int Accepted() const { return accepted_; }

 private:
  void AcceptClients();

  Script script_;
  int port_ = 0;
  sock::Socket listener_ = sock::kNoSocket;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::mutex lock_;
  std::vector<sock::Socket> clients_;
  std::vector<std::thread> scripts_;
  std::thread acceptor_;
};

// Server texts that hold every byte value: one text of every value above 0x0A, then one
// text "ended by " + v for each value v from 0x00 to 0x0A, its terminator.
std::string TextsOfEveryByte();

// The disc list message for names.
std::string DiscList(const std::vector<std::string>& names);

// The compressed-run reply that carries payload.
std::string RunReply(const std::string& payload);

}  // namespace korvane::test
