// The partial last sector of a mounted disc, fetched once beside its session's reads.
#include "mount/DiscTail.h"

namespace korvane::mount {

ReadResult DiscTail::Read(uint32_t lsn, int32_t mode, SectorBytes& into) {
  if (!partial_ || lsn != partialLsn_) return session_.Remote().Read(lsn, mode, into);
  if (tail_.empty() && !FetchTail(lsn, mode)) return ReadResult::kFailed;
  into.Write(0, tail_.data(), tail_.size());
  return ReadResult::kServed;
}

bool DiscTail::FetchTail(uint32_t lsn, int32_t mode) {
  // A request the prefetch sent is taken in and stored first, so that its reply is
  // neither dropped nor taken for the tail's.
  session_.Settle();
  SectorRun run;
  // An older server answers the request with a text alone, which fails the fetch at once.
  if (!session_.FetchTail(lsn, mode, run) || run.length != sectorSize_) return false;
  tail_.assign(run.bytes, run.bytes + run.length);
  return true;
}

}  // namespace korvane::mount
