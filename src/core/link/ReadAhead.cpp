// The frontier, the request sent ahead, and what a read or a miss does with them.
#include "core/link/ReadAhead.h"

#include <algorithm>

namespace korvane {

void ReadAhead::Reading(uint32_t lsn, int32_t mode) {
  // Another disc's files are played now: the frontier was reached in the old ones.
  if (frontier_.known && frontier_.store != store_.Name()) frontier_.known = false;
  sequence_ = mode == lastMode_ && lsn == lastLsn_ + 1 ? sequence_ + 1 : 0;
  readingOn_ = sequence_ >= readingOnAfter_;
  lastLsn_ = lsn;
  lastMode_ = mode;
  if (ahead_) TakeAhead(AheadRunSource::Wait::kNo);
  bool stored = store_.Holds(lsn, mode);
  if (ahead_ && !stored) {
    TakeAhead(AheadRunSource::Wait::kForRead);
    stored = store_.Holds(lsn, mode);
  }
  if (readingOn_ && stored) SendAhead(lsn, mode);
}

bool ReadAhead::FetchRun(uint32_t lsn, int32_t mode, SectorRun& run) {
  // The reply to a request out is read whole before the next request goes out.
  if (ahead_) TakeAhead(AheadRunSource::Wait::kForRead);
  if (!remote_.FetchRun(lsn, mode, run)) return false;
  if (run.pieceSize == 0) return true;
  MovePast(run);
  // A reader going on gets the next request out before the run is stored: the link
  // carries it meanwhile, and the run's bytes stay put until the next reply is taken in.
  if (readingOn_) SendAhead(lastLsn_, lastMode_);
  return true;
}

void ReadAhead::Settle() {
  readingOn_ = false;
  if (ahead_) TakeAhead(AheadRunSource::Wait::kQuietly);
}

void ReadAhead::MovePast(const SectorRun& run) {
  const uint64_t pieces = (run.length + run.pieceSize - 1) / run.pieceSize;
  const uint64_t end = run.lsn + pieces;
  frontier_.known = end <= UINT32_MAX;
  frontier_.lsn = static_cast<uint32_t>(end);
  frontier_.mode = run.mode;
  frontier_.margin = static_cast<uint32_t>(std::max<uint64_t>(kMinAheadMargin, 2 * pieces));
  frontier_.store = store_.Name();
}

void ReadAhead::TakeAhead(AheadRunSource::Wait wait) {
  SectorRun run;
  switch (remote_.TakeAhead(wait, run)) {
    case AheadRunSource::Ahead::kPending:
      return;
    case AheadRunSource::Ahead::kArrived:
      ahead_ = false;
      // A reply for the cache of a disc no longer played is not stored in this one.
      if (run.pieceSize != 0 && run.length != 0 && aheadStore_ == store_.Name()) {
        MovePast(run);
        if (readingOn_) SendAhead(lastLsn_, lastMode_);
        store_.Store(run);
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

void ReadAhead::SendAhead(uint32_t lsn, int32_t mode) {
  if (ahead_ || !frontier_.known || mode != frontier_.mode || lsn >= frontier_.lsn ||
      frontier_.lsn - lsn > frontier_.margin) {
    return;
  }
  for (int step = 0; step < kFrontierSteps; ++step) {
    if (!store_.Holds(frontier_.lsn, mode)) break;
    if (frontier_.lsn == UINT32_MAX) {
      frontier_.known = false;
      return;
    }
    ++frontier_.lsn;
  }
  if (store_.Holds(frontier_.lsn, mode)) return;
  if (remote_.RequestAhead(frontier_.lsn, mode)) {
    ahead_ = true;
    aheadStore_ = store_.Name();
  }
}

}  // namespace korvane
