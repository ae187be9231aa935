// A relay on 127.0.0.1 that makes the loopback behave like a slower, longer link between
// the plugin and the real disc server, for tests and benchmarks. Each accepted connection
// is carried to 127.0.0.1:serverPort; in each direction the bytes go out one after another
// at the link's bandwidth and arrive half a round trip after they went out, as on a real
// line: a reply's first bytes arrive one way's delay after the server sent them, its last
// ones later by its size over the bandwidth. Order is kept, a close (or a reset) of either
// side reaches the other after the bytes sent before it, and the waiting bytes are held in
// memory (up to a bound far above what a link holds in flight), so the server is never
// slowed by the relay but only by the link it models. Nothing spins: each direction sleeps
// until its next bytes are due.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "TestSockets.h"

namespace korvane::test {

// What the modelled link is: its round trip and its bandwidth in each direction.
struct LinkSetting {
  double rttMs = 0;
  double megabytesPerSecond = 0;  // 10^6 bytes per second; 0: no limit
  // When set, each connection to the server opens with a PROXY protocol (version 1) header
  // that names this IPv4 address as the client's, so that a server taking the header sees a
  // client on a network rather than on its own machine.
  std::string clientAddress;
};

class ShapedConnection;

// What the connections add to as they carry bytes.
struct ShaperTally {
  std::atomic<uint64_t> toServer{0};
  std::atomic<uint64_t> toClients{0};
  std::atomic<int64_t> latestUs{0};  // the most bytes were sent after they were due
};

class LinkShaper final {
 public:
  // Listens on 127.0.0.1 at listenPort (0: a port of the system's choosing) and relays
  // every client to 127.0.0.1:serverPort over the link. Port() is 0 when it cannot listen.
  LinkShaper(int serverPort, LinkSetting link, int listenPort = 0);
  // Ends every connection still open, abruptly.
  ~LinkShaper();
  LinkShaper(const LinkShaper&) = delete;
  LinkShaper& operator=(const LinkShaper&) = delete;

  int Port() const { return port_; }
  const LinkSetting& Link() const { return link_; }

  // Clients accepted so far.
  int Accepted() const { return accepted_; }
  // Bytes delivered so far towards the server and towards the clients.
  uint64_t BytesToServer() const { return tally_.toServer; }
  uint64_t BytesToClients() const { return tally_.toClients; }
  // The most any bytes were sent on after the link would have delivered them, in ms: how
  // far the relay itself fell behind (on a busy machine), to tell from the delays measured.
  double LatestMs() const { return tally_.latestUs / 1000.0; }

 private:
  void AcceptClients();
  // Joins and closes the connections whose both directions have ended.
  void Reap(bool all);

  int serverPort_;
  LinkSetting link_;
  int port_ = 0;
  sock::Socket listener_ = sock::kNoSocket;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  ShaperTally tally_;
  std::list<std::unique_ptr<ShapedConnection>> connections_;  // acceptor thread only
  std::thread acceptor_;
};

}  // namespace korvane::test
