// Reading one cached sector back from its .Block file.
#include "core/CacheStore.h"

#include "core/ReadMode.h"

namespace korvane {

CacheStore::Stored CacheStore::Read(uint32_t lsn, int32_t mode, SectorBytes& into) {
  const std::string& blockPath = paths_.BlockPath();
  const size_t entry = cache_.LookupCachedSector(lsn, mode);
  if (entry == CacheIndex::kNone) return Stored::kAbsent;
  const size_t count = SectorBytesForMode(mode);
  if (count == 0) return Stored::kUnsupported;
  return cache_.ReadCachedSector(blockPath, entry, count, into) > 0 ? Stored::kServed
                                                                    : Stored::kGone;
}

}  // namespace korvane
