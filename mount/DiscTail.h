// The remote reads of a mounted disc whose image may end part way through a sector. The
// sectors it holds whole come from the disc session's remote source, through its cache and
// prefetch; the partial last one, which no sector request reaches, is fetched by the tail
// request once and kept for the session, never stored in the cache, whose entries are whole
// sectors. The server pads it with zero bytes to a whole sector; the file ends at the
// image's size, so those bytes are never read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/session/DiscSession.h"
#include "core/base/SectorSource.h"

namespace korvane::mount {

class DiscTail final : public SectorSource {
 public:
  // The reads of session's remote disc, an image of bytes bytes in sectorSize-byte sectors.
  DiscTail(DiscSession& session, uint64_t bytes, uint32_t sectorSize)
      : session_(session), partialLsn_(bytes / sectorSize), sectorSize_(sectorSize),
        partial_(bytes % sectorSize != 0) {}

  // Reads sector lsn in mode into into: the partial last one from the tail request, kFailed
  // when the server does not answer it with one whole sector.
  ReadResult Read(uint32_t lsn, int32_t mode, SectorBytes& into) override;

 private:
  // Fetches the partial sector at lsn into tail_; false when it cannot be had.
  bool FetchTail(uint32_t lsn, int32_t mode);

  DiscSession& session_;
  const uint64_t partialLsn_;
  const size_t sectorSize_;
  const bool partial_;
  std::vector<uint8_t> tail_;  // the partial sector and its padding, once fetched
};

}  // namespace korvane::mount
