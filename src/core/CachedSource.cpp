// Cached reads, the fill of a miss from the next source, and the request sent ahead.
#include "core/CachedSource.h"

#include <algorithm>

namespace korvane {

namespace {
// How many cached sectors past the frontier one read steps over before it sends the request
// ahead: a disc cached before in part is crossed in a few reads, each of them cheap.
constexpr int kFrontierSteps = 64;
}  // namespace

ReadResult CachedSource::Read(uint32_t lsn, int32_t mode, SectorBytes& into) {
  // The settings may have named other cache files since CDVDopen: an index is only ever
  // read with the .Block it was loaded beside, never with another disc's.
  if (cache_.IndexFor(paths_.MapPath(), paths_.BlockPath())) frontier_.known = false;
  const bool sequential = mode == lastMode_ && lsn == lastLsn_ + 1;
  lastLsn_ = lsn;
  lastMode_ = mode;
  readingOn_ = sequential && next_;
  if (ahead_) TakeAhead(RunSource::Wait::kNo);
  Stored stored = ReadStored(lsn, mode, into);
  if ((stored == Stored::kAbsent || stored == Stored::kGone) && ahead_) {
    TakeAhead(RunSource::Wait::kForRead);
    stored = ReadStored(lsn, mode, into);
  }
  switch (stored) {
    case Stored::kServed:
      if (readingOn_) ReadAhead(lsn, mode);
      return ReadResult::kServed;
    case Stored::kUnsupported:
      return ReadResult::kUnsupported;
    case Stored::kAbsent:
      if (!next_) return ReadResult::kMissing;
      break;
    case Stored::kGone:
      if (!next_) return ReadResult::kFailed;
      break;
  }
  return Fetch(lsn, mode, into);
}

CachedSource::Stored CachedSource::ReadStored(uint32_t lsn, int32_t mode, SectorBytes& into) {
  const std::string& blockPath = paths_.BlockPath();
  const size_t entry = cache_.LookupCachedSector(lsn, mode);
  if (entry == CacheIndex::kNone) return Stored::kAbsent;
  const size_t count = SectorBytesForMode(mode);
  if (count == 0) return Stored::kUnsupported;
  return cache_.ReadCachedSector(blockPath, entry, count, into) > 0 ? Stored::kServed
                                                                    : Stored::kGone;
}

ReadResult CachedSource::Fetch(uint32_t lsn, int32_t mode, SectorBytes& into) {
  // The reply to a request out is read whole before the next request goes out.
  if (ahead_) TakeAhead(RunSource::Wait::kForRead);
  SectorRun run;
  if (!next_ || !next_->FetchRun(lsn, mode, run)) return ReadResult::kFailed;
  if (run.pieceSize == 0) return ReadResult::kServed;
  Store(run);
  // The first piece as stored: what a read-back of the .Block file would give, and the
  // sector is still served when the cache could not be written.
  into.Write(0, run.bytes, std::min(run.pieceSize, run.length));
  return ReadResult::kServed;
}

void CachedSource::Store(const SectorRun& run) {
  const uint64_t pieces = (run.length + run.pieceSize - 1) / run.pieceSize;
  const uint64_t end = run.lsn + pieces;
  frontier_.known = end <= UINT32_MAX;
  frontier_.lsn = static_cast<uint32_t>(end);
  frontier_.mode = run.mode;
  frontier_.margin = static_cast<uint32_t>(std::max<uint64_t>(kMinAheadMargin, 2 * pieces));
  // A reader going on gets the next request out before the run is written: the link
  // carries it meanwhile, and the run's bytes stay put until the next reply is taken in.
  if (readingOn_) ReadAhead(lastLsn_, lastMode_);
  cache_.AppendCachedSectors(run.lsn, run.mode, run.bytes, run.length, run.pieceSize);
}

void CachedSource::TakeAhead(RunSource::Wait wait) {
  SectorRun run;
  switch (next_->TakeAhead(wait, run)) {
    case RunSource::Ahead::kPending:
      return;
    case RunSource::Ahead::kArrived:
      ahead_ = false;
      // A reply for the cache of a disc no longer played is not stored in this one.
      if (run.pieceSize != 0 && run.length != 0 && aheadBlockPath_ == paths_.BlockPath()) {
        Store(run);
      }
      return;
    case RunSource::Ahead::kFailed:
      frontier_.known = false;  // not asked again until a fetch finds a new one
      break;
    case RunSource::Ahead::kNone:
      break;
  }
  ahead_ = false;
}

void CachedSource::ReadAhead(uint32_t lsn, int32_t mode) {
  if (ahead_ || !frontier_.known || mode != frontier_.mode || lsn >= frontier_.lsn ||
      frontier_.lsn - lsn > frontier_.margin) {
    return;
  }
  for (int step = 0; step < kFrontierSteps; ++step) {
    if (cache_.LookupCachedSector(frontier_.lsn, mode) == CacheIndex::kNone) break;
    if (frontier_.lsn == UINT32_MAX) {
      frontier_.known = false;
      return;
    }
    ++frontier_.lsn;
  }
  if (cache_.LookupCachedSector(frontier_.lsn, mode) != CacheIndex::kNone) return;
  if (next_->RequestAhead(frontier_.lsn, mode)) {
    ahead_ = true;
    aheadBlockPath_ = paths_.BlockPath();
  }
}

}  // namespace korvane
