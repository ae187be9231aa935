// The current server link (the plugin's PluginSocket) and the ones it replaced.
// CDVDconfigure makes a new link on the host's GUI thread while the host's reading thread
// may still be in a read on the one before: a link is therefore lent to each read, and one
// replaced while lent is retired, its connection closed when its last read gives it back,
// and destroyed on the thread that replaces links (which owns their windows) once nobody
// holds it.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "core/link/ServerLink.h"

namespace korvane {

class LinkHolder final {
 public:
  LinkHolder(Trace& trace, UserErrorReporter& errors) : trace_(trace), errors_(errors) {}
  ~LinkHolder();
  LinkHolder(const LinkHolder&) = delete;
  LinkHolder& operator=(const LinkHolder&) = delete;

  // Makes a new, inactive link the current one; the one before is closed and released, at
  // once when no read holds it.
  ServerSocket& Replace();
  // The current link, or null before the first Replace. For the thread that replaces links.
  ServerSocket* Current();

  // The current link lent to one read.
  class Lease final {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept : holder_(other.holder_), socket_(other.socket_) {
      other.holder_ = nullptr;
    }
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    // The link, or null when there is none.
    ServerLink* Link() const { return socket_ ? &socket_->link : nullptr; }
    // The link with its connection, or null when there is none.
    ServerSocket* Socket() const { return socket_; }
    // True once a newer link has replaced the one lent.
    bool Replaced() const { return holder_ && holder_->Current() != socket_; }

   private:
    friend class LinkHolder;
    LinkHolder* holder_ = nullptr;
    ServerSocket* socket_ = nullptr;
  };
  // Lends the current link (none before the first Replace) to a read.
  Lease Acquire();

 private:
  struct Held {
    std::unique_ptr<ServerSocket> socket;
    size_t readers = 0;
    bool retired = false;
  };
  void GiveBack(ServerSocket* socket);

  Trace& trace_;
  UserErrorReporter& errors_;
  std::mutex lock_;
  std::vector<Held> links_;  // the current one last
};

}  // namespace korvane
