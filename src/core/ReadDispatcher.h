// The read path behind CDVDreadTrack and CDVDgetBuffer: every read goes to the source that
// the configuration names at that moment (remote, null, offline replay of a block cache, or
// the local image), which fills the sector buffer; its ReadResult becomes the PS2E result
// and the read path's trace lines, all written here. The choice is kept with the settings it
// was made from and made again when they change, or when it rests on a file-system answer
// that has grown stale.
#pragma once

#include <cstdint>
#include <string>

#include "core/source/ImageSource.h"
#include "core/source/NullSource.h"
#include "core/PluginState.h"
#include "core/base/SectorSource.h"
#include "core/base/Trace.h"

namespace korvane {

class ReadDispatcher final {
 public:
  ReadDispatcher(PluginState& state, Trace& trace, NullSource& null, ImageSource& image,
                 SectorSource& offline, SectorSource& remote)
      : state_(state),
        trace_(trace),
        null_(null),
        image_(image),
        offline_(offline),
        remote_(remote) {}

  // Reads sector lsn in mode from the source chosen now; returns 0 or -1.
  int32_t CDVDreadTrack(uint32_t lsn, int32_t mode);

  // The sector buffer when a source is configured and the last read was not a null read;
  // otherwise traces null mode and returns null.
  uint8_t* CDVDgetBuffer();

  // Makes the next read choose its source again, asking the file system afresh.
  void ForgetLocalFile() { last_.trustedReads = 0; }

  // How many reads trust a local file found to exist before it is looked for again.
  static constexpr uint32_t kExistenceTrustedReads = 64;

 private:
  enum class Picked { kRemote, kNull, kOffline, kImage };

  // The choice for the last read and the settings it was made from. A choice that rests on
  // the local file existing holds for trustedReads more reads.
  struct Choice {
    bool remote = false;
    std::string path;
    Picked picked = Picked::kNull;
    uint32_t trustedReads = 0;
  };

  // The source for this read: the last choice while it still holds, else a new one.
  Picked Pick();
  bool StillHolds(Choice& choice);
  Choice Choose(bool remote, const std::string& path);
  SectorSource& SourceOf(Picked picked);
  // The PS2E result of result from the picked source, after its trace line, if any.
  int32_t Report(Picked picked, ReadResult result, uint32_t lsn, int32_t mode);

  PluginState& state_;
  Trace& trace_;
  NullSource& null_;
  ImageSource& image_;
  SectorSource& offline_;
  SectorSource& remote_;
  Choice last_;
};

// True when path names a block cache index rather than a disc image: it contains ".map"
// anywhere, compared case-sensitively.
bool IsCacheIndexPath(const std::string& path);

}  // namespace korvane
