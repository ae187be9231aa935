// The discs an offline mount shows: each block cache of a folder, its .map and .Block pair
// as the plugin or the mount wrote it. A disc's file is named after its .map without the
// extension ("game.iso.map" shows as "game.iso"); it is as long as the sectors its index
// reaches, in the sector size of the mode most of its entries were read in (2352 for raw
// reads, 2048 for the rest).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::mount {

struct CachedDisc {
  std::string fileName;
  std::string mapPath;
  uint64_t sectorCount = 0;
  uint32_t sectorSize = 2048;
};

// The caches in folder, sorted by name; false with why when the folder cannot be read.
bool ScanCacheFolder(const std::string& folder, std::vector<CachedDisc>& discs, std::string& why);

}  // namespace korvane::mount
