// .map parsing, formatting and repair.
#include "core/MapFile.h"

#include <limits>
#include <memory>

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

MapLoadResult LoadMapFile(const std::string& path, CacheIndex& index) {
  MapLoadResult result;
  platform::ReadOnlyFile file;
  if (!file.Open(path, platform::ReadOnlyFile::Sharing::kShared)) return result;
  result.opened = true;
  constexpr size_t kChunk = 1 << 20;
  auto chunk = std::make_unique<char[]>(kChunk);
  MapParser parser;
  uint64_t offset = 0;
  while (size_t got = file.ReadAt(offset, chunk.get(), kChunk)) {
    offset += got;
    for (size_t i = 0; i < got; ++i) {
      MapParser::Step step = parser.Feed(chunk[i]);
      if (step == MapParser::Step::kComplete) {
        index.Add(parser.Entry());
        ++result.entries;
      } else if (step == MapParser::Step::kBad) {
        ++result.skipped;
      }
    }
  }
  result.tornLastLine = parser.InLine();
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

std::string MapLineEndRepair(const char* lastBytes, size_t count) {
  if (count == 0) return std::string();
  char last = lastBytes[count - 1];
  if (last == '\n') return std::string();
  if (last == '\r') return "\n";
  return "/\r\n";
}

}  // namespace korvane
