// The read path behind CDVDreadTrack and CDVDgetBuffer: on every read it picks the source
// from the configuration as it is at that moment (remote, null, offline replay of a block
// cache, or the local image) and lets it fill the sector buffer.
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
  // offline and remote may be null while those sources are not wired in: their reads then
  // do nothing and return -1 and 0 respectively.
  ReadDispatcher(PluginState& state, Trace& trace, NullSource& null, ImageSource& image,
                 SectorSource* offline, SectorSource* remote)
      : state_(state), trace_(trace), null_(null), image_(image), offline_(offline),
        remote_(remote) {}

  // Reads sector lsn in mode from the source chosen now; returns 0 or -1.
  int32_t CDVDreadTrack(uint32_t lsn, int32_t mode);

  // The sector buffer when a source is configured and the last read was not a null read;
  // otherwise traces null mode and returns null.
  uint8_t* CDVDgetBuffer();

  void SetOfflineSource(SectorSource* offline) { offline_ = offline; }
  void SetRemoteSource(SectorSource* remote) { remote_ = remote; }

 private:
  PluginState& state_;
  Trace& trace_;
  NullSource& null_;
  ImageSource& image_;
  SectorSource* offline_;
  SectorSource* remote_;
};

// True when path names a block cache index rather than a disc image: it contains ".map"
// anywhere, compared case-sensitively.
bool IsCacheIndexPath(const std::string& path);

}  // namespace korvane
