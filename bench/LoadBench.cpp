// The disc server program under many clients on loopback. Each client logs in, chooses the
// disc and reads a range of its own (evenly spread over the disc) as the plugin does, run
// after run, inflating and checking every sector; all start at one moment. Printed per
// case: the total throughput, each client's throughput (slowest, median, fastest and the
// spread between them), the time from the start to a client's first sector, and the
// server's memory: at start, its peak (VmHWM) and at rest once the clients have gone.
// The cases: one client alone (the ceiling of a client), the N clients, and the N clients
// beside K that connect and say nothing and K that stall half way through a request.
//
//   load_bench [clients (default 200)] [sectors per client (default 4096)] [K (default 50)]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "LoadClients.h"
#include "protocol/ClientMessages.h"

namespace {

using korvane::load::PlayPlan;

constexpr uint32_t kDiscSectors = 150000;  // 307 MB

struct Case {
  const char* name;
  int clients;
  int quiet;  // idle clients, and as many stalled ones
};

struct Figures {
  double totalMBs = 0, minMBs = 0, medianMBs = 0, maxMBs = 0;
  double firstMedianMs = 0, firstMaxMs = 0;
  long startKiB = 0, peakKiB = 0, restKiB = 0;
  int failed = 0;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// The quiet clients of a case: half connect and say nothing, half log in and stall in the
// middle of a request.
std::vector<std::unique_ptr<korvane::load::WireConnection>> QuietClients(uint16_t port, int each) {
  std::vector<std::unique_ptr<korvane::load::WireConnection>> quiet;
  std::string error;
  for (int i = 0; i < 2 * each; ++i) {
    auto connection = std::make_unique<korvane::load::WireConnection>();
    // Spread over loopback addresses, as the server caps the connections of one address.
    bool ok = connection->Connect(port, "127.0.0.1", "127.0.3." + std::to_string(1 + i / 50));
    if (ok && i % 2 == 1) {
      ok = korvane::load::LogInAndChoose(*connection, "stall", "x", 0, 10000, error) &&
           connection->Send(korvane::wire::BuildSectorRequest(3, 0).substr(0, 2));
    }
    if (!ok) std::fprintf(stderr, "a quiet client failed: %s\n", error.c_str());
    quiet.push_back(std::move(connection));
  }
  return quiet;
}

void Summarise(const korvane::load::LoadOutcome& outcome, size_t sectorBytes, Figures& figures) {
  std::vector<double> rates, firsts;
  for (const korvane::load::PlayResult& result : outcome.results) {
    if (!result.ok) {
      if (++figures.failed <= 3) std::fprintf(stderr, "client failed: %s\n", result.error.c_str());
      continue;
    }
    rates.push_back(result.MegabytesPerSecond(sectorBytes));
    firsts.push_back(result.secondsToFirst * 1000);
  }
  figures.totalMBs = outcome.seconds > 0 ? outcome.bytes / 1e6 / outcome.seconds : 0;
  if (rates.empty()) return;
  figures.minMBs = *std::min_element(rates.begin(), rates.end());
  figures.maxMBs = *std::max_element(rates.begin(), rates.end());
  figures.medianMBs = Median(rates);
  figures.firstMedianMs = Median(firsts);
  figures.firstMaxMs = *std::max_element(firsts.begin(), firsts.end());
}

Figures Run(const Case& load, const bench::Disc& disc, const uint8_t* image, uint32_t perClient) {
  korvane::load::ServerProcess server;
  std::string error;
  if (!server.Start(KORVANE_SERVER_PROGRAM, {"--folder", disc.folder, "--allow-anyone"}, {},
                    error)) {
    std::fprintf(stderr, "server: %s\n", error.c_str());
    std::exit(1);
  }
  Figures figures;
  figures.startKiB = server.MemoryKiB("VmRSS");
  auto quiet = QuietClients(server.Port(), load.quiet);
  const uint32_t step = (disc.sectors - perClient) / std::max(1, load.clients);
  std::vector<PlayPlan> plans;
  for (int i = 0; i < load.clients; ++i) plans.push_back({0, 3, i * step, perClient, 2048});
  korvane::load::LoadSettings settings;
  settings.port = server.Port();
  const auto outcome = korvane::load::PlayAll(
      settings, plans, [&](const PlayPlan&, uint32_t lsn, const uint8_t* bytes, size_t size) {
        return (uint64_t{lsn} * 2048 + size <= uint64_t{disc.sectors} * 2048) &&
               std::memcmp(image + uint64_t{lsn} * 2048, bytes, size) == 0;
      });
  Summarise(outcome, 2048, figures);
  figures.peakKiB = server.MemoryKiB("VmHWM");
  quiet.clear();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // every session closes
  figures.restKiB = server.MemoryKiB("VmRSS");
  if (!server.Stop(10000)) {
    std::fprintf(stderr, "the server did not stop cleanly\n");
    ++figures.failed;
  }
  return figures;
}

void Print(const Case& load, const Figures& f) {
  std::printf("%-36s %8.0f %8.1f %8.1f %8.1f %6.1f %8.1f %7.1f %7.1f %7.1f %7.1f%s\n", load.name,
              f.totalMBs, f.minMBs, f.medianMBs, f.maxMBs, f.minMBs > 0 ? f.maxMBs / f.minMBs : 0,
              f.firstMedianMs, f.firstMaxMs, f.startKiB / 1024.0, f.peakKiB / 1024.0,
              f.restKiB / 1024.0, f.failed ? "  FAILED CLIENTS" : "");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::atoi(argv[1]) : 200;
  const auto perClient =
      static_cast<uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4096);
  const int quiet = argc > 3 ? std::atoi(argv[3]) : 50;
  if (clients < 1 || perClient < 1 || perClient > kDiscSectors || quiet < 0) {
    std::fprintf(stderr, "usage: load_bench [clients] [sectors per client] [K]\n");
    return 2;
  }
  bench::WorkFolder work("korvane-load-bench");
  const bench::Disc disc = bench::MakeDisc(work.Path(), kDiscSectors);
  const bench::MappedImage mapped(disc);
  if (!mapped.Data()) {
    std::fprintf(stderr, "cannot map %s\n", disc.image.c_str());
    return 1;
  }
  std::printf(
      "each client reads %u sectors (%.1f MB) in mode 3 from its own place on a %.0f MB "
      "disc;\nruns at the server's defaults (level auto: stored on loopback, 16 to 1024 "
      "sectors), one thread per processor;\nthe clients, which inflate and check every "
      "sector, share the machine with it\n\n",
      perClient, perClient * 2048 / 1e6, disc.sectors * 2048.0 / 1e6);
  std::printf("%-36s %8s %34s %16s %24s\n", "", "total", "client MB/s and max/min",
              "first sector ms", "server memory MiB");
  std::printf("%-36s %8s %8s %8s %8s %6s %8s %7s %7s %7s %7s\n", "case", "MB/s", "min", "median",
              "max", "spread", "median", "max", "start", "peak", "rest");
  const std::string many = std::to_string(clients) + " clients";
  const std::string beside =
      many + " + " + std::to_string(quiet) + " idle + " + std::to_string(quiet) + " stalled";
  int failed = 0;
  for (const Case& load : {Case{"1 client", 1, 0}, Case{many.c_str(), clients, 0},
                           Case{beside.c_str(), clients, quiet}}) {
    const Figures figures = Run(load, disc, mapped.Data(), perClient);
    Print(load, figures);
    failed += figures.failed;
  }
  return failed == 0 ? 0 : 1;
}
