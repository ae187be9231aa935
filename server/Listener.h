// The server's listening socket. It accepts every connection it can and asks the
// ConnectionLimits about it: one over a cap gets a short text and is closed at once, with
// no session made for it; the others go on to the server with their AdmissionTicket.
//
// When the process runs out of descriptors, accepting fails while connections wait. A few
// descriptors are kept in reserve for that (on POSIX systems): one is let go, the waiting
// connection is accepted, told the server is full and closed, and the reserve is taken
// again, so that a full server answers instead of spinning; with nobody waiting it looks
// again 50 ms later. Any other accept error waits
// before the next try, doubling from 10 ms up to a second, and is logged only when its
// count of failures in a row reaches a power of two. Refusals are logged at most once a
// second, with how many there were.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <asio.hpp>

#include "server/Admission.h"
#include "server/PeerAddress.h"

namespace korvane::server {

class ServerLog;

class Listener final {
 public:
  using Admitted = std::function<void(asio::ip::tcp::socket, AdmissionTicket)>;

  // admitted is called on the listener's strand for each connection let in. When
  // clientsFromHeader, every connection comes from a balancer whose PROXY header will name
  // the client: one from outside balancers is refused, the others are admitted under no
  // address, and their sessions count them under the client's.
  Listener(asio::io_context& io, ConnectionLimits& limits, ServerLog& log, Admitted admitted,
           bool clientsFromHeader, std::vector<AddressRange> balancers);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and listens, and takes the reserve descriptors; false with error when it cannot.
  bool Open(const std::string& bindAddress, uint16_t port, std::string& error);
  // The port listened on, once open.
  uint16_t Port() const { return port_; }
  // Begins accepting.
  void Start();
  // Stops accepting and closes the socket; callable from any thread.
  void Stop();

 private:
  void Accept();
  void OnAccept(const std::error_code& error, asio::ip::tcp::socket socket);
  void OnAcceptError(const std::error_code& error);
  enum class ReserveAccept { kRefused, kNoneWaiting, kFailed };
  ReserveAccept AcceptOnReserve();
  void RetryAfter(std::chrono::milliseconds delay);
  void Refuse(asio::ip::tcp::socket& socket, Admission why, const std::string& address);
  void NoteRefusal(Admission why, const std::string& address);
  void TakeReserve();
  void SpendReserve();

  asio::io_context& io_;
  ConnectionLimits& limits_;
  ServerLog& log_;
  Admitted admitted_;
  bool clientsFromHeader_;
  std::vector<AddressRange> balancers_;
  asio::strand<asio::io_context::executor_type> strand_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retry_;
  uint16_t port_ = 0;
  std::vector<int> reserve_;  // descriptors held to be let go when the process has no other
  uint32_t failures_ = 0;     // accept errors in a row
  std::chrono::steady_clock::time_point lastRefusalLog_{};
  uint64_t unloggedRefusals_ = 0;
};

}  // namespace korvane::server
