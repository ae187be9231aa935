// The PS2E read modes: how many bytes of a sector the host wants, and what each is called
// in trace lines. Modes 2 and 4 are known but served by no file source.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

inline constexpr int32_t kModeRaw2352 = 0;   // CDVD_MODE_2352: the whole raw sector
inline constexpr int32_t kModeRaw2340 = 1;   // CDVD_MODE_2340: raw sector without sync bytes
inline constexpr int32_t kMode2328 = 2;      // CDVD_MODE_2328: never served from a file
inline constexpr int32_t kModeData2048 = 3;  // CDVD_MODE_2048: user data only
inline constexpr int32_t kMode2368 = 4;      // CDVD_MODE_2368: never served from a file

inline constexpr size_t kRawSectorSize = 2352;
inline constexpr size_t kDataSectorSize = 2048;

// Bytes a file source places in the sector buffer for mode: 2352, 2340 or 2048, or 0 for
// every mode that no file source serves.
constexpr size_t SectorBytesForMode(int32_t mode) {
  switch (mode) {
    case kModeRaw2352:
      return 2352;
    case kModeRaw2340:
      return 2340;
    case kModeData2048:
      return 2048;
    default:
      return 0;
  }
}

// The PS2E name of an unsupported known mode ("CDVD_MODE_2328" or "CDVD_MODE_2368"), or
// nullptr for every other mode, which is refused without a trace.
constexpr const char* UnsupportedModeName(int32_t mode) {
  if (mode == kMode2328) return "CDVD_MODE_2328";
  if (mode == kMode2368) return "CDVD_MODE_2368";
  return nullptr;
}

}  // namespace korvane
