// One disc's block cache as a cached source reads and fills it: the shared BlockCache's
// index and files, at the paths a CachePaths names (the remote disc's pair in the games
// folder, or the pair a replayed .map names). The index is only ever read with the .Block it
// was loaded beside: Refresh loads it again when the paths name other files.
#pragma once

#include <cstdint>
#include <string>

#include "core/BlockCache.h"
#include "core/CachePaths.h"
#include "core/RunSource.h"
#include "core/SectorBytes.h"

namespace korvane {

class CacheStore final : public RunStore {
 public:
  CacheStore(BlockCache& cache, CachePaths& paths) : cache_(cache), paths_(paths) {}

  // What a lookup of a sector found.
  enum class Stored {
    kServed,       // its bytes are in into
    kUnsupported,  // cached, in a mode no file serves
    kAbsent,       // not cached
    kGone,         // cached, but the .Block file no longer holds its bytes
  };

  // Makes the index describe the files the paths name now, loading it when they changed.
  void Refresh() { cache_.IndexFor(paths_.MapPath(), paths_.BlockPath()); }
  // Reads the cached sector lsn in mode into into (modes 0, 1 and 3): kServed when the
  // .Block file held any of its bytes.
  Stored Read(uint32_t lsn, int32_t mode, SectorBytes& into);

  bool Holds(uint32_t lsn, int32_t mode) override {
    return cache_.LookupCachedSector(lsn, mode) != CacheIndex::kNone;
  }
  // Appends every sector of run to the remote disc's files.
  void Store(const SectorRun& run) override {
    cache_.AppendCachedSectors(run.lsn, run.mode, run.bytes, run.length, run.pieceSize);
  }
  // The .Block path.
  const std::string& Name() override { return paths_.BlockPath(); }

 private:
  BlockCache& cache_;
  CachePaths& paths_;
};

}  // namespace korvane
