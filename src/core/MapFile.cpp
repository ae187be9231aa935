// .map parsing, loading and formatting, and the extent of its whole lines.
#include "core/MapFile.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "core/ReadMode.h"

#include "platform/ReadOnlyFile.h"

namespace korvane {

namespace {
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kUint32Max = std::numeric_limits<uint32_t>::max();
}  // namespace

bool MapParser::EndField() {
  if (digits_ == 0 || field_ > 2) return false;
  // value_ has at most 19 digits, so it fits; the sign makes it an int64 in range.
  if (value_ > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  fields_[field_++] = negative_ ? -static_cast<int64_t>(value_) : static_cast<int64_t>(value_);
  digits_ = 0;
  value_ = 0;
  negative_ = false;
  return true;
}

MapParser::Step MapParser::EndLine() {
  bool wasLine = inLine_;
  bool good = !bad_ && EndField() && field_ == 3;
  field_ = digits_ = 0;
  value_ = 0;
  negative_ = bad_ = inLine_ = false;
  if (!wasLine) return Step::kNeedMore;  // a blank line, or the LF of a CR LF
  if (!good) return Step::kBad;
  int64_t lsn = fields_[0], mode = fields_[1], offset = fields_[2];
  if (lsn < kInt32Min || lsn > kUint32Max || mode < kInt32Min || mode > kInt32Max || offset < 0) {
    return Step::kBad;
  }
  entry_ = {static_cast<int32_t>(mode), static_cast<uint32_t>(lsn), offset};
  return Step::kComplete;
}

MapParser::Step MapParser::Feed(char c) {
  bool lfAfterCR = afterCR_ && c == '\n';
  afterCR_ = c == '\r';
  if (c == '\r' || c == '\n') return lfAfterCR ? Step::kNeedMore : EndLine();
  inLine_ = true;
  if (bad_) return Step::kNeedMore;
  if (c >= '0' && c <= '9') {
    if (++digits_ > kMaxDigits) bad_ = true;
    value_ = value_ * 10 + static_cast<uint64_t>(c - '0');
  } else if (c == '-' && digits_ == 0 && !negative_) {
    negative_ = true;
  } else if (c != '/' || !EndField()) {
    bad_ = true;
  }
  return Step::kNeedMore;
}

uint64_t CompleteLinesLength(const ReadAtFn& readAt, uint64_t size) {
  constexpr size_t kChunk = 4096;
  char chunk[kChunk + 1];
  // Read backwards in chunks that overlap by one byte, so a CR LF across two is seen.
  for (uint64_t end = size; end >= 2;) {
    uint64_t start = end > kChunk + 1 ? end - kChunk - 1 : 0;
    size_t got = readAt(start, chunk, static_cast<size_t>(end - start));
    if (got != end - start) return 0;
    for (size_t i = got - 1; i >= 1; --i) {
      if (chunk[i] == '\n' && chunk[i - 1] == '\r') return start + i + 1;
    }
    if (start == 0) break;
    end = start + 1;
  }
  return 0;
}

namespace {
// The well-formed lines of the first length bytes of file, in order.
std::vector<CacheEntry> ParseLines(platform::ReadOnlyFile& file, uint64_t length,
                                   MapLoadResult& result) {
  std::vector<CacheEntry> lines;
  constexpr size_t kChunk = 1 << 20;
  auto chunk = std::make_unique<char[]>(kChunk);
  MapParser parser;
  for (uint64_t offset = 0; offset < length;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, length - offset));
    size_t got = file.ReadAt(offset, chunk.get(), want);
    if (got == 0) break;
    offset += got;
    for (size_t i = 0; i < got; ++i) {
      MapParser::Step step = parser.Feed(chunk[i]);
      if (step == MapParser::Step::kComplete) {
        lines.push_back(parser.Entry());
      } else if (step == MapParser::Step::kBad) {
        ++result.skipped;
      }
    }
  }
  return lines;
}
}  // namespace

MapLoadResult LoadMapFile(const std::string& path, int64_t blockSize, CacheIndex& index) {
  MapLoadResult result;
  platform::ReadOnlyFile file;
  if (!file.Open(path, platform::ReadOnlyFile::Sharing::kShared)) return result;
  result.opened = true;
  const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(file.Size(), 0));
  const uint64_t complete = CompleteLinesLength(
      [&](uint64_t at, char* dest, size_t count) { return file.ReadAt(at, dest, count); }, size);
  result.tornLastLine = complete < size;
  std::vector<CacheEntry> lines = ParseLines(file, complete, result);
  // From the last line back: a sector must end within the .Block and before any later
  // line's sector begins.
  std::vector<bool> kept(lines.size());
  int64_t limit = std::max<int64_t>(blockSize, 0);
  for (size_t i = lines.size(); i-- > 0;) {
    const CacheEntry& line = lines[i];
    kept[i] = line.offset + static_cast<int64_t>(SectorBytesForMode(line.mode)) <= limit;
    limit = std::min(limit, line.offset);
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!kept[i]) {
      ++result.stale;
      continue;
    }
    index.Add(lines[i]);
    ++result.entries;
  }
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
