// The cache consistency check: the files against the image, then the plugin's own offline
// replay against the image.
#include "CacheConsistency.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "ChildProcess.h"
#include "core/base/ImageLayout.h"
#include "core/cache/MapFile.h"
#include "core/Plugin.h"
#include "core/base/ReadMode.h"

namespace korvane::test {

namespace {

struct Image {
  std::string bytes;
  int32_t sectorSize = 2048;
};

Image LoadImage(const std::string& path) {
  Image image;
  image.bytes = ReadWholeFile(path);
  if (image.bytes.size() >= 11) {
    image.sectorSize = SectorSizeFromProbe(reinterpret_cast<const uint8_t*>(image.bytes.data()));
  }
  return image;
}

// The server serves whole sectors only: one that runs past the end of the image is none.
std::vector<uint8_t> SectorOf(const Image& image, uint32_t lsn, int32_t mode) {
  SectorGeometry at{};
  if (!GeometryFor(mode, image.sectorSize, at)) return {};
  uint64_t start = lsn * at.stride + at.skip;
  if (start + at.count > image.bytes.size()) return {};
  auto first = image.bytes.begin() + static_cast<std::ptrdiff_t>(start);
  return std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(at.count));
}

// Why an entry is wrong, or "" when it holds exactly the server's sector.
std::string EntryFault(const CacheEntry& entry, const std::string& block, const Image& image) {
  std::vector<uint8_t> expected = SectorOf(image, entry.lsn, entry.mode);
  if (expected.empty()) return "the server never sends such a sector";
  if (static_cast<uint64_t>(entry.offset) + expected.size() > block.size()) {
    return "names bytes past the end of the .Block (" + std::to_string(block.size()) + " bytes)";
  }
  if (std::memcmp(block.data() + entry.offset, expected.data(), expected.size()) != 0) {
    return "holds other bytes than the server sent";
  }
  return std::string();
}

std::string Describe(const CacheEntry& entry) {
  return std::to_string(entry.lsn) + "/" + std::to_string(entry.mode) + "/" +
         std::to_string(entry.offset);
}

// A fresh plugin replays the cache offline, as a host given the .map would: it must load
// as many entries and hand the host every indexed sector as the server sent it.
void ExpectReplayServesIndex(const std::string& mapPath, const CacheIndex& index,
                             const Image& image) {
  CapturedTrace trace;
  Plugin plugin(trace);
  plugin.State().LocalImagePath = mapPath;
  plugin.Open();
  ASSERT_EQ(plugin.Cache().Index().Count(), index.Count()) << trace.Text();
  size_t wrong = 0;
  for (size_t n = 1; n <= index.Count(); ++n) {
    const CacheEntry& entry = index.At(n);
    if (index.Find(entry.lsn, entry.mode) != n) continue;  // a later duplicate is never read
    std::vector<uint8_t> expected = SectorOf(image, entry.lsn, entry.mode);
    bool served =
        plugin.ReadTrack(entry.lsn, entry.mode) == 0 &&
        std::memcmp(plugin.State().SectorBuffer.Data(), expected.data(), expected.size()) == 0;
    if (!served && ++wrong <= 5) ADD_FAILURE() << "replay of " << Describe(entry) << " is wrong";
  }
  EXPECT_EQ(wrong, 0u) << "sectors the offline replay served wrongly";
}

// A reader that takes the format to the letter reads exactly the complete lines the
// plugin's loader reads, whatever crash or cut the file went through. A file whose line
// ends another tool changed (an LF or a CR alone) is held to the loader's rules only.
void ExpectStrictReadersAgree(const std::string& map, const std::string& discFile) {
  for (size_t i = 0; i + 1 < map.size(); ++i) {
    if ((map[i] == '\r') != (map[i + 1] == '\n') || (i == 0 && map[0] == '\n')) return;
  }
  std::vector<CacheEntry> strict, tolerant;
  EXPECT_TRUE(StrictMapRead(map, strict)) << discFile << ".map fails a to-the-letter reader";
  MapParser parser;
  size_t complete = map.rfind("\r\n");
  complete = complete == std::string::npos ? 0 : complete + 2;
  for (size_t i = 0; i < complete; ++i) {
    if (parser.Feed(map[i]) == MapParser::Step::kComplete) tolerant.push_back(parser.Entry());
  }
  bool same = strict.size() == tolerant.size();
  for (size_t i = 0; same && i < strict.size(); ++i) {
    same = strict[i].lsn == tolerant[i].lsn && strict[i].mode == tolerant[i].mode &&
           strict[i].offset == tolerant[i].offset;
  }
  EXPECT_TRUE(same) << discFile << ".map: " << strict.size() << " entries to the letter, "
                    << tolerant.size() << " complete lines";
}

}  // namespace

std::vector<uint8_t> ImageSector(const std::string& imagePath, uint32_t lsn, int32_t mode) {
  std::ifstream in(imagePath, std::ios::binary | std::ios::ate);
  uint64_t size = in ? static_cast<uint64_t>(in.tellg()) : 0;
  uint8_t probe[11] = {};
  in.seekg(0);
  in.read(reinterpret_cast<char*>(probe), sizeof probe);
  SectorGeometry at{};
  if (!in || !GeometryFor(mode, SectorSizeFromProbe(probe), at)) return {};
  uint64_t start = lsn * at.stride + at.skip;
  if (start + at.count > size) return {};
  std::vector<uint8_t> sector(at.count);
  in.seekg(static_cast<std::streamoff>(start));
  in.read(reinterpret_cast<char*>(sector.data()), static_cast<std::streamsize>(at.count));
  return sector;
}

CacheReport ExpectConsistentCache(const std::string& gamesFolder, const std::string& discFile,
                                  const std::string& imagePath) {
  namespace fs = std::filesystem;
  CacheReport report;
  std::string mapPath = (fs::path(gamesFolder) / (discFile + ".map")).string();
  std::string blockPath = (fs::path(gamesFolder) / (discFile + ".Block")).string();
  std::error_code error;
  if (fs::is_regular_file(blockPath, error)) {
    report.blockBytes = static_cast<int64_t>(fs::file_size(blockPath, error));
  }
  CacheIndex index;
  MapLoadResult loaded = LoadMapFile(mapPath, report.blockBytes, index);
  ExpectStrictReadersAgree(ReadWholeFile(mapPath), discFile);
  report.mapExists = loaded.opened;
  report.entries = loaded.entries;
  report.skipped = loaded.skipped;
  report.tornLastLine = loaded.tornLastLine;
  if (index.Count() == 0) return report;

  std::string block = ReadWholeFile(blockPath);
  Image image = LoadImage(imagePath);
  size_t faults = 0;
  for (size_t n = 1; n <= index.Count(); ++n) {
    std::string why = EntryFault(index.At(n), block, image);
    if (!why.empty() && ++faults <= 5) {
      ADD_FAILURE() << discFile << ".map line " << n << " (" << Describe(index.At(n))
                    << "): " << why;
    }
  }
  EXPECT_EQ(faults, 0u) << "wrong entries in the cache of " << discFile << " (of " << index.Count()
                        << ")";
  // The replay finds the .Block by cutting the path at its first ".map"; a disc whose own
  // name holds ".map" is replayed from another file by design, so it is left out here.
  if (discFile.find(".map") == std::string::npos) ExpectReplayServesIndex(mapPath, index, image);
  return report;
}

}  // namespace korvane::test
