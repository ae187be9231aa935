// Local disc image reads: the mode table, the window hit and refill, and the preparation
// of the image by CDVDopen.
#include "core/ImageSource.h"

#include "core/ImageDetect.h"

namespace korvane {

int32_t ImageSource::ReadSector(uint32_t lsn, int32_t mode) {
  if (SectorBytesForMode(mode) != 0) return ReadImageTrack(lsn, mode) ? 0 : -1;
  if (const char* name = UnsupportedModeName(mode); name && trace_.Enabled()) {
    trace_.Gated(std::string(kTracePrefix) + "Mode[" + name + "] LSN[" + std::to_string(lsn) +
                 "] NOT SUPPORTED REPORT");
  }
  return -1;
}

bool ImageSource::ReadImageTrack(uint32_t lsn, int32_t mode) {
  SectorBytes& buffer = state_.SectorBuffer;
  int32_t slot = window_.FindReadAheadSlot(lsn, mode);
  if (slot < 0) {
    ReadAheadWindow::Geometry geometry{};
    if (!GeometryFor(mode, state_.ImageSectorSize, geometry)) return false;
    if (window_.Refill(state_.ImageHandle, geometry, lsn, mode, buffer.Data()) == 0) return false;
    slot = 0;
  }
  window_.CopySlot(slot, buffer.Data());
  buffer.NoteWritten(0, SectorBytes::kSize);
  return true;
}

void ImageSource::PrepareImage() {
  // The earlier image must go first: it is held without sharing, so detection could not
  // open it again, and its handle would leak.
  CloseImage();
  window_.Clear();
  state_.ImageSectorSize = CDVDDetectIsoType(state_.LocalImagePath, state_.SectorBuffer, trace_);
  if (state_.ImageHandle.Open(state_.LocalImagePath)) {
    state_.ImageHandlePath = state_.LocalImagePath;
  }
}

bool ImageSource::CloseImage() {
  bool wasOpen = state_.ImageHandle.IsOpen();
  state_.ImageHandle.Close();
  state_.ImageHandlePath.clear();
  return wasOpen;
}

bool ImageSource::HoldsOpen(const std::string& path) const {
  return state_.ImageHandle.IsOpen() && state_.ImageHandlePath == path;
}

std::unique_ptr<ImageSource> MakeImageSource(PluginState& state, Trace& trace) {
  return std::make_unique<ImageSource>(state, trace);
}

}  // namespace korvane
