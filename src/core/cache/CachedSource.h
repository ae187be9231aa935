// A source that serves sectors from a block cache and, when it has a next source, fetches
// what the cache lacks from it: a miss asks the next source for a run, stores every sector
// of the run in the cache and serves the first. Remote play is a cached source over the
// prefetch over the disc server's runs; offline replay is the same cached source with no
// next, where a miss is a sector that cannot be had.
//
// A read goes one way: lookup, then the next source, then store, then serve. The next
// source is told of each read first (Reading), which is where the prefetch takes in what it
// asked for earlier and hands it up here (Fill) to be stored: only this layer writes the
// cache's files.
#pragma once

#include <cstdint>

#include "core/cache/CacheStore.h"
#include "core/base/RunSource.h"
#include "core/base/SectorSource.h"

namespace korvane {

class CachedSource final : public SectorSource, private RunSink {
 public:
  // next may be null: offline replay.
  CachedSource(CacheStore& store, RunSource* next) : store_(store), next_(next) {}

  // A cached sector in mode 0, 1 or 3 is read from the .Block file: kServed when the file
  // held any of its bytes; a cached one in any other mode is kUnsupported. A sector not
  // cached, or whose bytes the file no longer holds, is fetched (Fetch); with no next it is
  // kMissing, or kFailed when its bytes are gone.
  ReadResult Read(uint32_t lsn, int32_t mode, SectorBytes& into) override;

  // The miss: fetches the run from lsn from next, stores all of it, serves its first
  // sector into into: kServed, or kFailed with into unchanged.
  ReadResult Fetch(uint32_t lsn, int32_t mode, SectorBytes& into);

  // The reader stopped: the next source takes in what is on its way, hands it up to be
  // stored, and sends nothing more.
  void Settle() {
    if (next_) next_->Settle(*this);
  }

 private:
  // The cache as the next source sees it.
  bool Holds(uint32_t lsn, int32_t mode) override { return store_.Holds(lsn, mode); }
  void Fill(const SectorRun& run) override { store_.Store(run); }
  const std::string& Files() override { return store_.Name(); }

  CacheStore& store_;
  RunSource* next_;
};

}  // namespace korvane
