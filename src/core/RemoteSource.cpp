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

ReadResult RemoteSource::Read(uint32_t lsn, int32_t mode, SectorBytes& into) {
  size_t entry = cache_.LookupCachedSector(lsn, mode);
  if (entry != CacheIndex::kNone) {
    size_t count = SectorBytesForMode(mode);
    if (count == 0) return ReadResult::kUnsupported;
    if (cache_.ReadCachedSector(BlockPath(), entry, count, into) > 0) return ReadResult::kServed;
  }
  return fetcher_ && fetcher_->FetchRemoteSector(lsn, mode, into) ? ReadResult::kServed
                                                                  : ReadResult::kFailed;
}

std::unique_ptr<RemoteSource> MakeRemoteSource(PluginState& state, BlockCache& cache) {
  return std::make_unique<RemoteSource>(state, cache);
}

}  // namespace korvane
