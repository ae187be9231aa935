// Sequential playback of a whole disc through the plugin's read path (CDVDreadTrack then
// CDVDgetBuffer, natively through the core): from local images, against a baseline that
// reads the same file in large sequential reads and copies each sector once; and from an
// offline replay of a block cache of the same data, against the local image. Prints MB/s
// of sector data delivered, sectors per second, and the ratio to what it is measured by.
//
//   playback_bench [MiB per image (default 640)] [rounds (default 5)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "core/cache/MapFile.h"
#include "core/Plugin.h"
#include "platform/ReadOnlyFile.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::DiscardTrace;

struct Case {
  const char* label;
  std::string path;
  size_t sectorSize;  // of the image
  int32_t mode;
};

std::string MakeImage(const std::filesystem::path& folder, const char* name, size_t sectorSize,
                      uint64_t bytes) {
  std::string path = (folder / name).string();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> sector(sectorSize);
  for (uint64_t lsn = 0; lsn * sectorSize < bytes; ++lsn) {
    for (size_t i = 0; i < sectorSize; i += 64) sector[i] = static_cast<char>(lsn + i);
    out.write(sector.data(), static_cast<std::streamsize>(sectorSize));
  }
  return path;
}

// Seconds to play the whole image (or cache index) through the plugin; checksum keeps the
// reads honest.
double PlayThroughPlugin(const std::string& path, int32_t mode, uint32_t sectors,
                         uint64_t& checksum) {
  DiscardTrace discard;
  auto plugin = std::make_unique<korvane::Plugin>(discard);
  plugin->State().LocalImagePath = path;
  plugin->Open();
  size_t count = korvane::SectorBytesForMode(mode);
  auto start = Clock::now();
  for (uint32_t lsn = 0; lsn < sectors; ++lsn) {
    if (plugin->ReadTrack(lsn, mode) != 0) std::abort();
    const uint8_t* buffer = plugin->GetBuffer();
    checksum += buffer[lsn % count];
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  plugin->Close();
  return seconds;
}

// Seconds to read the image in 4 MiB pieces and copy each sector's bytes once.
double PlayBaseline(const Case& c, uint32_t sectors, uint64_t& checksum) {
  constexpr size_t kChunkSectors = 4 * 1024 * 1024 / 2048;
  korvane::platform::ReadOnlyFile file;
  if (!file.Open(c.path)) std::abort();
  size_t count = korvane::SectorBytesForMode(c.mode);
  size_t skip = c.sectorSize == 2352 && c.mode == korvane::kModeData2048 ? 24 : 0;
  std::vector<uint8_t> chunk(kChunkSectors * c.sectorSize);
  uint8_t sector[2352];
  auto start = Clock::now();
  for (uint32_t first = 0; first < sectors; first += kChunkSectors) {
    uint32_t n = std::min<uint32_t>(kChunkSectors, sectors - first);
    file.ReadAt(uint64_t{first} * c.sectorSize, chunk.data(), n * c.sectorSize);
    for (uint32_t i = 0; i < n; ++i) {
      std::memcpy(sector, chunk.data() + i * c.sectorSize + skip, count);
      checksum += sector[(first + i) % count];
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Writes the block cache of a 2048-byte image as a remote play would leave it: the .Block
// file holds the sectors in order, the .map file one line each. Returns the .map path.
std::string MakeCacheOf(const std::string& iso, uint32_t sectors) {
  std::string block = iso + ".Block", map = iso + ".map";
  std::filesystem::copy_file(iso, block, std::filesystem::copy_options::overwrite_existing);
  std::string text;
  for (uint32_t lsn = 0; lsn < sectors; ++lsn) {
    korvane::AppendMapLine({korvane::kModeData2048, lsn, int64_t{lsn} * 2048}, text);
  }
  std::ofstream(map, std::ios::binary | std::ios::trunc) << text;
  return map;
}

void PrintRow(const char* label, double delivered, uint32_t sectors, double seconds,
              double reference) {
  std::printf("%-34s %12.0f %12.0f %14.0f %8.2f\n", label, delivered / seconds,
              delivered / reference, sectors / seconds, reference / seconds);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 640;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  auto folder = std::filesystem::temp_directory_path() / "korvane-bench";
  std::filesystem::create_directories(folder);
  uint64_t bytes = mib << 20;
  std::string iso = MakeImage(folder, "bench.iso", 2048, bytes);
  std::string raw = MakeImage(folder, "bench.bin", 2352, bytes);
  const Case cases[] = {{"2048-byte image, mode 3", iso, 2048, korvane::kModeData2048},
                        {"2352-byte image, mode 3", raw, 2352, korvane::kModeData2048},
                        {"2352-byte image, mode 0", raw, 2352, korvane::kModeRaw2352}};
  std::printf("reference: large sequential reads of the same file, one copy per sector\n");
  std::printf("%-34s %12s %12s %14s %8s\n", "case", "MB/s", "ref MB/s", "sectors/s", "ratio");
  uint64_t checksum = 0;
  for (const Case& c : cases) {
    auto sectors = static_cast<uint32_t>(bytes / c.sectorSize);
    double plugin = 1e9, baseline = 1e9;
    for (int r = 0; r < rounds; ++r) {  // best of the rounds, alternating, page cache warm
      baseline = std::min(baseline, PlayBaseline(c, sectors, checksum));
      plugin = std::min(plugin, PlayThroughPlugin(c.path, c.mode, sectors, checksum));
    }
    double delivered = double(sectors) * korvane::SectorBytesForMode(c.mode) / 1e6;
    PrintRow(c.label, delivered, sectors, plugin, baseline);
  }
  // Offline replay of the 2048-byte image's cache, measured by the image itself.
  auto sectors = static_cast<uint32_t>(bytes / 2048);
  std::string map = MakeCacheOf(iso, sectors);
  double image = 1e9, replay = 1e9;
  for (int r = 0; r < rounds; ++r) {
    image = std::min(image, PlayThroughPlugin(iso, korvane::kModeData2048, sectors, checksum));
    replay = std::min(replay, PlayThroughPlugin(map, korvane::kModeData2048, sectors, checksum));
  }
  std::printf("\nreference: the local image (%u sectors, mode 3)\n", sectors);
  PrintRow("offline replay of its cache, mode 3", sectors * 2048.0 / 1e6, sectors, replay, image);
  std::filesystem::remove_all(folder);
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(checksum));
  return 0;
}
