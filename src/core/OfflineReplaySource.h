// Offline replay of a block cache: LocalImagePath names a .map file, and its sectors are
// read from the .Block file beside it. Sectors the cache does not hold cannot be had.
#pragma once

#include <memory>
#include <string>

#include "core/BlockCache.h"
#include "core/PluginState.h"
#include "core/SectorSource.h"
#include "core/Trace.h"

namespace korvane {

class OfflineReplaySource final : public SectorSource {
 public:
  OfflineReplaySource(PluginState& state, Trace& trace, BlockCache& cache)
      : state_(state), trace_(trace), cache_(cache) {}

  // Modes 0, 1 and 3 of a cached sector: 0 when the .Block file held any of its bytes,
  // else -1. A sector with no entry for exactly this mode: traced as missing, -1. Modes 2
  // and 4 with an entry: traced as unsupported, -1; other modes: -1.
  int32_t ReadSector(uint32_t lsn, int32_t mode) override;

  // Forgets the prepared paths, so that the next read prepares them again.
  void Reset() { preparedFor_.clear(); }

 private:
  void PrepareFor(const std::string& mapPath);

  PluginState& state_;
  Trace& trace_;
  BlockCache& cache_;
  std::string preparedFor_;
  std::string blockPath_;
};

// Makes the offline replay source over the plugin's state and block cache.
std::unique_ptr<OfflineReplaySource> MakeOfflineReplaySource(PluginState& state, Trace& trace,
                                                             BlockCache& cache);

}  // namespace korvane
