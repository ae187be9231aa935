// The block cache store: every sector received from the disc server is kept in a pair of
// files named after the disc, so that it is fetched only once and can be replayed offline.
//
//   <GamesFolder>\<SelectedDiscName>.Block   raw sector bytes, one after another in arrival
//                                            order, each as long as it arrived (no header)
//   <GamesFolder>\<SelectedDiscName>.map     one "lsn/mode/offset" CR LF line per sector
//
// Offline replay reads the pair named by a .map path: the .Block path is that path cut at
// its first ".map", followed by ".Block". Files are only ever appended to, never rewritten;
// the one cut is a .map's torn last line, before the next append. Each operation opens and
// closes what it uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/BlockReader.h"
#include "core/CacheIndex.h"
#include "core/CachePaths.h"
#include "core/MapFile.h"
#include "core/SectorBytes.h"
#include "core/Trace.h"

namespace korvane {

class BlockCache final {
 public:
  // Appends go to the remote disc's files that paths names.
  BlockCache(RemoteCachePaths& paths, Trace& trace) : paths_(paths), trace_(trace) {}

  // The remote disc's cache files: GamesFolder + "\" + SelectedDiscName + ".Block"/".map".
  const std::string& RemoteBlockPath() { return paths_.BlockPath(); }
  const std::string& RemoteMapPath() { return paths_.MapPath(); }

  // The .Block path that belongs to a .map path: cut at the first ".map", plus ".Block".
  static std::string OfflineBlockPath(const std::string& mapPath);

  // Creates the GamesFolder folder below the working directory unless a folder of that
  // name exists; true when the folder exists afterwards.
  bool EnsureGamesFolder();

  // Empties CacheIndex and sets CacheWriteOffset to 0; the index still describes the same
  // cache files.
  void Clear();

  // Clear, and the index now describes the cache files of the .map at mapPath.
  void ClearFor(const std::string& mapPath);

  // Fills CacheIndex from the .map file at mapPath, after what it holds, with the entries
  // whose bytes the .Block file at blockPath holds; the index now describes that pair.
  MapLoadResult LoadCacheMap(const std::string& mapPath, const std::string& blockPath);

  // The .map path of the cache files the index was made for (empty before any).
  const std::string& IndexedMapPath() const { return indexedMapPath_; }

  // Makes the index describe the pair at mapPath and blockPath: when it was made for other
  // files, it is emptied and mapPath's lines, if the file exists, are loaded (with gated
  // loading lines). True when the index was made anew.
  bool IndexFor(const std::string& mapPath, const std::string& blockPath) {
    if (mapPath == indexedMapPath_) return false;
    LoadIndexOf(mapPath, blockPath);
    return true;
  }

  // The number of the first entry for exactly (lsn, mode), or CacheIndex::kNone.
  size_t LookupCachedSector(uint32_t lsn, int32_t mode) const { return index_.Find(lsn, mode); }

  // Reads count bytes of the entry's sector from blockPath into into; returns how many the
  // file held (the rest of into keeps its bytes).
  size_t ReadCachedSector(const std::string& blockPath, size_t entry, size_t count,
                          SectorBytes& into);

  // Stores consecutive sectors lsn, lsn+1, ... of one mode: the bytes are cut into pieces
  // of pieceSize (the last may be shorter), all written to the remote .Block file in one
  // write, then indexed, then listed in the remote .map file in one write. Returns how many
  // sectors were indexed: those whose bytes are in the .Block file. Failures are traced.
  size_t AppendCachedSectors(uint32_t lsn, int32_t mode, const uint8_t* bytes, size_t length,
                             size_t pieceSize);

  // The single-sector form of AppendCachedSectors.
  bool AppendCachedSector(uint32_t lsn, int32_t mode, const uint8_t* bytes, size_t length) {
    return AppendCachedSectors(lsn, mode, bytes, length, length) == 1;
  }

  const CacheIndex& Index() const { return index_; }
  int64_t CacheWriteOffset() const { return cacheWriteOffset_; }
  BlockReader& Reader() { return reader_; }

 private:
  void LoadIndexOf(const std::string& mapPath, const std::string& blockPath);
  size_t WriteBlockBytes(const std::string& path, const uint8_t* bytes, size_t length);
  void WriteMapLines(size_t firstEntry, size_t count);
  void TraceFailure(const std::string& what);

  RemoteCachePaths& paths_;
  Trace& trace_;
  CacheIndex index_;
  std::string indexedMapPath_;
  int64_t cacheWriteOffset_ = 0;
  BlockReader reader_;
};

}  // namespace korvane
