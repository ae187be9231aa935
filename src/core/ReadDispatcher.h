// The read path behind CDVDreadTrack and CDVDgetBuffer: on every read it picks the source
// from the configuration as it is at that moment (remote, null, offline replay of a block
// cache, or the local image), lets it fill the sector buffer, and turns its ReadResult into
// the PS2E result and the read path's trace lines, all written here.
#pragma once

#include <cstdint>
#include <string>

#include "core/ImageSource.h"
#include "core/NullSource.h"
#include "core/PluginState.h"
#include "core/SectorSource.h"
#include "core/Trace.h"

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

  // Makes the next read query the file system for the local file again.
  void ForgetLocalFile() { trustedReads_ = 0; }

  // How many reads trust a local file found to exist before it is looked for again.
  static constexpr uint32_t kExistenceTrustedReads = 64;

 private:
  enum class Picked { kRemote, kNull, kOffline, kImage };

  bool LocalFileExists(const std::string& path);
  // The source for this read, from the configuration as it is now.
  Picked Pick();
  SectorSource& SourceOf(Picked picked);
  // The PS2E result of result from the picked source, after its trace line, if any.
  int32_t Report(Picked picked, ReadResult result, uint32_t lsn, int32_t mode);

  PluginState& state_;
  Trace& trace_;
  NullSource& null_;
  ImageSource& image_;
  SectorSource& offline_;
  SectorSource& remote_;
  std::string probedPath_;
  uint32_t trustedReads_ = 0;
};

// True when path names a block cache index rather than a disc image: it contains ".map"
// anywhere, compared case-sensitively.
bool IsCacheIndexPath(const std::string& path);

}  // namespace korvane
