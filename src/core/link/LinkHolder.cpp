// Lending and retiring plugin links.
#include "core/link/LinkHolder.h"

#include <algorithm>

namespace korvane {

LinkHolder::~LinkHolder() {
  std::lock_guard<std::mutex> hold(lock_);
  links_.clear();
}

ServerSocket& LinkHolder::Replace() {
  std::vector<std::unique_ptr<ServerSocket>> released;
  ServerSocket* current;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (Held& held : links_) held.retired = true;
    auto unused = std::stable_partition(links_.begin(), links_.end(),
                                        [](const Held& held) { return held.readers > 0; });
    for (auto it = unused; it != links_.end(); ++it) released.push_back(std::move(it->socket));
    links_.erase(unused, links_.end());
    links_.push_back(Held{std::make_unique<ServerSocket>(trace_, errors_)});
    current = links_.back().socket.get();
  }
  released.clear();  // closed outside the lock: a disconnect traces
  return *current;
}

ServerSocket* LinkHolder::Current() {
  std::lock_guard<std::mutex> hold(lock_);
  return links_.empty() || links_.back().retired ? nullptr : links_.back().socket.get();
}

LinkHolder::Lease LinkHolder::Acquire() {
  Lease lease;
  std::lock_guard<std::mutex> hold(lock_);
  if (links_.empty() || links_.back().retired) return lease;
  ++links_.back().readers;
  lease.holder_ = this;
  lease.socket_ = links_.back().socket.get();
  return lease;
}

void LinkHolder::GiveBack(ServerSocket* socket) {
  bool close = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (Held& held : links_) {
      if (held.socket.get() != socket) continue;
      close = --held.readers == 0 && held.retired;
    }
  }
  // Its window belongs to the thread that replaces links: only the connection closes here.
  if (close) socket->client.Close();
}

LinkHolder::Lease::~Lease() {
  if (holder_) holder_->GiveBack(socket_);
}

}  // namespace korvane
