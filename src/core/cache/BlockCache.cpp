// Block cache store: paths, loading, the catch-up with other programs' appends, and reads.
#include "core/cache/BlockCache.h"

#include <algorithm>

#include "platform/FileSystem.h"
#include "platform/ReadOnlyFile.h"

namespace korvane {

namespace {
std::string ReadTail(platform::ReadOnlyFile& map, uint64_t end, size_t bytes) {
  const uint64_t start = end > bytes ? end - bytes : 0;
  std::string tail(static_cast<size_t>(end - start), '\0');
  tail.resize(map.ReadAt(start, tail.data(), tail.size()));
  return tail;
}

}  // namespace

std::string BlockCache::OfflineBlockPath(const std::string& mapPath) {
  return mapPath.substr(0, mapPath.find(".map")) + ".Block";
}

void BlockCache::Clear() {
  std::lock_guard<std::mutex> hold(mutex_);
  ClearLocked();
}

void BlockCache::ClearLocked() {
  index_.Clear();
  cacheWriteOffset_ = 0;
  mapRead_ = 0;
  mapIdentity_.clear();
  mapTail_.clear();
  blockIdentity_.clear();
}

void BlockCache::ClearFor(const std::string& mapPath) {
  std::lock_guard<std::mutex> hold(mutex_);
  ClearLocked();
  indexedMapPath_ = mapPath;
}

MapLoadResult BlockCache::LoadCacheMap(const std::string& mapPath, const std::string& blockPath) {
  std::lock_guard<std::mutex> hold(mutex_);
  indexedMapPath_ = mapPath;
  platform::ReadOnlyFile map;
  if (!map.Open(mapPath, platform::ReadOnlyFile::Sharing::kShared)) return MapLoadResult{};
  return LoadLines(map, 0, blockPath);
}

bool BlockCache::IndexFor(const std::string& mapPath, const std::string& blockPath) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (mapPath == indexedMapPath_) return false;
  LoadIndexOf(mapPath, blockPath);
  return true;
}

void BlockCache::LoadIndexOf(const std::string& mapPath, const std::string& blockPath) {
  ClearLocked();
  indexedMapPath_ = mapPath;
  platform::ReadOnlyFile map;
  if (!map.Open(mapPath, platform::ReadOnlyFile::Sharing::kShared)) return;
  trace_.Gated("Loading Mapped Headers for " + mapPath);
  LoadLines(map, 0, blockPath);
  trace_.Gated("Finshed loading Mapped Headers for " + mapPath);
}

MapLoadResult BlockCache::LoadLines(platform::ReadOnlyFile& map, uint64_t from,
                                    const std::string& blockPath) {
  MapLoadResult result = LoadMapLines(
      map, from,
      [&]() -> int64_t {
        platform::ReadOnlyFile block;
        if (!block.Open(blockPath, platform::ReadOnlyFile::Sharing::kShared)) return -1;
        blockIdentity_ = block.Identity();
        return block.Size();
      },
      index_);
  NoteMapRead(map, result.end);
  return result;
}

void BlockCache::NoteMapRead(platform::ReadOnlyFile& map, uint64_t end) {
  mapRead_ = end;
  mapIdentity_ = map.Identity();
  mapTail_ = ReadTail(map, end, kMapTailBytes);
}

bool BlockCache::SameMapAsRead(platform::ReadOnlyFile& map, int64_t size) {
  return map.Identity() == mapIdentity_ && static_cast<uint64_t>(size) >= mapRead_ &&
         ReadTail(map, mapRead_, kMapTailBytes) == mapTail_;
}

bool BlockCache::CatchUp(const std::string& blockPath) {
  if (indexedMapPath_.empty()) return false;
  platform::ReadOnlyFile map;
  if (!map.Open(indexedMapPath_, platform::ReadOnlyFile::Sharing::kShared)) return false;
  const int64_t size = map.Size();
  if (size < 0 || (static_cast<uint64_t>(size) == mapRead_ && map.Identity() == mapIdentity_)) {
    return false;
  }
  const size_t before = index_.Count();
  if (!SameMapAsRead(map, size)) {
    // Another program deleted this cache and began it anew: no entry read before may be
    // used with the new files.
    Reload(blockPath);
    return true;
  }
  LoadLines(map, mapRead_, blockPath);
  // The reader's chunk may hold bytes that were still being written when it was read.
  reader_.Invalidate();
  return index_.Count() != before;
}

void BlockCache::Reload(const std::string& blockPath) {
  const std::string mapPath = indexedMapPath_;
  ClearLocked();
  reader_.Invalidate();
  platform::ReadOnlyFile map;
  if (map.Open(mapPath, platform::ReadOnlyFile::Sharing::kShared)) LoadLines(map, 0, blockPath);
}

size_t BlockCache::LookupCachedSector(uint32_t lsn, int32_t mode) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return index_.Find(lsn, mode);
}

size_t BlockCache::FindCaughtUp(const std::string& blockPath, uint32_t lsn, int32_t mode) {
  size_t entry = index_.Find(lsn, mode);
  if (entry == CacheIndex::kNone && CatchUp(blockPath)) entry = index_.Find(lsn, mode);
  return entry;
}

bool BlockCache::Holds(const std::string& blockPath, uint32_t lsn, int32_t mode) {
  std::lock_guard<std::mutex> hold(mutex_);
  return FindCaughtUp(blockPath, lsn, mode) != CacheIndex::kNone;
}

BlockCache::Served BlockCache::ReadIndexed(const std::string& blockPath, uint32_t lsn,
                                           int32_t mode, size_t count, SectorBytes& into) {
  std::lock_guard<std::mutex> hold(mutex_);
  Served served;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const size_t entry = FindCaughtUp(blockPath, lsn, mode);
    served.indexed = entry != CacheIndex::kNone;
    if (!served.indexed || count == 0) return served;
    count = std::min(count, SectorBytes::kSize);
    uint8_t bytes[SectorBytes::kSize];
    served.bytes = reader_.Read(blockPath, index_.At(entry).offset, bytes, count);
    // Bytes of a .Block that replaced the one the index was read beside are not its own.
    if (served.bytes == 0 || blockIdentity_.empty() || reader_.Identity() == blockIdentity_) {
      into.Write(0, bytes, served.bytes);
      return served;
    }
    Reload(blockPath);
  }
  return Served{};
}

size_t BlockCache::ReadCachedSector(const std::string& blockPath, size_t entry, size_t count,
                                    SectorBytes& into) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (count > SectorBytes::kSize) count = SectorBytes::kSize;
  size_t got = reader_.Read(blockPath, index_.At(entry).offset, into.Data(), count);
  into.NoteWritten(0, got);
  return got;
}

void BlockCache::ReportFailure(const std::string& what) {
  // Once while stores keep failing, whichever file fails: a full disk fails the .Block and
  // the .map by turns, and one line says all there is to say.
  if (!lastFailure_.empty()) return;
  lastFailure_ = what;
  trace_.Gated(std::string(kTracePrefix) + what);
  if (failureReport_) failureReport_(what);
}

}  // namespace korvane
