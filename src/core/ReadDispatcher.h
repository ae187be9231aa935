// The read path behind CDVDreadTrack and CDVDgetBuffer: every read goes to the source that
// the table of sources picks for the settings at that moment, which fills the sector
// buffer; its ReadResult becomes the PS2E result and the read path's trace lines, all
// written here. The choice is kept with the settings it was made from and made again when
// they change, or when it rests on a file-system answer that has grown stale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/PluginState.h"
#include "core/SourceTable.h"
#include "core/base/SectorSource.h"
#include "core/base/Trace.h"

namespace korvane {

class ReadDispatcher final {
 public:
  ReadDispatcher(PluginState& state, Trace& trace, SourceTable& sources)
      : state_(state), trace_(trace), sources_(sources) {}

  // Reads sector lsn in mode from the source chosen now; returns 0 or -1.
  int32_t CDVDreadTrack(uint32_t lsn, int32_t mode);

  // The sector buffer when a source is configured and the last read was not a null read;
  // otherwise traces null mode and returns null.
  uint8_t* CDVDgetBuffer();

  // Makes the next read choose its source again, asking the file system afresh.
  void ForgetLocalFile() { last_.made = false; }

  // How many reads trust a local file found to exist before it is looked for again.
  static constexpr uint32_t kExistenceTrustedReads = 64;

 private:
  // The choice for the last read and the settings it was made from. A choice that rests on
  // whether the local file exists holds for trustedReads more reads, when that file was
  // found, and for none when it was not.
  struct Choice {
    bool made = false;
    SourceSettings settings;
    size_t entry = 0;
    bool restsOnFile = false;
    uint32_t trustedReads = 0;
  };

  // The entry for this read: the last choice while it still holds, else a new one; Size()
  // when the table has none for the settings.
  size_t Pick();
  bool StillHolds(Choice& choice);
  Choice Choose(const SourceSettings& settings) const;
  // The PS2E result of result from the entry's source, after its trace line, if any.
  int32_t Report(const SourceEntry& entry, ReadResult result, uint32_t lsn, int32_t mode);

  PluginState& state_;
  Trace& trace_;
  SourceTable& sources_;
  Choice last_;
};

// True when path names a block cache index rather than a disc image: it contains ".map"
// anywhere, compared case-sensitively.
bool IsCacheIndexPath(const std::string& path);

}  // namespace korvane
