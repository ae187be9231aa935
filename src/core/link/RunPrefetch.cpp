// The frontier, the request sent ahead, and what a read or a miss does with them.
#include "core/link/RunPrefetch.h"

#include <algorithm>

namespace korvane {

void RunPrefetch::Reading(uint32_t lsn, int32_t mode, RunSink& above) {
  // Another disc's files are played now: the frontier was reached in the old ones.
  if (frontier_.known && frontier_.files != above.Files()) frontier_.known = false;
  sequence_ = mode == lastMode_ && lsn == lastLsn_ + 1 ? sequence_ + 1 : 0;
  readingOn_ = sequence_ >= readingOnAfter_;
  lastLsn_ = lsn;
  lastMode_ = mode;
  if (ahead_) TakeAhead(AheadRunSource::Wait::kNo, above);
  bool cached = above.Holds(lsn, mode);
  if (ahead_ && !cached) {
    TakeAhead(AheadRunSource::Wait::kForRead, above);
    cached = above.Holds(lsn, mode);
  }
  if (readingOn_ && cached) SendAhead(lsn, mode, above);
}

bool RunPrefetch::FetchRun(uint32_t lsn, int32_t mode, SectorRun& run, RunSink& above) {
  // The reply to a request out is read whole before the next request goes out.
  if (ahead_) TakeAhead(AheadRunSource::Wait::kForRead, above);
  if (!remote_.FetchRun(lsn, mode, run, above)) return false;
  if (run.pieceSize == 0) return true;
  MovePast(run, above);
  // A reader going on gets the next request out before the run is stored: the link
  // carries it meanwhile, and the run's bytes stay put until the next reply is taken in.
  if (readingOn_) SendAhead(lastLsn_, lastMode_, above);
  return true;
}

void RunPrefetch::Settle(RunSink& above) {
  readingOn_ = false;
  if (ahead_) TakeAhead(AheadRunSource::Wait::kQuietly, above);
}

void RunPrefetch::MovePast(const SectorRun& run, RunSink& above) {
  const uint64_t pieces = (run.length + run.pieceSize - 1) / run.pieceSize;
  const uint64_t end = run.lsn + pieces;
  frontier_.known = end <= UINT32_MAX;
  frontier_.lsn = static_cast<uint32_t>(end);
  frontier_.mode = run.mode;
  frontier_.margin = static_cast<uint32_t>(std::max<uint64_t>(kMinPrefetchMargin, 2 * pieces));
  frontier_.files = above.Files();
}

void RunPrefetch::TakeAhead(AheadRunSource::Wait wait, RunSink& above) {
  SectorRun run;
  switch (remote_.TakeAhead(wait, run)) {
    case AheadRunSource::Ahead::kPending:
      return;
    case AheadRunSource::Ahead::kArrived:
      ahead_ = false;
      // A reply for the cache of a disc no longer played goes to none.
      if (run.pieceSize != 0 && run.length != 0 && aheadFiles_ == above.Files()) {
        MovePast(run, above);
        if (readingOn_) SendAhead(lastLsn_, lastMode_, above);
        above.Fill(run);
      }
      return;
    case AheadRunSource::Ahead::kFailed:
      frontier_.known = false;  // not asked again until a fetch finds a new one
      break;
    case AheadRunSource::Ahead::kNone:
      break;
  }
  ahead_ = false;
}

void RunPrefetch::SendAhead(uint32_t lsn, int32_t mode, RunSink& above) {
  if (ahead_ || !frontier_.known || mode != frontier_.mode || lsn >= frontier_.lsn ||
      frontier_.lsn - lsn > frontier_.margin) {
    return;
  }
  for (int step = 0; step < kFrontierSteps; ++step) {
    if (!above.Holds(frontier_.lsn, mode)) break;
    if (frontier_.lsn == UINT32_MAX) {
      frontier_.known = false;
      return;
    }
    ++frontier_.lsn;
  }
  if (above.Holds(frontier_.lsn, mode)) return;
  if (remote_.RequestAhead(frontier_.lsn, mode)) {
    ahead_ = true;
    aheadFiles_ = above.Files();
  }
}

}  // namespace korvane
