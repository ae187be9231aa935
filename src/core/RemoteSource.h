// The remote source: sectors of the disc chosen on the disc server, served from the disc's
// block cache when it holds them and fetched from the server when it does not.
#pragma once

#include <memory>
#include <string>

#include "core/BlockCache.h"
#include "core/PluginState.h"
#include "core/SectorSource.h"

namespace korvane {

// Fetches a sector the cache lacks from the disc server, stores it in the cache and leaves
// it in the caller's buffer.
class SectorFetcher {
 public:
  virtual ~SectorFetcher() = default;
  // True when the read succeeded, the sector then in into; false leaves into as it was.
  virtual bool FetchRemoteSector(uint32_t lsn, int32_t mode, SectorBytes& into) = 0;
};

class RemoteSource final : public SectorSource {
 public:
  RemoteSource(PluginState& state, BlockCache& cache) : state_(state), cache_(cache) {}

  // A cached sector in mode 0, 1 or 3 is read from the remote .Block file (kServed); a
  // cached one in any other mode is kUnsupported; anything else, and a cached sector whose
  // bytes the .Block file no longer holds, is fetched: kServed, or kFailed.
  ReadResult Read(uint32_t lsn, int32_t mode, SectorBytes& into) override;

  // The fetcher for cache misses; none means misses fail.
  void SetFetcher(SectorFetcher* fetcher) { fetcher_ = fetcher; }

 private:
  const std::string& BlockPath();

  PluginState& state_;
  BlockCache& cache_;
  SectorFetcher* fetcher_ = nullptr;
  std::string folder_, disc_, blockPath_;
};

// Makes the remote source over the plugin's state and block cache.
std::unique_ptr<RemoteSource> MakeRemoteSource(PluginState& state, BlockCache& cache);

}  // namespace korvane
