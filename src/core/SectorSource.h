// One source of disc sectors. Each answers a single read call: it fills the shared sector
// buffer for (lsn, mode) and returns the PS2E result that CDVDreadTrack hands back.
#pragma once

#include <cstdint>

namespace korvane {

class SectorSource {
 public:
  virtual ~SectorSource() = default;
  // Reads sector lsn in the PS2E read mode into the sector buffer; returns 0 or -1.
  virtual int32_t ReadSector(uint32_t lsn, int32_t mode) = 0;
};

}  // namespace korvane
