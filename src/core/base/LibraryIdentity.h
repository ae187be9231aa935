// What the plugin tells the host about itself through the identity queries, and the PS2E
// codes and records that its answers use (defined with the interface, in ps2e/).
#pragma once

#include <cstdint>

#include "ps2e/CdvdInterface.h"

namespace korvane {

inline constexpr int32_t kLibraryType = ps2e::kLibTypeCdvd;
inline constexpr char kLibraryName[] = "Korvane CDVD Plugin 0.5.9.1A Alpha";
inline constexpr int32_t kLibraryVersion = 0x00050008;
inline constexpr char kLibraryFileName[] = "KorvaneCDVD.dll";

// The same plugin for hosts whose CDVDopen passes the game's title: its name carries a
// suffix so that a host's plugin list tells the two apart.
inline constexpr char kTitledLibraryName[] = "Korvane CDVD Plugin 0.5.9.1A Alpha (titled)";
inline constexpr char kTitledLibraryFileName[] = "KorvaneCDVD-titled.dll";

// The PS2E codes and records the plugin's answers use.
using ps2e::kDiskTypeNoDisc;
using ps2e::kDiskTypePs2Cd;
using ps2e::kDiskTypePs2Dvd;
using ps2e::kTrackTypeMode1Data;
using ps2e::TrackDescriptor;
using ps2e::TrackNumbers;

}  // namespace korvane
