// One disc's block cache as a cached source reads and fills it: the shared BlockCache's
// index and files, at the paths a CachePaths names (the remote disc's pair in the games
// folder, or the pair a replayed .map names). The index is only ever read with the .Block it
// was loaded beside: Refresh loads it again when the paths name other files.
//
// A run the files could not take (a full disk, a read-only folder, a lock another program
// kept) is held in memory instead, the last two of them, so that the read and the rest of
// its run are served from it and the prefetch goes on at the link's pace, rather than
// every sector being fetched again. Held sectors are served only while their files are the
// ones played, and only until two later runs failed too.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/cache/BlockCache.h"
#include "core/cache/CachePaths.h"
#include "core/base/RunSource.h"
#include "core/base/SectorBytes.h"

namespace korvane {

class CacheStore final {
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
  // .Block file, or a run held in memory, held any of its bytes.
  Stored Read(uint32_t lsn, int32_t mode, SectorBytes& into);

  // True when the files or a held run hold sector lsn in mode.
  bool Holds(uint32_t lsn, int32_t mode);
  // Appends every sector of run to the files the paths name; holds the run in memory when
  // some of its sectors could not be stored.
  void Store(const SectorRun& run);
  // Appends the sectors lsn, lsn+1, ... of length bytes cut into pieces of pieceSize to the
  // files the paths name (see BlockCache::AppendCachedSectors); how many the index holds.
  size_t Append(uint32_t lsn, int32_t mode, const uint8_t* bytes, size_t length,
                size_t pieceSize) {
    return cache_.AppendCachedSectors(paths_, lsn, mode, bytes, length, pieceSize);
  }
  // Appends one sector; true when it is indexed afterwards.
  bool AppendSector(uint32_t lsn, int32_t mode, const uint8_t* bytes, size_t length) {
    return Append(lsn, mode, bytes, length, length) == 1;
  }
  // The .Block path.
  const std::string& Name() { return paths_.BlockPath(); }

 private:
  // A run the files could not take.
  struct HeldRun {
    std::string files;  // the .Block path it was stored for
    uint32_t lsn = 0;
    int32_t mode = 0;
    size_t pieceSize = 0;
    std::vector<uint8_t> bytes;
  };
  // The held run and piece number of (lsn, mode) in the files played now, or null.
  const HeldRun* FindHeld(uint32_t lsn, int32_t mode, size_t& piece);

  BlockCache& cache_;
  CachePaths& paths_;
  std::mutex heldLock_;  // guards held_ and nextHeld_
  HeldRun held_[2];
  int nextHeld_ = 0;
};

}  // namespace korvane
