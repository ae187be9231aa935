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
#include "platform/ReadOnlyFile.h"

namespace korvane::server {

class DiscImage final {
 public:
  // Opens the image at path, listed as name, and probes its sector size; nullptr with the
  // reason in why when it cannot be opened or read.
  static std::unique_ptr<DiscImage> Open(const std::string& path, std::string name,
                                         std::string& why);
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

  // Reads size bytes at offset into into; false unless all of them were read. Safe from
  // several threads at once.
  bool ReadBytes(uint64_t offset, uint8_t* into, size_t size) const {
    return file_.ReadAt(offset, into, size) == size;
  }

 private:
  explicit DiscImage(std::string name) : name_(std::move(name)) {}

  std::string name_;
  // Positioned reads (pread, or ReadFile at an OVERLAPPED offset) share no file position, so
  // workers may read the one handle at once: nothing here changes but the bytes read.
  mutable platform::ReadOnlyFile file_;
  uint64_t size_ = 0;
  int32_t sectorSize_ = 2048;
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
