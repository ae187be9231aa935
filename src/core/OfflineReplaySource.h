// Offline replay of a block cache: LocalImagePath names a .map file, and its sectors are
// read from the .Block file beside it. Sectors the cache does not hold cannot be had.
#pragma once

#include <memory>
#include <string>

#include "core/BlockCache.h"
#include "core/PluginState.h"
#include "core/SectorSource.h"

namespace korvane {

class OfflineReplaySource final : public SectorSource {
 public:
  OfflineReplaySource(PluginState& state, BlockCache& cache) : state_(state), cache_(cache) {}

  // A sector with no entry for exactly this mode: kMissing. With one, in mode 0, 1 or 3:
  // kServed when the .Block file held any of its bytes, else kFailed; in any other mode:
  // kUnsupported.
  ReadResult Read(uint32_t lsn, int32_t mode, SectorBytes& into) override;

  // Forgets the prepared paths, so that the next read prepares them again.
  void Reset() { preparedFor_.clear(); }

 private:
  void PrepareFor(const std::string& mapPath);

  PluginState& state_;
  BlockCache& cache_;
  std::string preparedFor_;
  std::string blockPath_;
};

// Makes the offline replay source over the plugin's state and block cache.
std::unique_ptr<OfflineReplaySource> MakeOfflineReplaySource(PluginState& state, BlockCache& cache);

}  // namespace korvane
