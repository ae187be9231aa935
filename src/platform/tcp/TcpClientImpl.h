// The state behind a TcpClient, the same on every platform, with the steps that set a
// connection up and turn socket news into events (TcpConnect.cpp) and the transfers on an
// established connection (TcpClient.cpp). Below it lie the socket calls (Sockets.h); beside
// it, the platform's EventDelivery brings it the news that a host lookup finished or that a
// socket has an event: as window messages to the activating thread on Windows, by Pump on
// POSIX. Every field of the state is guarded by its lock, and each step of setting a
// connection up is taken once, under that lock, by whichever thread comes first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/TcpClient.h"
#include "platform/tcp/Sockets.h"

namespace korvane::platform {

// A host name lookup that runs on a thread of its own and announces its answer. The client
// that started it may abandon it at any time: the thread then announces nothing, and the
// lookup's state lives on, shared, until the thread is done with it, so nothing the thread
// writes ever lands in memory the client has let go.
class HostLookup final {
 public:
  // Starts resolving host to an IPv4 address; when done, calls announce (if any) under the
  // lookup's lock unless Abandon() came first. Returns null, with the system's error code
  // in error, when no thread could be started.
  static std::shared_ptr<HostLookup> Start(const std::string& host, unsigned id,
                                           std::function<void()> announce, int& error);

  // After this returns, the lookup announces nothing more.
  void Abandon();
  // Waits up to timeoutMs for the answer, on any thread; true once it is there.
  bool WaitDone(int timeoutMs);

  unsigned Id() const { return id_; }
  // The answer, once done: 0 and the address in network byte order, or a socket error.
  int Error() const;
  std::uint32_t Address() const;

  HostLookup(std::string host, unsigned id, std::function<void()> announce);

 private:
  void Resolve();

  const std::string host_;
  const unsigned id_;
  const std::function<void()> announce_;
  mutable std::mutex lock_;
  std::condition_variable answered_;
  bool abandoned_ = false;
  bool done_ = false;
  int error_ = 0;
  std::uint32_t address_ = 0;
};

// What a socket event tells the connection.
enum class SocketEvent { kConnect, kRead, kClose };

// How a connection's news reaches the thread that owns its events; one side a platform.
class EventDelivery final {
 public:
  explicit EventDelivery(TcpClient::Impl& client);
  ~EventDelivery();
  EventDelivery(const EventDelivery&) = delete;
  EventDelivery& operator=(const EventDelivery&) = delete;

  // Readies delivery to the calling thread, which is activating the connection.
  void Prepare();
  // Has s's events delivered from now on; called before s connects, under the lock.
  void Watch(sockets::Handle s);
  // What the host lookup numbered id calls once it has its answer.
  std::function<void()> Announcer(unsigned id);
  // Connection::Pump.
  void Pump(int timeoutMs);

 private:
  struct Side;
  TcpClient::Impl& client_;
  std::unique_ptr<Side> side_;
};

struct TcpClient::Impl final {
  enum class State { kIdle, kResolving, kConnecting, kConnected };
  explicit Impl(ConnectionEvents& e) : events(e), delivery(*this) {}

  // Closes the socket and drops a lookup (lock held); true when it was connected, so that a
  // disconnect event is due.
  bool CloseSocket();
  // A send or receive failed: error, then disconnect when it had been established.
  void Fail(int code);
  // Cancels a host lookup still running: its answer, whenever it comes, reaches nobody.
  void DropLookup();
  // Starts connecting to address (lock held); 0, or the error of a connect failed at once.
  int StartConnect(std::uint32_t address);
  // Takes the answer of lookup which unless it was taken, or abandoned, already.
  void FinishLookup(const HostLookup* which);
  // Takes the outcome of the connect on socket which unless it was taken already; with
  // askSocket the outcome is read from the socket itself.
  void FinishConnect(sockets::Handle which, int error, bool askSocket);
  // The lookup numbered which has its answer.
  void OnResolved(unsigned which);
  // Socket which has an event, with the error that came with it.
  void OnSocketEvent(sockets::Handle which, SocketEvent event, int error);
  // The peer closed socket which.
  void OnPeerClosed(sockets::Handle which, int error);

  ConnectionEvents& events;
  std::string host = "127.0.0.1";
  int port = 35000;
  sockets::Handle socket = sockets::kNoSocket;
  State state = State::kIdle;
  std::shared_ptr<HostLookup> lookup;  // the host lookup running, if any
  unsigned lookupsStarted = 0;         // numbers each lookup, so a stale answer is known
  mutable std::recursive_mutex lock;
  EventDelivery delivery;  // last, so that it goes first: no news reaches a dying state
};

}  // namespace korvane::platform
