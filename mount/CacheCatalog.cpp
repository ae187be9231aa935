// Finding the caches of a folder and measuring each from its index.
#include "mount/CacheCatalog.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "core/cache/BlockCache.h"
#include "core/cache/CacheIndex.h"
#include "core/cache/MapFile.h"
#include "platform/FileSystem.h"

namespace korvane::mount {

namespace {

// The sector size of the mode most entries hold: raw reads (mode 0) store 2352 bytes.
uint32_t SectorSizeOf(const CacheIndex& index) {
  std::map<int32_t, size_t> byMode;
  for (size_t number = 1; number <= index.Count(); ++number) ++byMode[index.At(number).mode];
  if (byMode.empty()) return 2048;
  auto most = std::max_element(byMode.begin(), byMode.end(),
                               [](const auto& a, const auto& b) { return a.second < b.second; });
  return most->first == 0 ? 2352 : 2048;
}

}  // namespace

bool ScanCacheFolder(const std::string& folder, std::vector<CachedDisc>& discs, std::string& why) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  if (error) {
    why = "cannot read the cache folder " + folder + ": " + error.message();
    return false;
  }
  for (const fs::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".map") != 0) continue;
    if (!entry.is_regular_file(error)) continue;
    CachedDisc disc;
    disc.fileName = name.substr(0, name.size() - 4);
    disc.mapPath = entry.path().string();
    CacheIndex index;
    LoadMapFile(disc.mapPath, platform::FileSize(BlockCache::OfflineBlockPath(disc.mapPath)),
                index);
    disc.sectorCount = index.LsnEnd();
    disc.sectorSize = SectorSizeOf(index);
    discs.push_back(std::move(disc));
  }
  std::sort(discs.begin(), discs.end(),
            [](const CachedDisc& a, const CachedDisc& b) { return a.fileName < b.fileName; });
  return true;
}

}  // namespace korvane::mount
