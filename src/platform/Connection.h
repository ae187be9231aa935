// A TCP client connection as the plugin's protocol code sees it: what arrives is taken in
// batches (all bytes held at the moment of a fetch), each message is sent in one call, and
// the connection's events are reported to one handler object.
#pragma once

#include <cstddef>
#include <string>

namespace korvane::platform {

// The five events of a connection. They run on the thread that owns the connection's
// event delivery, one at a time; a failing Send or Fetch reports on the calling thread.
class ConnectionEvents {
 public:
  virtual ~ConnectionEvents() = default;
  // The host name is being resolved and the connection made.
  virtual void OnConnecting() = 0;
  // The connection is established.
  virtual void OnConnect() = 0;
  // The connection closed (the peer closed it, or it failed after being made).
  virtual void OnDisconnect() = 0;
  // Bytes may be waiting to be fetched.
  virtual void OnRead() = 0;
  // A transport error with its Windows socket error code; the handler sets errorCode to 0
  // to mark it handled, so that nothing is raised.
  virtual void OnError(int& errorCode) = 0;
};

// What protocol code needs of a connection.
class Connection {
 public:
  virtual ~Connection() = default;
  // True while the connection is established.
  virtual bool IsConnected() const = 0;
  // True from activation until the connection is closed or fails: connecting or connected.
  virtual bool IsActive() const = 0;
  // Delivers the connection's pending events, waiting up to timeoutMs for the first one;
  // where events belong to another thread, it only waits. For tests and tools: on Windows it
  // dispatches every message of the calling thread.
  virtual void Pump(int timeoutMs) = 0;
  // Completes a connection being set up on the calling thread, waiting up to timeoutMs
  // without dispatching any window message: the connect (or error) event runs here unless
  // its notification came first; an event that comes later for it does nothing. True when
  // the connection is established.
  virtual bool AwaitConnected(int timeoutMs) = 0;
  // Hands the whole message to the connection in one call; dropped when not connected.
  // Returns how many bytes were taken.
  virtual size_t Send(const std::string& message) = 0;
  // All bytes the connection holds now, possibly none; never waits.
  virtual std::string Fetch() = 0;
  // Appends to out what the connection holds now, at most limit bytes, so that a long reply
  // is received in place and never past its end; the rest stays for the next fetch.
  virtual void FetchAppend(std::string& out, size_t limit) = 0;
  // Waits up to timeoutMs for bytes (or the peer's close) without using the processor;
  // true when a fetch would now find something or learn that the connection closed.
  virtual bool WaitReadable(int timeoutMs) = 0;
  // Closes the connection; the disconnect event follows when it was established.
  virtual void Close() = 0;
};

}  // namespace korvane::platform
