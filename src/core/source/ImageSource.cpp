// Local disc image reads: the window hit and refill, and the preparation of the image by
// CDVDopen.
#include "core/source/ImageSource.h"

#include "core/source/ImageDetect.h"

namespace korvane {

ReadResult ImageSource::Read(uint32_t lsn, int32_t mode, SectorBytes& into) {
  if (SectorBytesForMode(mode) == 0) return ReadResult::kUnsupported;
  return ReadImageTrack(lsn, mode, into) ? ReadResult::kServed : ReadResult::kFailed;
}

bool ImageSource::ReadImageTrack(uint32_t lsn, int32_t mode, SectorBytes& into) {
  int32_t slot = window_.FindReadAheadSlot(lsn, mode);
  if (slot < 0) {
    ReadAheadWindow::Geometry geometry{};
    if (!GeometryFor(mode, sectorSize_, geometry)) return false;
    if (window_.Refill(file_, geometry, lsn, mode, into.Data()) == 0) return false;
    slot = 0;
  }
  window_.CopySlot(slot, into.Data());
  into.NoteWritten(0, SectorBytes::kSize);
  return true;
}

void ImageSource::PrepareImage(const std::string& path, SectorBytes& scratch) {
  // The earlier image must go first: it is held without sharing, so detection could not
  // open it again, and its handle would leak.
  CloseImage();
  window_.Clear();
  sectorSize_ = CDVDDetectIsoType(path, scratch, trace_);
  if (file_.Open(path)) openPath_ = path;
}

bool ImageSource::CloseImage() {
  bool wasOpen = file_.IsOpen();
  file_.Close();
  openPath_.clear();
  return wasOpen;
}

bool ImageSource::HoldsOpen(const std::string& path) const {
  return file_.IsOpen() && openPath_ == path;
}

std::unique_ptr<ImageSource> MakeImageSource(Trace& trace) {
  return std::make_unique<ImageSource>(trace);
}

}  // namespace korvane
