// The PS2E CDVD plugin interface as both of its sides see it: the exports a host looks up
// by name (each a stdcall function, whose callee removes its argument bytes), the codes
// their answers use, and the records a host passes for the plugin to fill. The plugin's
// exports, the player that drives a plugin as a host does, and the tests of the export
// table all take them from here.
//
// Two kinds of host call the same twenty exports: the older ones call CDVDopen with no
// argument; later ones pass the game's title (4 bytes) and also look up CDVDgetBuffer2,
// which copies the last sector into a buffer of theirs.
#pragma once

#include <cstdint>

namespace korvane::ps2e {

// What PS2EgetLibType answers for a CDVD plugin.
inline constexpr int32_t kLibTypeCdvd = 8;

// What CDVDgetDiskType answers.
inline constexpr uint8_t kDiskTypeNoDisc = 0;
inline constexpr uint8_t kDiskTypePs2Cd = 18;
inline constexpr uint8_t kDiskTypePs2Dvd = 20;

// The type of a data track in a TrackDescriptor.
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

// The twenty exports every host looks up, in this order.
inline constexpr int kExportCount = 20;
inline constexpr const char* kExportNames[kExportCount] = {
    "PS2EgetLibType",    "PS2EgetLibName",  "PS2EgetLibVersion2", "CDVDinit",
    "CDVDopen",          "CDVDclose",       "CDVDshutdown",       "CDVDreadTrack",
    "CDVDgetBuffer",     "CDVDreadSubQ",    "CDVDgetTN",          "CDVDgetTD",
    "CDVDgetTOC",        "CDVDgetDiskType", "CDVDgetTrayStatus",  "CDVDctrlTrayOpen",
    "CDVDctrlTrayClose", "CDVDtest",        "CDVDconfigure",      "CDVDabout"};

// The one more export that a host passing the title to CDVDopen looks up.
inline constexpr const char kTitledHostExport[] = "CDVDgetBuffer2";

}  // namespace korvane::ps2e
