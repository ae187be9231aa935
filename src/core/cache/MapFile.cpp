// .map parsing, loading and formatting, and the extent of its whole lines.
#include "core/cache/MapFile.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/base/ReadMode.h"

#include "platform/ReadOnlyFile.h"

namespace korvane {

MapParser::Step MapParser::Feed(char c) {
  bool complete = false;
  size_t malformed = Feed(&c, 1, [&](const CacheEntry& entry) {
    entry_ = entry;
    complete = true;
  });
  return complete ? Step::kComplete : malformed != 0 ? Step::kBad : Step::kNeedMore;
}

uint64_t CompleteLinesLength(const ReadAtFn& readAt, uint64_t size) {
  constexpr size_t kChunk = 4096;
  char chunk[kChunk];
  // A CR as the very last byte may be the first half of a CR LF cut by a crash: it ends no
  // line. Any other CR, and every LF, ends one.
  for (uint64_t end = size; end > 0;) {
    const uint64_t start = end > kChunk ? end - kChunk : 0;
    const size_t got = readAt(start, chunk, static_cast<size_t>(end - start));
    if (got != end - start) return 0;
    for (size_t i = got; i-- > 0;) {
      const uint64_t at = start + i;
      if (chunk[i] == '\n' || (chunk[i] == '\r' && at + 1 < size)) return at + 1;
    }
    end = start;
  }
  return 0;
}

MapLoadResult LoadMapFile(const std::string& path, int64_t blockSize, CacheIndex& index) {
  platform::ReadOnlyFile file;
  if (!file.Open(path, platform::ReadOnlyFile::Sharing::kShared)) return MapLoadResult{};
  return LoadMapLines(file, 0, [blockSize] { return blockSize; }, index);
}

namespace {
// Adds the staged lines whose sector the .Block of blockSize bytes holds in full and whose
// place no later staged line uses; returns how many it added.
size_t AddWholeStagedLines(int64_t blockSize, CacheIndex& index) {
  // From the last line back, so that where the later lines' sectors begin is known. The
  // sizes are subtracted from limits of 0 or more: offset + size could overflow.
  const size_t lines = index.StagedCount();
  std::vector<bool> kept(lines);
  const int64_t blockBytes = std::max<int64_t>(blockSize, 0);
  int64_t laterStart = INT64_MAX;
  for (size_t k = lines; k-- > 0;) {
    const CacheEntry& line = index.Staged(k);
    const auto sectorBytes = static_cast<int64_t>(SectorBytesForMode(line.mode));
    // A sector that does not end within the .Block is a miss, never one with a stale tail.
    const bool whole = line.offset <= blockBytes - sectorBytes;
    // A sector that a later line shows to have been written over is not served.
    const bool own = line.offset <= laterStart - sectorBytes;
    kept[k] = whole && own;
    laterStart = std::min(laterStart, line.offset);
  }
  return index.AddStaged(kept);
}
}  // namespace

MapLoadResult LoadMapLines(platform::ReadOnlyFile& file, uint64_t from,
                           const BlockSizeFn& blockSize, CacheIndex& index) {
  MapLoadResult result;
  result.opened = true;
  const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(file.Size(), 0));
  const uint64_t complete = CompleteLinesLength(
      [&](uint64_t at, char* dest, size_t count) { return file.ReadAt(at, dest, count); }, size);
  result.tornLastLine = complete < size;
  result.end = std::max(complete, from);
  if (complete <= from) return result;
  // Lines the writer writes are some 12 to 24 bytes long.
  constexpr uint64_t kTypicalLineBytes = 16;
  index.Reserve(
      static_cast<size_t>(std::min<uint64_t>((complete - from) / kTypicalLineBytes, SIZE_MAX)));
  // The well-formed lines, in order, straight into the index's own memory.
  std::unique_ptr<char[]> block(new char[kMapReadBlockBytes]);
  MapParser parser;
  for (uint64_t offset = from; offset < complete;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kMapReadBlockBytes, complete - offset));
    size_t got = file.ReadAt(offset, block.get(), want);
    if (got == 0) break;
    offset += got;
    result.skipped +=
        parser.Feed(block.get(), got, [&](const CacheEntry& entry) { index.Stage(entry); });
  }
  const size_t lines = index.StagedCount();
  result.entries = AddWholeStagedLines(blockSize(), index);
  result.stale = lines - result.entries;
  return result;
}

void AppendMapLine(const CacheEntry& entry, std::string& out) {
  out += std::to_string(static_cast<int32_t>(entry.lsn));
  out += '/';
  out += std::to_string(entry.mode);
  out += '/';
  out += std::to_string(entry.offset);
  out += "\r\n";
}

}  // namespace korvane
