// The check that ends every fault test: whatever a fault did, the block cache it left must
// hold only the truth. The disc's .map is loaded the way the plugin loads it; every line
// the loader accepts must name bytes that exist in the .Block, and those bytes must be
// exactly the sector the disc server sent for that LSN and mode, taken from the image the
// server serves through the same sector layout. The plugin itself then replays the cache
// offline and must hand every indexed sector to the host unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::test {

// What a cache's files held when they were checked.
struct CacheReport {
  bool mapExists = false;
  size_t entries = 0;         // lines the loader accepted
  size_t skipped = 0;         // malformed lines
  bool tornLastLine = false;  // bytes follow the .map's last CR LF
  int64_t blockBytes = -1;    // size of the .Block, -1 when there is none
};

// Checks the cache of discFile (the disc's file name in the games folder) in gamesFolder
// against the image at imagePath, and its .map with a reader that takes the format to the
// letter; every fault found is a test failure. Returns what was
// found, for the test's own expectations.
CacheReport ExpectConsistentCache(const std::string& gamesFolder, const std::string& discFile,
                                  const std::string& imagePath);

// The bytes a request for lsn in mode gets from the image at imagePath, as the disc server
// reads them (empty when the image has no such sector).
std::vector<uint8_t> ImageSector(const std::string& imagePath, uint32_t lsn, int32_t mode);

}  // namespace korvane::test
