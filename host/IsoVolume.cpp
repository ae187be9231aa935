// ISO 9660 volume descriptor and root directory.
#include "IsoVolume.h"

#include <algorithm>
#include <cstring>

namespace player {

namespace {
uint32_t Le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Adds the records of one directory sector to entries.
void ReadDirectorySector(const uint8_t* sector, std::vector<DirectoryEntry>& entries) {
  for (size_t at = 0; at < 2048;) {
    uint8_t length = sector[at];
    if (length == 0 || at + length > 2048 || length < 34) break;  // the rest is padding
    const uint8_t* record = sector + at;
    uint8_t nameLength = record[32];
    if (33 + nameLength <= length) {
      std::string name(reinterpret_cast<const char*>(record + 33), nameLength);
      if (name == std::string(1, '\0')) name = ".";
      if (name == std::string(1, '\1')) name = "..";
      size_t version = name.find(';');
      if (version != std::string::npos) name.resize(version);
      entries.push_back({name, Le32(record + 2), Le32(record + 10), (record[25] & 0x02) != 0});
    }
    at += length;
  }
}
}  // namespace

IsoVolume ReadIsoVolume(const SectorReader& read) {
  IsoVolume volume;
  uint8_t sector[2048];
  if (!read(16, sector) || sector[0] != 1 || std::memcmp(sector + 1, "CD001", 5) != 0) {
    return volume;
  }
  volume.valid = true;
  volume.name.assign(reinterpret_cast<const char*>(sector + 40), 32);
  volume.name.erase(volume.name.find_last_not_of(' ') + 1);
  uint32_t extent = Le32(sector + 156 + 2);
  uint32_t sectors = std::min<uint32_t>((Le32(sector + 156 + 10) + 2047) / 2048, 64);
  for (uint32_t i = 0; i < sectors; ++i) {
    if (!read(extent + i, sector)) break;
    ReadDirectorySector(sector, volume.root);
  }
  return volume;
}

}  // namespace player
