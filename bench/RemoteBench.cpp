// Remote play through the plugin's read path against the real disc server in the same
// process, on loopback:
//   - cold play of a whole disc (mode 3) per zlib level, cache files written, against a
//     plain TCP transfer of the same bytes into a file (the floor);
//   - warm replay of the same disc from its cache, against local image playback;
//   - with a simulated round trip (the server delays each reply), sequential and random
//     reads, showing what the growing run length buys and what random reads pay;
//   - the processor time a read uses while it waits for a silent server.
//
//   remote_bench [sectors (default 300000)] [round trip ms (default 50)]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "core/Plugin.h"
#include "platform/FileSystem.h"
#include "server/DiscServer.h"

namespace {

using bench::Since;
using Clock = std::chrono::steady_clock;

struct Remote {
  std::unique_ptr<korvane::server::DiscServer> server;
  std::unique_ptr<korvane::Plugin> plugin;
};

// A server for folder and a plugin whose link is connected to it, disc 0 chosen.
Remote Connect(const std::string& folder, int level, uint32_t delayMs, bench::DiscardTrace& trace) {
  Remote r;
  korvane::server::ServerConfig config;
  config.folder = folder;
  config.bindAddress = "127.0.0.1";
  config.port = 0;
  config.allowAnyone = true;
  config.quiet = true;
  config.level = level;
  config.delayMs = delayMs;
  config.messageGapMs = 60;  // greeting, list and prompt in batches of their own
  r.server = std::make_unique<korvane::server::DiscServer>(config);
  std::string error;
  if (!r.server->Start(error)) {
    std::fprintf(stderr, "server: %s\n", error.c_str());
    std::exit(1);
  }
  r.plugin = bench::RemotePlugin(r.server->Port(), trace);
  return r;
}

// Seconds to read the LSNs in order; aborts on a failed read.
double Play(korvane::Plugin& plugin, const std::vector<uint32_t>& lsns) {
  auto start = Clock::now();
  for (uint32_t lsn : lsns) {
    if (plugin.ReadTrack(lsn, korvane::kModeData2048) != 0 || !plugin.GetBuffer()) {
      std::fprintf(stderr, "read of %u failed\n", lsn);
      std::exit(1);
    }
  }
  return Since(start);
}

std::vector<uint32_t> Sequential(uint32_t count) {
  std::vector<uint32_t> lsns(count);
  for (uint32_t i = 0; i < count; ++i) lsns[i] = i;
  return lsns;
}

void ColdAndWarm(const bench::Disc& disc, uint32_t sectors, double floorMBs) {
  double mb = sectors * 2048.0 / 1e6;
  bench::DiscardTrace trace;
  double local = bench::PlayLocal(disc.image, sectors);
  std::printf("\n%-44s %10s %8s\n", "loopback, cold play with the cache written", "MB/s", "÷floor");
  for (int level : {korvane::server::kLevelAuto, 0, 1, 6}) {
    std::filesystem::remove_all("Games");
    Remote r = Connect(disc.folder, level, 0, trace);
    double seconds = Play(*r.plugin, Sequential(sectors));
    std::string name = level == korvane::server::kLevelAuto ? "auto" : std::to_string(level);
    std::printf("  zlib level %-4s%29s %10.0f %8.2f\n", name.c_str(), "", mb / seconds,
                mb / seconds / floorMBs);
    r.plugin.reset();
    r.server->Stop();
  }
  korvane::Plugin warm(trace);
  warm.State().LocalImagePath = "Games\\disc.iso.map";
  warm.Open();
  double replay = Play(warm, Sequential(sectors));
  std::printf("\nwarm replay of its cache: %.0f MB/s; local image: %.0f MB/s; ratio %.2f\n",
              mb / replay, mb / local, local / replay);
}

void WithRoundTrip(const bench::Disc& disc, uint32_t sectors, uint32_t rttMs) {
  bench::DiscardTrace trace;
  std::filesystem::remove_all("Games");
  Remote r = Connect(disc.folder, 1, rttMs, trace);
  double seconds = Play(*r.plugin, Sequential(sectors));
  std::printf("\nround trip %u ms, cold sequential play of %u sectors: %.1f MB/s\n", rttMs, sectors,
              sectors * 2048.0 / 1e6 / seconds);
  std::mt19937 random(7);
  std::vector<uint32_t> lsns(100);
  for (uint32_t& lsn : lsns) lsn = sectors + random() % (disc.sectors - sectors - 2048);
  size_t before = r.plugin->Cache().Index().Count();
  seconds = Play(*r.plugin, lsns);
  double perRead = double(r.plugin->Cache().Index().Count() - before) / lsns.size();
  std::printf("round trip %u ms, 100 random reads: %.1f ms each, %.0f sectors fetched per read\n",
              rttMs, seconds * 1000 / lsns.size(), perRead);
  r.plugin.reset();
  r.server->Stop();
}

void CpuWhileWaiting(const bench::Disc& disc) {
  bench::DiscardTrace trace;
  Remote r = Connect(disc.folder, 1, 1500, trace);  // each reply takes 1.5 s
  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  auto start = Clock::now();
  r.plugin->ReadTrack(disc.sectors - 1, korvane::kModeData2048);
  double wall = Since(start);
  getrusage(RUSAGE_THREAD, &after);
  double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
               (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6 +
               (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
               (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
  std::printf("\na read waiting %.2f s for the server used %.1f ms of processor time\n", wall,
              cpu * 1000);
  r.plugin.reset();
  r.server->Stop();
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t sectors = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 300000;
  uint32_t rttMs = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 50;
  bench::WorkFolder work("korvane-remote-bench");
  bench::Disc disc = bench::MakeDisc(work.Path(), sectors + 40000);
  double floorMBs = bench::PlainTcpTransfer(disc.image, uint64_t{sectors} * 2048);
  std::printf("plain TCP transfer of the same %u sectors into a file: %.0f MB/s (the floor)\n",
              sectors, floorMBs);
  ColdAndWarm(disc, sectors, floorMBs);
  WithRoundTrip(disc, std::min<uint32_t>(sectors, 100000), rttMs);
  CpuWhileWaiting(disc);
  return 0;
}
