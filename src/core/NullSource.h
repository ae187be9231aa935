// The source used when nothing is configured: it hands out no disc data.
#pragma once

#include <memory>

#include "core/PluginState.h"
#include "core/SectorSource.h"
#include "core/Trace.h"

namespace korvane {

class NullSource final : public SectorSource {
 public:
  NullSource(PluginState& state, Trace& trace) : state_(state), trace_(trace) {}
  // Marks the sector buffer as null ("nil"), traces it and succeeds for every mode.
  int32_t ReadSector(uint32_t lsn, int32_t mode) override;

 private:
  PluginState& state_;
  Trace& trace_;
};

// Makes the null source over the plugin's state.
std::unique_ptr<NullSource> MakeNullSource(PluginState& state, Trace& trace);

}  // namespace korvane
