// Block cache store: appends. Under the .Block's append lock, the index first takes in what
// other programs appended, the sectors it does not hold yet are written at the .Block's
// real end, then indexed, then listed in the .map; a failure is said once, and a sector
// is indexed only when all of its bytes were written.
#include "core/cache/BlockCache.h"

#include <algorithm>
#include <vector>

#include "platform/AppendFile.h"
#include "platform/ReadOnlyFile.h"

namespace korvane {

namespace {
constexpr const char* kNotCached = ": sectors not cached";
constexpr const char* kCachedUntilOpen = ": sectors cached until the next CDVDopen";

// "Cannot write PATH (WHY)" and the like: what failed, and the system's reason.
std::string Failed(const std::string& what, const std::string& path, const std::string& why) {
  return what + " " + path + (why.empty() ? "" : " (" + why + ")");
}

std::string IdentityOf(const std::string& path) {
  platform::ReadOnlyFile file;
  return file.Open(path, platform::ReadOnlyFile::Sharing::kShared) ? file.Identity() : "";
}
}  // namespace

// One run to store: its sectors, and those of them the index does not hold yet.
struct BlockCache::RunPieces {
  uint32_t lsn;
  int32_t mode;
  const uint8_t* bytes;
  size_t length;
  size_t pieceSize;
  std::vector<size_t> wanted;   // numbers in the run of the pieces to write
  std::vector<uint8_t> joined;  // their bytes one after another, unless every piece is wanted

  size_t Count() const { return (length + pieceSize - 1) / pieceSize; }
  size_t SizeOf(size_t k) const { return std::min(pieceSize, length - k * pieceSize); }
  const uint8_t* Data() const { return joined.empty() ? bytes : joined.data(); }
  size_t DataLength() const { return joined.empty() ? length : joined.size(); }
};

size_t BlockCache::AppendCachedSectors(CachePaths& files, uint32_t lsn, int32_t mode,
                                       const uint8_t* bytes, size_t length, size_t pieceSize) {
  std::lock_guard<std::mutex> hold(mutex_);
  return AppendLocked(files, lsn, mode, bytes, length, pieceSize);
}

size_t BlockCache::AppendLocked(CachePaths& files, uint32_t lsn, int32_t mode,
                                const uint8_t* bytes, size_t length, size_t pieceSize) {
  if (length == 0 || pieceSize == 0) return 0;
  // LSNs are 32-bit: a run that would reach past the last one is cut there, never filed
  // under LSN 0, 1, 2 ... where it would stand for the disc's first sectors.
  const uint64_t lsnsLeft = uint64_t{UINT32_MAX} - lsn + 1;
  if (length / pieceSize >= lsnsLeft) length = static_cast<size_t>(lsnsLeft * pieceSize);
  RunPieces run{lsn, mode, bytes, length, pieceSize, {}, {}};
  if (!EnsureFolder(files.Folder())) {
    ReportFailure("Cannot create folder " + files.Folder() + kNotCached);
    return 0;
  }
  const std::string blockPath = files.BlockPath();
  const std::string mapPath = files.MapPath();
  platform::AppendFile block;
  if (!block.Open(blockPath) || !block.Lock(kAppendLockWaitMs)) {
    ReportFailure(Failed("Cannot write", blockPath, block.LastError()) + kNotCached);
    return 0;
  }
  // The index must describe these very files before it can tell what they hold.
  if (indexedMapPath_ != mapPath ||
      (!blockIdentity_.empty() && IdentityOf(blockPath) != blockIdentity_)) {
    indexedMapPath_ = mapPath;
    Reload(blockPath);
  }
  platform::AppendFile map;
  const bool mapOpen = OpenMapForAppend(map, mapPath, blockPath);
  if (blockIdentity_.empty()) blockIdentity_ = IdentityOf(blockPath);
  ChooseUnheld(run);
  const size_t held = run.Count() - run.wanted.size();
  if (run.wanted.empty()) return held;
  const size_t first = index_.Count() + 1;
  bool whole = false;
  const size_t added = WriteBlockBytes(block, blockPath, run, whole);
  if (added > 0 && mapOpen) whole = WriteMapLines(map, mapPath, first, added) && whole;
  if (whole && mapOpen) lastFailure_.clear();
  return held + added;
}

void BlockCache::ChooseUnheld(RunPieces& run) const {
  for (size_t k = 0; k < run.Count(); ++k) {
    if (index_.Find(static_cast<uint32_t>(run.lsn + k), run.mode) == CacheIndex::kNone) {
      run.wanted.push_back(k);
    }
  }
  if (run.wanted.size() == run.Count()) return;
  for (size_t k : run.wanted) {
    const uint8_t* piece = run.bytes + k * run.pieceSize;
    run.joined.insert(run.joined.end(), piece, piece + run.SizeOf(k));
  }
}

size_t BlockCache::WriteBlockBytes(platform::AppendFile& block, const std::string& blockPath,
                                   const RunPieces& run, bool& whole) {
  const int64_t end = block.Size();
  if (end < 0) {
    ReportFailure(Failed("Cannot write", blockPath, block.LastError()) + kNotCached);
    return 0;
  }
  cacheWriteOffset_ = end;
  reader_.NoteAppend(blockPath, end);
  const size_t written = block.Append(run.Data(), run.DataLength());
  whole = written == run.DataLength();
  if (!whole) ReportFailure(Failed("Short write to", blockPath, block.LastError()) + kNotCached);
  // Only pieces written in full are indexed.
  size_t at = 0, added = 0;
  for (size_t k : run.wanted) {
    const size_t size = run.SizeOf(k);
    if (at + size > written) break;
    index_.Add({run.mode, static_cast<uint32_t>(run.lsn + k), end + static_cast<int64_t>(at)});
    at += size;
    ++added;
  }
  return added;
}

bool BlockCache::OpenMapForAppend(platform::AppendFile& map, const std::string& path,
                                  const std::string& blockPath) {
  const int64_t size = map.Open(path) ? map.Size() : -1;
  if (size < 0) {
    ReportFailure(Failed("Cannot write", path, map.LastError()) + kCachedUntilOpen);
    return false;
  }
  // A line torn by a crash is cut off first: every reader then finds only whole lines.
  uint64_t complete = CompleteLinesLength(
      [&](uint64_t at, char* dest, size_t n) { return map.ReadAt(at, dest, n); },
      static_cast<uint64_t>(size));
  if (complete < static_cast<uint64_t>(size) && !map.CutTo(static_cast<int64_t>(complete))) {
    ReportFailure(Failed("Cannot write", path, map.LastError()) + kCachedUntilOpen);
    return false;
  }
  CatchUp(blockPath);
  return true;
}

bool BlockCache::WriteMapLines(platform::AppendFile& map, const std::string& mapPath,
                               size_t firstEntry, size_t count) {
  std::string text;
  for (size_t n = firstEntry; n < firstEntry + count; ++n) AppendMapLine(index_.At(n), text);
  const int64_t at = map.Size();
  if (map.Append(text.data(), text.size()) < text.size()) {
    ReportFailure(Failed("Short write to", mapPath, map.LastError()) + kCachedUntilOpen);
    return false;
  }
  // The lines just written are in the index already: the next catch-up reads on after them.
  if (at >= 0 && static_cast<uint64_t>(at) == mapRead_) {
    mapRead_ += text.size();
    mapTail_ += text;
    if (mapTail_.size() > kMapTailBytes) mapTail_.erase(0, mapTail_.size() - kMapTailBytes);
  }
  return true;
}

}  // namespace korvane
