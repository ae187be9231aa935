// What the plugin tells the host about itself through the identity queries, and the PS2E
// codes that its answers use.
#pragma once

#include <cstdint>

namespace korvane {

inline constexpr int32_t kLibraryType = 8;  // the PS2E library type of a CDVD plugin
inline constexpr char kLibraryName[] = "Korvane CDVD Plugin 0.5.9.1A Alpha";
inline constexpr int32_t kLibraryVersion = 0x00050008;
inline constexpr char kLibraryFileName[] = "KorvaneCDVD.dll";

// The same plugin for hosts whose CDVDopen passes the game's title: its name carries a
// suffix so that a host's plugin list tells the two apart.
inline constexpr char kTitledLibraryName[] = "Korvane CDVD Plugin 0.5.9.1A Alpha (titled)";
inline constexpr char kTitledLibraryFileName[] = "KorvaneCDVD-titled.dll";

inline constexpr uint8_t kDiskTypeNoDisc = 0;
inline constexpr uint8_t kDiskTypePs2Cd = 18;
inline constexpr uint8_t kDiskTypePs2Dvd = 20;

inline constexpr uint8_t kTrackTypeMode1Data = 0x41;

// The host's record for CDVDgetTN: first and last track number.
struct TrackNumbers {
  uint8_t strack;
  uint8_t etrack;
};

// The host's record for CDVDgetTD: start sector and type of one track.
struct TrackDescriptor {
  uint32_t lsn;
  uint8_t type;
};

}  // namespace korvane
