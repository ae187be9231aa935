// Cached reads and the fill of a miss from the next source.
#include "core/cache/CachedSource.h"

#include <algorithm>

namespace korvane {

ReadResult CachedSource::Read(uint32_t lsn, int32_t mode, SectorBytes& into) {
  // The settings may have named other cache files since CDVDopen: an index is only ever
  // read with the .Block it was loaded beside, never with another disc's.
  store_.Refresh();
  if (next_) next_->Reading(lsn, mode, *this);
  switch (store_.Read(lsn, mode, into)) {
    case CacheStore::Stored::kServed:
      return ReadResult::kServed;
    case CacheStore::Stored::kUnsupported:
      return ReadResult::kUnsupported;
    case CacheStore::Stored::kAbsent:
      if (!next_) return ReadResult::kMissing;
      break;
    case CacheStore::Stored::kGone:
      if (!next_) return ReadResult::kFailed;
      break;
  }
  return Fetch(lsn, mode, into);
}

ReadResult CachedSource::Fetch(uint32_t lsn, int32_t mode, SectorBytes& into) {
  SectorRun run;
  if (!next_ || !next_->FetchRun(lsn, mode, run, *this)) return ReadResult::kFailed;
  if (run.pieceSize == 0) return ReadResult::kServed;
  store_.Store(run);
  // The first piece as stored: what a read-back of the .Block file would give, and the
  // sector is still served when the cache could not be written.
  into.Write(0, run.bytes, std::min(run.pieceSize, run.length));
  return ReadResult::kServed;
}

}  // namespace korvane
