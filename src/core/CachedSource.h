// A source that serves sectors from a block cache and, when it has a next source, fetches
// what the cache lacks from it: a miss asks the next source for a run, stores every sector
// of the run in the cache and serves the first. Remote play is a cached source over the
// disc server's runs; offline replay is the same cached source with no next, where a miss
// is a sector that cannot be had.
//
// Where the cache's .Block file lies is a CachePaths' answer: the remote disc's files in
// the games folder, or the pair that a replayed .map names.
#pragma once

#include <memory>
#include <string>

#include "core/BlockCache.h"
#include "core/PluginState.h"
#include "core/RunSource.h"
#include "core/SectorSource.h"

namespace korvane {

// The .Block file that a cached source reads.
class CachePaths {
 public:
  virtual ~CachePaths() = default;
  // The .Block path of the cache being played.
  virtual const std::string& BlockPath() = 0;
};

// The remote disc's cache: GamesFolder + "\" + SelectedDiscName + ".Block", made again only
// when one of the two changes.
class RemoteCachePaths final : public CachePaths {
 public:
  RemoteCachePaths(const PluginState& state, const BlockCache& cache)
      : state_(state), cache_(cache) {}
  const std::string& BlockPath() override;

 private:
  const PluginState& state_;
  const BlockCache& cache_;
  std::string folder_, disc_, blockPath_;
};

// A replayed cache: the .Block beside the .map that LocalImagePath names. Each new .map
// makes sure the games folder exists, although the replayed files need not lie in it.
class ReplayCachePaths final : public CachePaths {
 public:
  ReplayCachePaths(const PluginState& state, BlockCache& cache) : state_(state), cache_(cache) {}
  const std::string& BlockPath() override;
  // Forgets the prepared paths, so that the next read prepares them again.
  void Reset() { preparedFor_.clear(); }

 private:
  const PluginState& state_;
  BlockCache& cache_;
  std::string preparedFor_, blockPath_;
};

class CachedSource final : public SectorSource {
 public:
  // next may be null: offline replay.
  CachedSource(BlockCache& cache, CachePaths& paths, RunSource* next)
      : cache_(cache), paths_(paths), next_(next) {}

  // A cached sector in mode 0, 1 or 3 is read from the .Block file: kServed when the file
  // held any of its bytes; a cached one in any other mode is kUnsupported. A sector not
  // cached, or whose bytes the file no longer holds, is fetched (Fetch); with no next it is
  // kMissing, or kFailed when its bytes are gone.
  ReadResult Read(uint32_t lsn, int32_t mode, SectorBytes& into) override;

  // The miss: fetches the run from lsn from next, stores all of it, serves its first
  // sector into into: kServed, or kFailed with into unchanged.
  ReadResult Fetch(uint32_t lsn, int32_t mode, SectorBytes& into);

 private:
  BlockCache& cache_;
  CachePaths& paths_;
  RunSource* next_;
};

}  // namespace korvane
