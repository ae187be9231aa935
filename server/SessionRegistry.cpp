// The registry of live sessions.
#include "server/SessionRegistry.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace korvane::server {

namespace {

// glibc keeps the memory of freed runs for reuse: after a couple of hundred clients have read
// at once, some hundreds of MiB of it, even once they have all gone. Once the last session
// object is gone, with its replies, it goes back to the system; the next crowd pays a few
// page faults to take it again.
void ReleaseFreeMemory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

}  // namespace

bool SessionRegistry::Add(uint64_t id, const std::shared_ptr<Session>& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return false;
  sessions_[id] = session;
  return true;
}

void SessionRegistry::Remove(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(id);
}

void SessionRegistry::Created() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++objects_;
}

void SessionRegistry::Destroyed() {
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last = --objects_ == 0 && !stopping_;
  }
  if (last) ReleaseFreeMemory();
}

std::vector<std::shared_ptr<Session>> SessionRegistry::StopAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  std::vector<std::shared_ptr<Session>> live;
  for (auto& [id, weak] : sessions_) {
    if (auto session = weak.lock()) live.push_back(std::move(session));
  }
  return live;
}

}  // namespace korvane::server
