// The null source: a read in null mode writes the "nil" mark.
#include "core/source/NullSource.h"

namespace korvane {

ReadResult NullSource::Read(uint32_t, int32_t, SectorBytes& into) {
  into.MarkNull();
  return ReadResult::kNull;
}

std::unique_ptr<NullSource> MakeNullSource() {
  return std::make_unique<NullSource>();
}

}  // namespace korvane
