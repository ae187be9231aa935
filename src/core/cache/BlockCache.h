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
//
// Several programs may share one pair (two emulators, a plugin and a mount), each with an
// index of its own:
// - an append takes the .Block's append lock, takes the place to write at from the file's
//   real end, writes the sectors' bytes and then their lines, and lets the lock go, so two
//   appends never share bytes and every line names bytes that are already there;
// - before a sector counts as a miss, the lines other programs appended since the .map was
//   last read are added to the index (the catch-up); a .map or .Block that was replaced
//   (deleted and written anew) makes the index load again rather than point into it;
// - sectors the index already holds, its own or another program's, are not stored again.
//
// One mutex guards the index and the reader, so that a reader of cached sectors and a
// fetch of the same disc may run on two threads; no network wait happens under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "core/cache/BlockReader.h"
#include "core/cache/CacheIndex.h"
#include "core/cache/CachePaths.h"
#include "core/cache/MapFile.h"
#include "core/base/SectorBytes.h"
#include "core/base/Trace.h"

namespace korvane {

namespace platform {
class AppendFile;
class ReadOnlyFile;
}  // namespace platform

// How long an append waits for another program's append to end before it gives up.
inline constexpr int kAppendLockWaitMs = 5000;

class BlockCache final {
 public:
  // Its failures are traced to trace.
  explicit BlockCache(Trace& trace) : trace_(trace) {}

  // The .Block path that belongs to a .map path: cut at the first ".map", plus ".Block".
  static std::string OfflineBlockPath(const std::string& mapPath);

  // Empties CacheIndex and sets CacheWriteOffset to 0; the index still describes the same
  // cache files, and the next catch-up reads their .map from its start.
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
  bool IndexFor(const std::string& mapPath, const std::string& blockPath);

  // The number of the first entry for exactly (lsn, mode), or CacheIndex::kNone.
  size_t LookupCachedSector(uint32_t lsn, int32_t mode) const;

  // True when the index holds (lsn, mode), once it has taken in the lines other programs
  // appended meanwhile to its .map (whose .Block is blockPath).
  bool Holds(const std::string& blockPath, uint32_t lsn, int32_t mode);

  // What ReadIndexed found.
  struct Served {
    bool indexed = false;  // the index holds the sector
    size_t bytes = 0;      // how many of its bytes the .Block held (0 for count 0)
  };
  // Reads count bytes of the sector (lsn, mode) from blockPath into into, as the index has
  // it after the catch-up; the rest of into keeps its bytes.
  Served ReadIndexed(const std::string& blockPath, uint32_t lsn, int32_t mode, size_t count,
                     SectorBytes& into);

  // Reads count bytes of the entry's sector from blockPath into into; returns how many the
  // file held (the rest of into keeps its bytes).
  size_t ReadCachedSector(const std::string& blockPath, size_t entry, size_t count,
                          SectorBytes& into);

  // Stores consecutive sectors lsn, lsn+1, ... of one mode: the bytes are cut into pieces
  // of pieceSize (the last may be shorter); those the index does not hold yet are written
  // to the .Block file that files names, in one write, then indexed, then listed in its
  // .map file in one write; the index then describes files. Returns how many of the sectors the index holds afterwards. A
  // failure is reported once (a gated trace line, and OnStoreFailure's report), and no
  // other until a store succeeds again.
  size_t AppendCachedSectors(CachePaths& files, uint32_t lsn, int32_t mode, const uint8_t* bytes,
                             size_t length, size_t pieceSize);

  // Where a failed store is said, besides the gated trace line, with the line's text
  // (without its prefix).
  void OnStoreFailure(std::function<void(const std::string&)> report) {
    std::lock_guard<std::mutex> hold(mutex_);
    failureReport_ = std::move(report);
  }

  const CacheIndex& Index() const { return index_; }
  int64_t CacheWriteOffset() const { return cacheWriteOffset_; }
  BlockReader& Reader() { return reader_; }

 private:
  // Each of these runs with mutex_ held.
  void ClearLocked();
  void LoadIndexOf(const std::string& mapPath, const std::string& blockPath);
  MapLoadResult LoadLines(platform::ReadOnlyFile& map, uint64_t from,
                          const std::string& blockPath);
  bool CatchUp(const std::string& blockPath);
  void Reload(const std::string& blockPath);
  bool SameMapAsRead(platform::ReadOnlyFile& map, int64_t size);
  void NoteMapRead(platform::ReadOnlyFile& map, uint64_t end);
  size_t FindCaughtUp(const std::string& blockPath, uint32_t lsn, int32_t mode);
  size_t AppendLocked(CachePaths& files, uint32_t lsn, int32_t mode, const uint8_t* bytes,
                      size_t length, size_t pieceSize);
  struct RunPieces;
  // Picks the pieces of run the index does not hold yet.
  void ChooseUnheld(RunPieces& run) const;
  // Writes the pieces picked at the .Block's end and indexes those written whole; whole
  // says whether all were.
  size_t WriteBlockBytes(platform::AppendFile& block, const std::string& blockPath,
                         const RunPieces& run, bool& whole);
  bool OpenMapForAppend(platform::AppendFile& map, const std::string& mapPath,
                        const std::string& blockPath);
  bool WriteMapLines(platform::AppendFile& map, const std::string& mapPath, size_t firstEntry,
                     size_t count);
  void ReportFailure(const std::string& what);

  // How many bytes before the end of what was read of a .map are kept to recognise it.
  static constexpr size_t kMapTailBytes = 32;

  mutable std::mutex mutex_;
  Trace& trace_;
  CacheIndex index_;
  std::string indexedMapPath_;
  int64_t cacheWriteOffset_ = 0;
  BlockReader reader_;
  // What of the indexed .map the index holds: its lines up to mapRead_, in the file known
  // by mapIdentity_ that ended in mapTail_ there; and the .Block their offsets point into.
  uint64_t mapRead_ = 0;
  std::string mapIdentity_;
  std::string mapTail_;
  std::string blockIdentity_;
  std::string lastFailure_;
  std::function<void(const std::string&)> failureReport_;
};

}  // namespace korvane
