// Image verification.
#include "ImageVerifier.h"

#include <cstring>

namespace player {

size_t BytesForMode(int32_t mode) {
  return mode == 0 ? 2352 : mode == 1 ? 2340 : mode == 3 ? 2048 : 2352;
}

ImageVerifier::~ImageVerifier() {
  if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
}

bool ImageVerifier::Open(const std::string& path) {
  file_ = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  ::GetFileSizeEx(file_, &size);
  size_ = size.QuadPart;
  uint8_t probe[11] = {};
  DWORD got = 0;
  ::ReadFile(file_, probe, sizeof probe, &got, nullptr);
  sectorSize_ = (probe[0] == 0x00 && probe[1] == 0xFF && probe[10] == 0xFF) ? 2352 : 2048;
  return true;
}

bool ImageVerifier::Geometry(int32_t mode, uint64_t& stride, uint64_t& skip, size_t& count) const {
  count = BytesForMode(mode);
  stride = mode == 3 && sectorSize_ == 2048 ? 2048 : 2352;
  skip = mode == 1 ? 12 : mode == 3 && sectorSize_ == 2352 ? 24 : 0;
  return mode == 0 || mode == 1 || mode == 3;
}

uint32_t ImageVerifier::SectorCount(int32_t mode) const {
  uint64_t stride, skip;
  size_t count;
  if (!Geometry(mode, stride, skip, count) || size_ < static_cast<int64_t>(skip + count)) return 0;
  return static_cast<uint32_t>((static_cast<uint64_t>(size_) - skip - count) / stride + 1);
}

const uint8_t* ImageVerifier::ImageBytes(uint64_t offset, size_t count) {
  if (offset < chunkStart_ || offset + count > chunkStart_ + chunk_.size()) {
    // A play that goes on past the chunk gets a large one; a seek only a few sectors.
    uint64_t end = chunkStart_ + chunk_.size();
    bool onwards = !chunk_.empty() && offset >= chunkStart_ && offset <= end + 65536;
    DWORD want = onwards ? 4 << 20 : 65536;
    chunk_.resize(want);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!::ReadFile(file_, chunk_.data(), want, &got, &at)) got = 0;
    chunk_.resize(got);
    chunkStart_ = offset;
    if (got < count) return nullptr;
  }
  return chunk_.data() + (offset - chunkStart_);
}

bool ImageVerifier::Matches(uint32_t lsn, int32_t mode, const uint8_t* bytes) {
  uint64_t stride, skip;
  size_t count;
  if (!Geometry(mode, stride, skip, count)) return false;
  const uint8_t* expected = ImageBytes(uint64_t{lsn} * stride + skip, count);
  return expected && std::memcmp(expected, bytes, count) == 0;
}

}  // namespace player
