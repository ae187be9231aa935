// ISO 9660 as the player reads it through a plugin: the primary volume descriptor at LSN
// 16 and the root directory it points to.
//
//   descriptor (2048 bytes): 0 type (1), 1-5 "CD001", 40-71 volume name (blank-padded),
//     156-189 the root directory's record
//   directory record: 0 length, 2-5 extent LSN (little-endian), 10-13 data length,
//     25 flags (0x02: a directory), 32 name length, 33- name ("\0" is ".", "\1" is "..")
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace player {

struct DirectoryEntry {
  std::string name;
  uint32_t lsn;
  uint32_t size;
  bool directory;
};

struct IsoVolume {
  bool valid = false;  // LSN 16 holds a primary volume descriptor
  std::string name;
  std::vector<DirectoryEntry> root;
};

// Reads 2048 bytes of user data of a sector into dest; false when it cannot.
using SectorReader = std::function<bool(uint32_t lsn, uint8_t* dest)>;

// Reads the volume descriptor and the root directory (at most 64 sectors of it).
IsoVolume ReadIsoVolume(const SectorReader& read);

}  // namespace player
