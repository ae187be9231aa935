// Where the sectors of each read mode lie in a disc image of 2048- or 2352-byte sectors:
// the byte offset of LSN n is n * stride + skip, and a read of the mode takes count bytes
// there. Modes 0 and 1 address the file as 2352-byte sectors whatever the image holds.
//
//   mode 0: stride 2352, skip 0,  count 2352
//   mode 1: stride 2352, skip 12, count 2340
//   mode 3: stride 2048, skip 0,  count 2048 on a 2048-byte image
//           stride 2352, skip 24, count 2048 on a 2352-byte image
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

struct SectorGeometry {
  uint64_t stride;
  uint64_t skip;
  size_t count;
};

// The geometry of mode on an image of sectorSize-byte sectors; false for modes other than
// 0, 1 and 3, and for mode 3 on an image of neither size.
bool GeometryFor(int32_t mode, int32_t sectorSize, SectorGeometry& out);

// The sector size of an image from its first 11 bytes: 2352 when byte 0 is 0x00 and bytes
// 1 and 10 are 0xFF (the start of the CD sync pattern), otherwise 2048.
inline int32_t SectorSizeFromProbe(const uint8_t* first11) {
  return (first11[0] == 0x00 && first11[1] == 0xFF && first11[10] == 0xFF) ? 2352 : 2048;
}

}  // namespace korvane
