// Checks sectors that a plugin delivered against a disc image file, read the way the
// plugin reads images: modes 0 and 1 address the file as 2352-byte sectors, mode 3 takes
// the 2048 user-data bytes of either a 2048- or a 2352-byte image (detected from its sync
// bytes 0, 1 and 10). The image is read in chunks of many sectors, so that checking a
// sequential play costs a compare per sector rather than a file read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace player {

class ImageVerifier final {
 public:
  ImageVerifier() = default;
  ~ImageVerifier();
  ImageVerifier(const ImageVerifier&) = delete;
  ImageVerifier& operator=(const ImageVerifier&) = delete;

  // Opens the image; false when it cannot be read.
  bool Open(const std::string& path);
  // Sectors of the image in mode (whole ones).
  uint32_t SectorCount(int32_t mode) const;
  // True when the bytes equal the image's sector lsn in mode.
  bool Matches(uint32_t lsn, int32_t mode, const uint8_t* bytes);
  int32_t SectorSize() const { return sectorSize_; }

 private:
  bool Geometry(int32_t mode, uint64_t& stride, uint64_t& skip, size_t& count) const;
  // Points at the image's bytes at offset for count bytes, read through the chunk; null
  // past the end of the image.
  const uint8_t* ImageBytes(uint64_t offset, size_t count);

  HANDLE file_ = INVALID_HANDLE_VALUE;
  int64_t size_ = 0;
  int32_t sectorSize_ = 2048;
  std::vector<uint8_t> chunk_;  // the image's bytes from chunkStart_ on
  uint64_t chunkStart_ = 0;
};

// Bytes that mode delivers: 2352, 2340 or 2048 (2352 for others).
size_t BytesForMode(int32_t mode);

}  // namespace player
