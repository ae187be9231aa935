// The block cache's own costs: appending a disc as the remote fetch does (runs of sectors,
// two opens per run), and loading a DVD-sized .map index (time and memory).
//
//   cache_bench [index lines (default 4200000)] [run length in sectors (default 16)]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "core/cache/MapFile.h"
#include "core/Plugin.h"
#include "platform/FileSystem.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::DiscardTrace;

using bench::Since;

// Resident memory of the process in bytes.
long ResidentBytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * 4096;
}

void BenchAppends(korvane::Plugin& plugin, uint32_t sectors, uint32_t run) {
  plugin.State().SelectedDiscName = "append.iso";
  std::vector<uint8_t> payload(size_t{run} * 2048, 0x5A);
  auto start = Clock::now();
  for (uint32_t lsn = 0; lsn < sectors; lsn += run) {
    plugin.RemoteStore().Append(lsn, korvane::kModeData2048, payload.data(), payload.size(), 2048);
  }
  double seconds = Since(start);
  std::printf("append %u sectors in runs of %u: %.2f s, %.0f MB/s, %.0f sectors/s\n", sectors, run,
              seconds, sectors * 2048.0 / 1e6 / seconds, sectors / seconds);
}

void BenchMapLoad(korvane::Plugin& plugin, uint32_t lines) {
  std::string text;
  for (uint32_t i = 0; i < lines; ++i) {
    korvane::AppendMapLine({korvane::kModeData2048, i, int64_t{i} * 2048}, text);
  }
  std::ofstream("Games/dvd.iso.map", std::ios::binary | std::ios::trunc) << text;
  text = std::string();
  // The loader keeps only entries whose bytes the .Block holds: a sparse one of the whole
  // size costs no disk.
  std::ofstream("Games/dvd.iso.Block", std::ios::binary | std::ios::trunc);
  std::filesystem::resize_file("Games/dvd.iso.Block", uint64_t{lines} * 2048);
  plugin.State().RemoteMode = true;
  plugin.State().SelectedDiscName = "dvd.iso";
  long before = ResidentBytes();
  auto start = Clock::now();
  std::clock_t cpuStart = std::clock();
  plugin.Open();
  double seconds = Since(start);
  double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  long grown = ResidentBytes() - before;
  const size_t count = plugin.Cache().Index().Count();
  const double bytes = double(plugin.Cache().Index().MemoryBytes());
  std::printf("load a %u-line .map: %.2f s (%.2f s of CPU), %.1f million lines/s\n", lines, seconds,
              cpu, lines / seconds / 1e6);
  std::printf("index memory: %.1f MiB, %.1f bytes per entry of %zu (resident growth %.1f MiB)\n",
              bytes / 1048576.0, bytes / count, count, grown / 1048576.0);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t lines = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 4200000;
  uint32_t run = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 16;
  auto folder = std::filesystem::temp_directory_path() / "korvane-cache-bench";
  std::filesystem::create_directories(folder);
  std::string previous = korvane::platform::GetWorkingDirectory();
  korvane::platform::SetWorkingDirectory(folder.string());
  {
    DiscardTrace discard;
    auto plugin = std::make_unique<korvane::Plugin>(discard);
    BenchAppends(*plugin, 131072, run);
    BenchMapLoad(*plugin, lines);
  }
  korvane::platform::SetWorkingDirectory(previous);
  std::filesystem::remove_all(folder);
  return 0;
}
