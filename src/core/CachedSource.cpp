// Cached reads, and the fill of a miss from the next source.
#include "core/CachedSource.h"

#include <algorithm>

namespace korvane {

ReadResult CachedSource::Read(uint32_t lsn, int32_t mode, SectorBytes& into) {
  const std::string& blockPath = paths_.BlockPath();
  const size_t entry = cache_.LookupCachedSector(lsn, mode);
  if (entry != CacheIndex::kNone) {
    const size_t count = SectorBytesForMode(mode);
    if (count == 0) return ReadResult::kUnsupported;
    if (cache_.ReadCachedSector(blockPath, entry, count, into) > 0) return ReadResult::kServed;
    if (!next_) return ReadResult::kFailed;
  } else if (!next_) {
    return ReadResult::kMissing;
  }
  return Fetch(lsn, mode, into);
}

ReadResult CachedSource::Fetch(uint32_t lsn, int32_t mode, SectorBytes& into) {
  SectorRun run;
  if (!next_ || !next_->FetchRun(lsn, mode, run)) return ReadResult::kFailed;
  if (run.pieceSize == 0) return ReadResult::kServed;
  cache_.AppendCachedSectors(run.lsn, run.mode, run.bytes, run.length, run.pieceSize);
  // The first piece as stored: what a read-back of the .Block file would give, and the
  // sector is still served when the cache could not be written.
  into.Write(0, run.bytes, std::min(run.pieceSize, run.length));
  return ReadResult::kServed;
}

}  // namespace korvane
