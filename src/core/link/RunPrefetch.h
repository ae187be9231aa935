// The prefetch of runs: a layer over the remote disc that keeps the link busy while the
// reader reads what is already cached, so that a sequential reader never waits on the
// network. (Not to be confused with the image's read-ahead window, which reads a local
// file in blocks, nor with the kernel's read-ahead in front of a mount.)
//
// The sectors fetched last end at a frontier. While reads go on sequentially through cached
// sectors and come within a margin of it, the request for the first sector past it that is
// not cached goes out before it is needed, and its reply is taken in by later reads as it
// arrives and handed up to the cache above, which stores it (the RunSink each call is
// given). A read of a sector not cached first takes in the whole of a reply still on its
// way, so that a sequential read is then served from the cache, and a seek fetches its own.
// One request is out at most.
//
// The cache above calls Reading before it looks up each read, and FetchRun on a miss; it
// stores the run FetchRun hands back, so a miss goes one way: cache, prefetch, remote disc,
// and the run back up to the cache. Nothing here writes the cache's files.
#pragma once

#include <cstdint>
#include <string>

#include "core/base/RunSource.h"

namespace korvane {

// The prefetch starts when a sequential read comes within this many sectors of the
// frontier, or within twice the last run's length when that is more: a run asked for then
// arrives while the reads still use the two before it, so a reader slower than the link
// never waits, and one faster keeps the link busy with one request after the other.
inline constexpr uint32_t kMinPrefetchMargin = 64;

// How many cached sectors past the frontier one read steps over before it sends the
// request ahead: a disc cached before in part is crossed in a few reads, each of them cheap.
inline constexpr int kFrontierSteps = 64;

class RunPrefetch final : public RunSource {
 public:
  // Runs come from remote.
  explicit RunPrefetch(AheadRunSource& remote) : remote_(remote) {}

  // Takes in what has arrived of the request sent ahead and hands it up to above; when lsn
  // is not cached, waits for the rest of it. Then, when the reads go on sequentially
  // through cached sectors near the frontier, sends the next request ahead.
  void Reading(uint32_t lsn, int32_t mode, RunSink& above) override;

  // The miss: takes in the reply still on its way, then fetches the run from lsn; the
  // frontier moves past it, and a reader going on gets the next request out at once.
  bool FetchRun(uint32_t lsn, int32_t mode, SectorRun& run, RunSink& above) override;

  // Takes in the whole of a reply still on its way (within the remote disc's bounded wait),
  // hands it up, and sends nothing more, so that no request is out once the reader stops.
  void Settle(RunSink& above) override;

  // A reader reads on once this many reads in a row each followed the one before (1, the
  // plugin's: from the second read of a sequence). A reader whose every read spans a few
  // sectors (the mount's 4 KiB reads at random) sets more, so that such a read sends no
  // request ahead that the next one, elsewhere, would have to wait out.
  void SetReadingOnAfter(uint32_t reads) { readingOnAfter_ = reads; }

  // Where the run fetched last ends; known only after a run came (for tests).
  struct Frontier {
    bool known = false;
    uint32_t lsn = 0;
    int32_t mode = 0;
    uint32_t margin = kMinPrefetchMargin;
    std::string files;  // the cache files it was reached in
  };
  const Frontier& Edge() const { return frontier_; }

 private:
  // Takes in the reply to the request sent ahead, waiting as wait says, and hands it up.
  void TakeAhead(AheadRunSource::Wait wait, RunSink& above);
  // Moves the frontier past run, reached for above's files.
  void MovePast(const SectorRun& run, RunSink& above);
  // Sends the request ahead when the read of the cached sector lsn has come within the
  // margin of the frontier.
  void SendAhead(uint32_t lsn, int32_t mode, RunSink& above);

  AheadRunSource& remote_;
  Frontier frontier_;
  bool ahead_ = false;       // a request sent ahead awaits its reply
  std::string aheadFiles_;   // the cache files it was sent for
  uint32_t lastLsn_ = 0;     // the read before, to tell a sequential one
  int32_t lastMode_ = -1;
  uint32_t sequence_ = 0;    // reads in a row that followed the one before
  uint32_t readingOnAfter_ = 1;
  bool readingOn_ = false;   // the read under way follows the one before
};

}  // namespace korvane
