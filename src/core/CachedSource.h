// A source that serves sectors from a block cache and, when it has a next source, fetches
// what the cache lacks from it: a miss asks the next source for a run, stores every sector
// of the run in the cache and serves the first. Remote play is a cached source over the
// disc server's runs; offline replay is the same cached source with no next, where a miss
// is a sector that cannot be had.
//
// Where the cache's .Block file lies is a CachePaths' answer (core/CachePaths.h): the remote
// disc's files in the games folder, or the pair that a replayed .map names.
#pragma once

#include <memory>
#include <string>

#include "core/BlockCache.h"
#include "core/CachePaths.h"
#include "core/RunSource.h"
#include "core/SectorSource.h"

namespace korvane {

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
