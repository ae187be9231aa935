// The live sessions of a server, so that stopping it can close them, and the count of
// session objects, so that the memory they leave free goes back once the last is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace korvane::server {

class Session;

// The live sessions, so that stopping the server can close them.
class SessionRegistry final {
 public:
  // Adds session; false (and nothing added) once the server is stopping.
  bool Add(uint64_t id, const std::shared_ptr<Session>& session);
  // Forgets the session of id, once it has closed.
  void Remove(uint64_t id);
  // Refuses further sessions and returns the live ones.
  std::vector<std::shared_ptr<Session>> StopAll();
  // Counts a session object made, and one destroyed; when the last is destroyed while the
  // server runs, the memory the sessions left free goes back to the system.
  void Created();
  void Destroyed();

 private:
  std::mutex mutex_;
  bool stopping_ = false;
  size_t objects_ = 0;
  std::unordered_map<uint64_t, std::weak_ptr<Session>> sessions_;
};

}  // namespace korvane::server
