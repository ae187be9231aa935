// Remote reads: cache hits from the disc's .Block file, misses through the fetcher.
#include "core/RemoteSource.h"

namespace korvane {

const std::string& RemoteSource::BlockPath() {
  if (blockPath_.empty() || folder_ != state_.GamesFolder || disc_ != state_.SelectedDiscName) {
    folder_ = state_.GamesFolder;
    disc_ = state_.SelectedDiscName;
    blockPath_ = cache_.RemoteBlockPath();
  }
  return blockPath_;
}

int32_t RemoteSource::ReadSector(uint32_t lsn, int32_t mode) {
  size_t entry = cache_.LookupCachedSector(lsn, mode);
  if (entry != CacheIndex::kNone) {
    if (size_t count = SectorBytesForMode(mode)) {
      if (cache_.ReadCachedSector(BlockPath(), entry, count) > 0) return 0;
    } else {
      if (const char* name = UnsupportedModeName(mode); name && trace_.Enabled()) {
        trace_.Gated(std::string(kTracePrefix) + "Block Mode[" + name + "] LSN[" +
                     std::to_string(lsn) + "] NOT SUPPORTED REPORT");
      }
      return 0;
    }
  }
  return fetcher_ && fetcher_->FetchRemoteSector(lsn, mode) ? 0 : -1;
}

std::unique_ptr<RemoteSource> MakeRemoteSource(PluginState& state, Trace& trace,
                                               BlockCache& cache) {
  return std::make_unique<RemoteSource>(state, trace, cache);
}

}  // namespace korvane
