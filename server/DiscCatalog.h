// The disc images a server offers: the regular files directly inside one folder whose names
// end in .iso, .bin or .img (any letter case), sorted by name. Each image is opened once when
// the folder is scanned, and its size and sector size (2048 or 2352, from its first 11 bytes)
// are taken then. Sectors are read at the offsets of core/ImageLayout.h, exactly where the
// plugin reads a local image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ImageLayout.h"

namespace korvane::server {

class DiscImage final {
 public:
  DiscImage(std::string name, int fd, uint64_t size, int32_t sectorSize);
  ~DiscImage();
  DiscImage(const DiscImage&) = delete;
  DiscImage& operator=(const DiscImage&) = delete;

  const std::string& Name() const { return name_; }
  uint64_t Size() const { return size_; }
  int32_t SectorSize() const { return sectorSize_; }

  // The number of sectors of geometry that lie wholly inside the image.
  uint64_t SectorCount(const SectorGeometry& geometry) const;

  // Reads count sectors of geometry from lsn into out, packed (count * geometry.count
  // bytes); false when the file cannot be read there. Safe from several threads at once.
  bool ReadSectors(const SectorGeometry& geometry, uint32_t lsn, uint32_t count,
                   std::vector<uint8_t>& out) const;

 private:
  bool ReadAt(uint64_t offset, uint8_t* into, size_t size) const;

  std::string name_;
  int fd_;
  uint64_t size_;
  int32_t sectorSize_;
};

class DiscCatalog final {
 public:
  // Scans folder: fills discs, lists in skipped the images left out (a name the disc list
  // cannot carry, or a file that cannot be opened) with the reason, and returns false with
  // error when the folder cannot be listed.
  static bool Scan(const std::string& folder, DiscCatalog& discs, std::vector<std::string>& skipped,
                   std::string& error);

  // The number of discs in the list.
  size_t Count() const { return discs_.size(); }

  // The disc at index of the list, or nullptr when there is none.
  const DiscImage* At(size_t index) const;

  // The names of the discs, in list order.
  std::vector<std::string> Names() const;

 private:
  std::vector<std::unique_ptr<DiscImage>> discs_;
};

}  // namespace korvane::server
