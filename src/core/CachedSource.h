// A source that serves sectors from a block cache and, when it has a next source, fetches
// what the cache lacks from it: a miss asks the next source for a run, stores every sector
// of the run in the cache and serves the first. Remote play is a cached source over the
// disc server's runs; offline replay is the same cached source with no next, where a miss
// is a sector that cannot be had.
//
// Read-ahead: the sectors fetched last end at a frontier. While reads go on sequentially
// through cached sectors and come within a margin of it, the request for the first sector
// past it goes out before it is needed, and its reply is taken in by later reads as it
// arrives. A read that misses first takes in the whole of a reply still on its way and
// stores it, then looks again: a sequential read is then served, a seek fetches its own.
//
// Where the cache's .Block file lies is a CachePaths' answer (core/CachePaths.h): the remote
// disc's files in the games folder, or the pair that a replayed .map names.
#pragma once

#include <cstdint>
#include <string>

#include "core/BlockCache.h"
#include "core/CachePaths.h"
#include "core/RunSource.h"
#include "core/SectorSource.h"

namespace korvane {

// The read-ahead starts when a sequential read comes within this many sectors of the
// frontier, or within twice the last run's length when that is more: a run asked for then
// arrives while the reads still use the two before it, so a reader slower than the link
// never waits, and one faster keeps the link busy with one request after the other.
inline constexpr uint32_t kMinAheadMargin = 64;

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

  // Takes in and stores the whole of a reply still on its way (within the next source's
  // bounded wait) and sends nothing more, so that no request is out once the host stops
  // reading.
  void Settle() {
    readingOn_ = false;
    if (ahead_) TakeAhead(RunSource::Wait::kQuietly);
  }

 private:
  enum class Stored { kServed, kUnsupported, kAbsent, kGone };

  // The cached sector lsn in mode, read into into when it is there.
  Stored ReadStored(uint32_t lsn, int32_t mode, SectorBytes& into);
  // Stores run and moves the frontier past it.
  void Store(const SectorRun& run);
  // Takes in the reply to the request sent ahead, waiting as wait says, and stores it.
  void TakeAhead(RunSource::Wait wait);
  // After a sequential read of the cached sector lsn: sends the request ahead when the
  // reads have come within the margin of the frontier.
  void ReadAhead(uint32_t lsn, int32_t mode);

  BlockCache& cache_;
  CachePaths& paths_;
  RunSource* next_;

  // Where the run stored last ends; known only after a run was stored.
  struct Frontier {
    bool known = false;
    uint32_t lsn = 0;
    int32_t mode = 0;
    uint32_t margin = kMinAheadMargin;
  };
  Frontier frontier_;
  bool ahead_ = false;          // a request sent ahead awaits its reply
  std::string aheadBlockPath_;  // the cache it was sent for
  uint32_t lastLsn_ = 0;        // the read before, to tell a sequential one
  int32_t lastMode_ = -1;
  bool readingOn_ = false;  // the read under way follows the one before
};

}  // namespace korvane
