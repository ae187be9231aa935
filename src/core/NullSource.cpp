// The null source: a read in null mode writes the "nil" mark and reports success.
#include "core/NullSource.h"

namespace korvane {

int32_t NullSource::ReadSector(uint32_t, int32_t) {
  state_.SectorBuffer.MarkNull();
  trace_.Gated("KorvaneCDVD OutPut: Returning NIL buffer");
  return 0;
}

std::unique_ptr<NullSource> MakeNullSource(PluginState& state, Trace& trace) {
  return std::make_unique<NullSource>(state, trace);
}

}  // namespace korvane
