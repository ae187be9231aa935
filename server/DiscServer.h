// The disc server: serves the disc images of a folder to any number of clients at once over
// TCP. An io_context runs on a pool of worker threads; each connection is a Session on a
// strand of its own, with asynchronous reads and writes only, so no thread ever waits on a
// client. Tests run one in-process on 127.0.0.1 port 0 and ask Port() which port it got.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "server/ServerOptions.h"
#include "server/ServerStats.h"

namespace korvane::server {

class DiscServer final {
 public:
  explicit DiscServer(ServerConfig config);
  // Stops the server if it still runs.
  ~DiscServer();
  DiscServer(const DiscServer&) = delete;
  DiscServer& operator=(const DiscServer&) = delete;

  // Scans the folder, loads the accounts, listens and starts the worker threads; false with
  // error when any of that fails. Call once.
  bool Start(std::string& error);

  // The port the server listens on, once started.
  uint16_t Port() const;
  // The reply bytes its sessions hold now (queued or made ahead), in its reply budget.
  uint64_t HeldReplyBytes() const;

  // The number of discs in the list, once started.
  size_t DiscCount() const;

  // What the server has done with sector runs so far; callable from any thread.
  ServerStats Stats() const;

  // Stops accepting, closes every connection and waits for the workers to finish. Must not
  // be called from a worker thread; a second call does nothing.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane::server
