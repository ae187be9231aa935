// What a disc server has done with sector runs since it started: how many it made, and what
// became of the runs it made ahead for sequential readers. Sessions count into the shared
// ServerCounters from any worker thread; DiscServer::Stats reads a copy of them, which tests
// use to see that a run was made ahead and used rather than made again.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvane::server {

struct ServerStats {
  uint64_t runsMade = 0;         // compressed runs made, ahead of a request or for one
  uint64_t preparesStarted = 0;  // runs begun ahead of the request expected for them
  uint64_t preparesUsed = 0;     // runs made ahead and sent to the request they were for
  uint64_t preparesDropped = 0;  // runs made ahead and not used: the next request wanted
                                 // another, none came in time, or the connection closed first
  uint64_t preparesGivenUp = 0;  // runs ahead left unfinished: dropped, or the server stopped
};

// The live counts behind ServerStats; each is only ever incremented.
struct ServerCounters {
  // A copy of the counts.
  ServerStats Snapshot() const {
    ServerStats stats;
    stats.runsMade = runsMade.load(std::memory_order_relaxed);
    stats.preparesStarted = preparesStarted.load(std::memory_order_relaxed);
    stats.preparesUsed = preparesUsed.load(std::memory_order_relaxed);
    stats.preparesDropped = preparesDropped.load(std::memory_order_relaxed);
    stats.preparesGivenUp = preparesGivenUp.load(std::memory_order_relaxed);
    return stats;
  }

  std::atomic<uint64_t> runsMade{0};
  std::atomic<uint64_t> preparesStarted{0};
  std::atomic<uint64_t> preparesUsed{0};
  std::atomic<uint64_t> preparesDropped{0};
  std::atomic<uint64_t> preparesGivenUp{0};
};

}  // namespace korvane::server
