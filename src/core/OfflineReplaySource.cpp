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

int32_t OfflineReplaySource::ReadSector(uint32_t lsn, int32_t mode) {
  size_t entry = cache_.LookupCachedSector(lsn, mode);
  if (state_.LocalImagePath != preparedFor_) PrepareFor(state_.LocalImagePath);
  if (entry == CacheIndex::kNone) {
    trace_.Gated("Missing Block Sector please connect to server and run from there");
    return -1;
  }
  if (size_t count = SectorBytesForMode(mode)) {
    return cache_.ReadCachedSector(blockPath_, entry, count) > 0 ? 0 : -1;
  }
  if (const char* name = UnsupportedModeName(mode); name && trace_.Enabled()) {
    trace_.Gated(std::string(kTracePrefix) + "Block read from file Mode[" + name + "] LSN[" +
                 std::to_string(lsn) + "] NOT SUPPORTED REPORT");
  }
  return -1;
}

std::unique_ptr<OfflineReplaySource> MakeOfflineReplaySource(PluginState& state, Trace& trace,
                                                             BlockCache& cache) {
  return std::make_unique<OfflineReplaySource>(state, trace, cache);
}

}  // namespace korvane
