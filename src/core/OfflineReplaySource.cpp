// Offline replay reads.
#include "core/OfflineReplaySource.h"

namespace korvane {

void OfflineReplaySource::PrepareFor(const std::string& mapPath) {
  preparedFor_ = mapPath;
  blockPath_ = BlockCache::OfflineBlockPath(mapPath);
  // Replay makes sure the games folder exists, although the replayed files need not lie
  // in it; once per replayed file is enough, not once per sector.
  cache_.EnsureGamesFolder();
}

ReadResult OfflineReplaySource::Read(uint32_t lsn, int32_t mode, SectorBytes& into) {
  size_t entry = cache_.LookupCachedSector(lsn, mode);
  if (state_.LocalImagePath != preparedFor_) PrepareFor(state_.LocalImagePath);
  if (entry == CacheIndex::kNone) return ReadResult::kMissing;
  size_t count = SectorBytesForMode(mode);
  if (count == 0) return ReadResult::kUnsupported;
  return cache_.ReadCachedSector(blockPath_, entry, count, into) > 0 ? ReadResult::kServed
                                                                     : ReadResult::kFailed;
}

std::unique_ptr<OfflineReplaySource> MakeOfflineReplaySource(PluginState& state,
                                                             BlockCache& cache) {
  return std::make_unique<OfflineReplaySource>(state, cache);
}

}  // namespace korvane
