// Block cache store: appends. Under the .Block's append lock, the index first takes in what
// other programs appended, the sectors it does not hold yet are written at the .Block's
// real end, then indexed, then listed in the .map; a failure is said once, and a sector
// is indexed only when all of its bytes were written.
#include "core/BlockCache.h"

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

// The pieces of a run to write: their numbers in the run, and their bytes one after another.
struct Pieces {
  std::vector<size_t> numbers;
  std::vector<uint8_t> joined;  // empty when every piece is written, straight from the run
};
}  // namespace

size_t BlockCache::AppendCachedSectors(uint32_t lsn, int32_t mode, const uint8_t* bytes,
                                       size_t length, size_t pieceSize) {
  std::lock_guard<std::mutex> hold(mutex_);
  return AppendLocked(lsn, mode, bytes, length, pieceSize);
}

size_t BlockCache::AppendLocked(uint32_t lsn, int32_t mode, const uint8_t* bytes, size_t length,
                                size_t pieceSize) {
  if (length == 0 || pieceSize == 0) return 0;
  // LSNs are 32-bit: a run that would reach past the last one is cut there, never filed
  // under LSN 0, 1, 2 ... where it would stand for the disc's first sectors.
  const uint64_t lsnsLeft = uint64_t{UINT32_MAX} - lsn + 1;
  if (length / pieceSize >= lsnsLeft) length = static_cast<size_t>(lsnsLeft * pieceSize);
  const size_t pieces = (length + pieceSize - 1) / pieceSize;
  if (!EnsureGamesFolder()) {
    ReportFailure("Cannot create folder " + paths_.Folder() + kNotCached);
    return 0;
  }
  const std::string blockPath = RemoteBlockPath();
  platform::AppendFile block;
  if (!block.Open(blockPath) || !block.Lock(kAppendLockWaitMs)) {
    ReportFailure(Failed("Cannot write", blockPath, block.LastError()) + kNotCached);
    return 0;
  }
  // The index must describe these very files before it can tell what they hold.
  if (indexedMapPath_ != RemoteMapPath() ||
      (!blockIdentity_.empty() && IdentityOf(blockPath) != blockIdentity_)) {
    indexedMapPath_ = RemoteMapPath();
    Reload(blockPath);
  }
  platform::AppendFile map;
  const bool mapOpen = OpenMapForAppend(map, blockPath);
  if (blockIdentity_.empty()) blockIdentity_ = IdentityOf(blockPath);

  Pieces chosen;
  for (size_t k = 0; k < pieces; ++k) {
    if (index_.Find(static_cast<uint32_t>(lsn + k), mode) == CacheIndex::kNone) {
      chosen.numbers.push_back(k);
    }
  }
  const size_t held = pieces - chosen.numbers.size();
  if (chosen.numbers.empty()) return pieces;
  auto pieceBytes = [&](size_t k) { return std::min(pieceSize, length - k * pieceSize); };
  if (chosen.numbers.size() < pieces) {
    for (size_t k : chosen.numbers) {
      chosen.joined.insert(chosen.joined.end(), bytes + k * pieceSize,
                           bytes + k * pieceSize + pieceBytes(k));
    }
  }
  const uint8_t* data = chosen.joined.empty() ? bytes : chosen.joined.data();
  const size_t dataLength = chosen.joined.empty() ? length : chosen.joined.size();

  const int64_t end = block.Size();
  if (end < 0) {
    ReportFailure(Failed("Cannot write", blockPath, block.LastError()) + kNotCached);
    return held;
  }
  cacheWriteOffset_ = end;
  reader_.NoteAppend(blockPath, end);
  const size_t written = block.Append(data, dataLength);
  bool whole = written == dataLength;
  if (!whole) ReportFailure(Failed("Short write to", blockPath, block.LastError()) + kNotCached);

  // Only pieces written in full are indexed.
  const size_t first = index_.Count() + 1;
  size_t at = 0, added = 0;
  for (size_t k : chosen.numbers) {
    const size_t size = pieceBytes(k);
    if (at + size > written) break;
    index_.Add({mode, static_cast<uint32_t>(lsn + k), end + static_cast<int64_t>(at)});
    at += size;
    ++added;
  }
  if (added > 0 && mapOpen) whole = WriteMapLines(map, first, added) && whole;
  if (whole && mapOpen) lastFailure_.clear();
  return held + added;
}

bool BlockCache::OpenMapForAppend(platform::AppendFile& map, const std::string& blockPath) {
  const std::string& path = RemoteMapPath();
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

bool BlockCache::WriteMapLines(platform::AppendFile& map, size_t firstEntry, size_t count) {
  std::string text;
  for (size_t n = firstEntry; n < firstEntry + count; ++n) AppendMapLine(index_.At(n), text);
  const int64_t at = map.Size();
  if (map.Append(text.data(), text.size()) < text.size()) {
    ReportFailure(Failed("Short write to", RemoteMapPath(), map.LastError()) + kCachedUntilOpen);
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
