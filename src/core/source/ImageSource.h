// The local disc image source: serves sectors of the image that CDVDopen opened, through
// the read-ahead window, in modes 0, 1 and 3. It owns the open image: its handle, the path
// it was opened from and its sector size.
#pragma once

#include <memory>
#include <string>

#include "core/source/ReadAheadWindow.h"
#include "core/base/SectorSource.h"
#include "core/base/Trace.h"
#include "platform/ReadOnlyFile.h"

namespace korvane {

class ImageSource final : public SectorSource {
 public:
  explicit ImageSource(Trace& trace) : trace_(trace) {}

  // Modes 0, 1 and 3: kServed when the whole sector was read, kFailed when the image is
  // not open or ends before it. Every other mode: kUnsupported.
  ReadResult Read(uint32_t lsn, int32_t mode, SectorBytes& into) override;

  // Fills into with sector lsn in mode 0, 1 or 3 from the window, refilling it on a miss.
  // True when a complete sector was placed; otherwise into is unchanged.
  bool ReadImageTrack(uint32_t lsn, int32_t mode, SectorBytes& into);

  // Prepares the image at path for reading: closes the image held before, detects the
  // sector size (reading the first sectors through scratch), opens the image without
  // sharing and empties the window.
  void PrepareImage(const std::string& path, SectorBytes& scratch);

  // Closes the held image; true when one was open.
  bool CloseImage();

  // True when the image at path is the one held open (and so, held without sharing, exists).
  bool HoldsOpen(const std::string& path) const;
  // True when an image is held open.
  bool IsOpen() const { return file_.IsOpen(); }
  // The sector size detected by the last PrepareImage: 2048 or 2352, 0 before any.
  int32_t SectorSize() const { return sectorSize_; }

  // Forgets every sector in the read-ahead window.
  void EmptyWindow() { window_.Clear(); }

  ReadAheadWindow& Window() { return window_; }

 private:
  Trace& trace_;
  ReadAheadWindow window_;
  platform::ReadOnlyFile file_;
  std::string openPath_;
  int32_t sectorSize_ = 0;
};

// Makes the image source.
std::unique_ptr<ImageSource> MakeImageSource(Trace& trace);

}  // namespace korvane
