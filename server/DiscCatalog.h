// The disc images a server offers: the regular files directly inside one folder whose names
// end in .iso, .bin or .img (any letter case), sorted by name. Each image is opened once when
// the folder is scanned, and its size and sector size (2048 or 2352, from its first 11 bytes)
// are taken then; it stays open, so one deleted or replaced later is served as it was until
// the server restarts. An entry with an image's name that is no regular file is left out,
// with its reason in the scan's report. Sectors are read at the offsets of core/ImageLayout.h,
// exactly where the plugin reads a local image.
//
// An image is opened as the very directory entry that was listed (on POSIX systems relative
// to the folder's descriptor, its name taken as bytes), so no byte of a name, a backslash
// included, can lead outside the folder; a symbolic link the operator put in the folder is
// followed. Only what a client can select is listed: the first 256 images (the selection
// is one byte) whose list body stays within what the plugin takes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/base/ImageLayout.h"
#include "platform/ReadOnlyFile.h"
#include "protocol/MessageKinds.h"

namespace korvane::server {

class ServerLog;

// The folder images are opened in: its path and, on POSIX systems, its open descriptor.
struct ImageFolder {
  std::string path;
  int fd = -1;
};

class DiscImage final {
 public:
  // Opens the entry name of folder and probes its sector size; log (may be null) hears of
  // the first read of it that fails. nullptr with the reason in why when it cannot be
  // opened or is no regular file, with outOfDescriptors set when the process has none left.
  static std::unique_ptr<DiscImage> Open(const ImageFolder& folder, std::string name,
                                         ServerLog* log, std::string& why, bool& outOfDescriptors);
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
  bool ReadBytes(uint64_t offset, uint8_t* into, size_t size) const;

 private:
  DiscImage(std::string name, ServerLog* log) : name_(std::move(name)), log_(log) {}
  // Logs the first read that fails, which only an image cut short or gone bad under the
  // server makes: the client is told at every one, the log once per disc.
  void NoteFailedRead(uint64_t offset, size_t size, size_t got) const;

  std::string name_;
  ServerLog* log_;
  mutable std::atomic<bool> failureLogged_{false};
  // Positioned reads (pread, or ReadFile at an OVERLAPPED offset) share no file position, so
  // workers may read the one handle at once: nothing here changes but the bytes read.
  mutable platform::ReadOnlyFile file_;
  uint64_t size_ = 0;
  int32_t sectorSize_ = 2048;
};


struct ScanSettings {
  std::string folder;
  size_t maxOpen = 0;        // images held open at most, 0: as many as the system allows
  ServerLog* log = nullptr;  // hears of failed reads; may be null
};

// What a scan left out, for the log.
struct ScanReport {
  std::vector<std::string> skipped;   // "name: why" for a name or file that cannot be served
  std::vector<std::string> unlisted;  // images past what a client can select
  size_t unopened = 0;                // images left shut for want of descriptors
};

class DiscCatalog final {
 public:
  // Scans settings.folder into discs, noting in report what it leaves out; false with error
  // when the folder cannot be listed.
  static bool Scan(const ScanSettings& settings, DiscCatalog& discs, ScanReport& report,
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
