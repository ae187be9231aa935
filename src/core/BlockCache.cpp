// Block cache store: paths, loading, reads and appends.
#include "core/BlockCache.h"

#include "platform/AppendFile.h"
#include "platform/FileSystem.h"

namespace korvane {

std::string BlockCache::OfflineBlockPath(const std::string& mapPath) {
  return mapPath.substr(0, mapPath.find(".map")) + ".Block";
}

bool BlockCache::EnsureGamesFolder() {
  return EnsureFolder(paths_.Folder());
}

void BlockCache::Clear() {
  index_.Clear();
  cacheWriteOffset_ = 0;
}

void BlockCache::ClearFor(const std::string& mapPath) {
  Clear();
  indexedMapPath_ = mapPath;
}

MapLoadResult BlockCache::LoadCacheMap(const std::string& mapPath, const std::string& blockPath) {
  indexedMapPath_ = mapPath;
  return LoadMapFile(mapPath, platform::FileSize(blockPath), index_);
}

void BlockCache::LoadIndexOf(const std::string& mapPath, const std::string& blockPath) {
  ClearFor(mapPath);
  if (!platform::FileExists(mapPath)) return;
  trace_.Gated("Loading Mapped Headers for " + mapPath);
  LoadCacheMap(mapPath, blockPath);
  trace_.Gated("Finshed loading Mapped Headers for " + mapPath);
}

size_t BlockCache::ReadCachedSector(const std::string& blockPath, size_t entry, size_t count,
                                    SectorBytes& into) {
  if (count > SectorBytes::kSize) count = SectorBytes::kSize;
  size_t got = reader_.Read(blockPath, index_.At(entry).offset, into.Data(), count);
  into.NoteWritten(0, got);
  return got;
}

void BlockCache::TraceFailure(const std::string& what) {
  trace_.Gated(std::string(kTracePrefix) + what);
}

size_t BlockCache::AppendCachedSectors(uint32_t lsn, int32_t mode, const uint8_t* bytes,
                                       size_t length, size_t pieceSize) {
  if (length == 0 || pieceSize == 0) return 0;
  // LSNs are 32-bit: a run that would reach past the last one is cut there, never filed
  // under LSN 0, 1, 2 ... where it would stand for the disc's first sectors.
  const uint64_t lsnsLeft = uint64_t{UINT32_MAX} - lsn + 1;
  if (length / pieceSize >= lsnsLeft) length = static_cast<size_t>(lsnsLeft * pieceSize);
  if (!EnsureGamesFolder()) {
    TraceFailure("Cannot create folder " + paths_.Folder() + ": sectors not cached");
    return 0;
  }
  const std::string blockPath = RemoteBlockPath();
  size_t written = WriteBlockBytes(blockPath, bytes, length);
  // Only whole pieces, and a last short piece written in full, are indexed.
  size_t pieces = written / pieceSize + (written == length && length % pieceSize ? 1 : 0);
  size_t first = index_.Count() + 1;
  for (size_t k = 0; k < pieces; ++k) {
    index_.Add({mode, static_cast<uint32_t>(lsn + k),
                cacheWriteOffset_ + static_cast<int64_t>(k * pieceSize)});
  }
  if (pieces > 0) WriteMapLines(first, pieces);
  return pieces;
}

size_t BlockCache::WriteBlockBytes(const std::string& path, const uint8_t* bytes, size_t length) {
  platform::AppendFile file;
  int64_t size = file.Open(path) ? file.Size() : -1;
  if (size < 0) {
    TraceFailure("Cannot write " + path + ": sectors not cached");
    return 0;
  }
  cacheWriteOffset_ = size;
  reader_.NoteAppend(path, size);
  size_t written = file.Append(bytes, length);
  if (written < length) TraceFailure("Short write to " + path + ": sectors not cached");
  return written;
}

void BlockCache::WriteMapLines(size_t firstEntry, size_t count) {
  const std::string path = RemoteMapPath();
  platform::AppendFile file;
  int64_t size = file.Open(path) ? file.Size() : -1;
  if (size < 0) {
    TraceFailure("Cannot write " + path + ": sectors cached until the next CDVDopen");
    return;
  }
  // A line torn by a crash is cut off first: every reader then finds only whole lines.
  uint64_t complete = CompleteLinesLength(
      [&](uint64_t at, char* dest, size_t n) { return file.ReadAt(at, dest, n); },
      static_cast<uint64_t>(size));
  if (complete < static_cast<uint64_t>(size) && !file.CutTo(static_cast<int64_t>(complete))) {
    TraceFailure("Cannot write " + path + ": sectors cached until the next CDVDopen");
    return;
  }
  std::string text;
  for (size_t n = firstEntry; n < firstEntry + count; ++n) AppendMapLine(index_.At(n), text);
  if (file.Append(text.data(), text.size()) < text.size()) {
    TraceFailure("Short write to " + path + ": sectors cached until the next CDVDopen");
  }
}

}  // namespace korvane
