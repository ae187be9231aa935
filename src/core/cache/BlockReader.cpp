// Chunked .Block reads.
#include "core/cache/BlockReader.h"

#include <algorithm>
#include <cstring>

#include "platform/ReadOnlyFile.h"

namespace korvane {

bool BlockReader::Holds(const std::string& path, int64_t offset, size_t count) const {
  return length_ != 0 && offset >= start_ &&
         static_cast<uint64_t>(offset - start_) + count <= length_ && path == path_;
}

void BlockReader::Refill(const std::string& path, int64_t offset, size_t count) {
  bool sequential = length_ != 0 && path == path_ && offset >= start_ &&
                    offset <= start_ + static_cast<int64_t>(length_);
  chunkSize_ = sequential ? std::min(chunkSize_ * 2, kMaxChunk) : kMinChunk;
  chunkSize_ = std::max(chunkSize_, count);
  if (!chunk_) chunk_ = std::make_unique<uint8_t[]>(kMaxChunk);
  path_ = path;
  start_ = offset;
  length_ = 0;
  ++fileReads_;
  platform::ReadOnlyFile file;
  identity_.clear();
  if (file.Open(path, platform::ReadOnlyFile::Sharing::kShared)) {
    identity_ = file.Identity();
    length_ = file.ReadAt(static_cast<uint64_t>(offset), chunk_.get(), chunkSize_);
  }
}

size_t BlockReader::Read(const std::string& path, int64_t offset, uint8_t* dest, size_t count) {
  if (offset < 0 || count > kMaxChunk) return 0;
  if (!Holds(path, offset, count)) Refill(path, offset, count);
  size_t inChunk = static_cast<size_t>(offset - start_);
  size_t available = inChunk < length_ ? std::min(count, length_ - inChunk) : 0;
  std::memcpy(dest, chunk_.get() + inChunk, available);
  return available;
}

void BlockReader::NoteAppend(const std::string& path, int64_t offset) {
  if (length_ != 0 && path == path_ && offset < start_ + static_cast<int64_t>(length_)) {
    Invalidate();
  }
}

}  // namespace korvane
