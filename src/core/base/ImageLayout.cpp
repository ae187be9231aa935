// Sector geometry of the read modes.
#include "core/base/ImageLayout.h"

namespace korvane {

bool GeometryFor(int32_t mode, int32_t sectorSize, SectorGeometry& out) {
  switch (mode) {
    case 0:
      out = {2352, 0, 2352};
      return true;
    case 1:
      out = {2352, 12, 2340};
      return true;
    case 3:
      if (sectorSize == 2048) {
        out = {2048, 0, 2048};
        return true;
      }
      if (sectorSize == 2352) {
        out = {2352, 24, 2048};
        return true;
      }
      return false;
    default:
      return false;
  }
}

}  // namespace korvane
