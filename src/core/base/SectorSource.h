// One source of disc sectors. Each answers a single read call: it fills the caller's sector
// buffer for (lsn, mode) and says how the read went. The read dispatcher turns the result
// into the PS2E result code and writes the read path's trace lines; sources keep their own
// state and write no trace line of the read path.
#pragma once

#include <cstdint>

#include "core/base/SectorBytes.h"

namespace korvane {

enum class ReadResult {
  kServed,       // the sector is in the buffer (or, for a mode no file holds, was received)
  kNull,         // nothing is configured: the buffer got the null mark
  kFailed,       // the sector could not be had; the buffer is as it was
  kMissing,      // a replayed cache holds no entry for it; the buffer is as it was
  kUnsupported,  // the mode is not one this source serves (0, 1 and 3); nothing was read
};

class SectorSource {
 public:
  virtual ~SectorSource() = default;
  // Reads sector lsn in the PS2E read mode into into.
  virtual ReadResult Read(uint32_t lsn, int32_t mode, SectorBytes& into) = 0;
};

}  // namespace korvane
