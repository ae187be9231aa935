// The source used when nothing is configured: it hands out no disc data.
#pragma once

#include <memory>

#include "core/base/SectorSource.h"

namespace korvane {

class NullSource final : public SectorSource {
 public:
  // Writes the null mark ("nil") into into, for every mode: kNull.
  ReadResult Read(uint32_t lsn, int32_t mode, SectorBytes& into) override;
};

// Makes the null source.
std::unique_ptr<NullSource> MakeNullSource();

}  // namespace korvane
