// The local disc image source: serves sectors of the image that CDVDopen opened, through
// the read-ahead window, in modes 0, 1 and 3.
#pragma once

#include <memory>
#include <string>

#include "core/PluginState.h"
#include "core/ReadAheadWindow.h"
#include "core/SectorSource.h"
#include "core/Trace.h"

namespace korvane {

class ImageSource final : public SectorSource {
 public:
  ImageSource(PluginState& state, Trace& trace) : state_(state), trace_(trace) {}

  // Modes 0, 1 and 3 are read through ReadImageTrack: 0 when the whole sector was read,
  // -1 when the image is not open or ends before it. Modes 2 and 4 are traced and refused
  // with -1; every other mode is refused with -1 silently.
  int32_t ReadSector(uint32_t lsn, int32_t mode) override;

  // Fills the sector buffer with sector lsn in mode 0, 1 or 3 from the window, refilling
  // it on a miss. True when a complete sector was placed; otherwise the buffer is unchanged.
  bool ReadImageTrack(uint32_t lsn, int32_t mode);

  // Prepares LocalImagePath for reading: closes the image held before, detects the sector
  // size, opens the image without sharing and empties the window.
  void PrepareImage();

  // Closes the held image; true when one was open.
  bool CloseImage();

  // True when the image at path is the one held open (and so, held without sharing, exists).
  bool HoldsOpen(const std::string& path) const;

  // Forgets every sector in the read-ahead window.
  void EmptyWindow() { window_.Clear(); }

  ReadAheadWindow& Window() { return window_; }

 private:
  PluginState& state_;
  Trace& trace_;
  ReadAheadWindow window_;
};

// Makes the image source over the plugin's state.
std::unique_ptr<ImageSource> MakeImageSource(PluginState& state, Trace& trace);

}  // namespace korvane
