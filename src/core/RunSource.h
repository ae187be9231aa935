// Where a cached source gets the sectors its cache lacks: a source of runs. Asked for a
// sector, it answers with a run of consecutive sectors of one mode that begins with it: one
// sector, or many, as the server chose. It knows nothing of the cache that stores them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// A run of sectors lsn, lsn+1, ... in mode: length bytes cut into pieces of pieceSize (the
// last may be shorter). A pieceSize of 0 is a run of a mode no file holds: received, but
// neither stored nor served. The bytes stay valid until the next fetch.
struct SectorRun {
  uint32_t lsn = 0;
  int32_t mode = 0;
  size_t pieceSize = 0;
  const uint8_t* bytes = nullptr;
  size_t length = 0;
};

class RunSource {
 public:
  virtual ~RunSource() = default;
  // Fetches the run that begins with sector lsn in mode into run; false, with the reason
  // traced, when there is none.
  virtual bool FetchRun(uint32_t lsn, int32_t mode, SectorRun& run) = 0;
};

}  // namespace korvane
