// The disc server's sector runs on typical game data (bench::MakeDisc):
//   - how fast the server makes runs at each compression level, in processor time of the
//     thread that makes them (the machine may be shared), and what compression saves; the
//     rate at level 1 is what the server's choice of stored runs for fast links rests on;
//   - the runs and level a sequential reader settles on, on links of a given round trip and
//     rate, with the server's own run policy and link timing and its real run bytes; the link
//     is played (each reply takes the round trip plus its bytes at the rate), not shaped.
//
//   runs_bench
#include <ctime>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "server/DiscCatalog.h"
#include "server/LinkRate.h"
#include "server/PeerAddress.h"
#include "server/SectorReplies.h"
#include "server/ServerOptions.h"

namespace {

using korvane::server::DiscImage;
using korvane::server::LinkRate;
using korvane::server::ReplySettings;

constexpr uint32_t kDiscSectors = 65536;  // 128 MiB

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The bytes of the reply to a request for a run of length sectors from lsn at level.
size_t RunBytes(const DiscImage& disc, uint32_t lsn, uint32_t length, int level) {
  std::vector<uint8_t> reply;
  uint32_t sectors = 0;
  korvane::server::MakeSectorReply(&disc, 3, lsn, length, ReplySettings{level, false},
                                   korvane::server::StopFlags{}, reply, sectors);
  return reply.size();
}

// Makes the whole disc in runs of length sectors at level: MB/s of sectors taken in per
// second of processor time, and reply bytes per sector byte.
void Compressor(const DiscImage& disc, uint32_t length, int level) {
  double best = 0, ratio = 0;
  for (int round = 0; round < 3; ++round) {
    uint64_t bytes = 0;
    const double start = ThreadSeconds();
    for (uint32_t lsn = 0; lsn + length <= kDiscSectors; lsn += length)
      bytes += RunBytes(disc, lsn, length, level);
    const double seconds = ThreadSeconds() - start;
    const double in = double{kDiscSectors} / length * length * 2048;
    best = std::max(best, in / 1e6 / seconds);
    ratio = static_cast<double>(bytes) / in;
  }
  std::printf("  level %d, runs of %4u sectors  %8.0f  %6.3f\n", level, length, best, ratio);
}

struct Reading {
  uint32_t sectors = 0;  // in the last run
  double runKb = 0;      // the last run's reply
  double stallMs = 0;    // from its request to its last byte
  int level = 0;
  double seenMBs = 0;  // the link's rate as the server timed it
  double readMBs = 0;  // sectors a second over the last ten runs
};

// A point of the played link's clock, at seconds.
LinkRate::Clock::time_point At(double seconds) {
  return LinkRate::Clock::time_point(std::chrono::duration_cast<LinkRate::Clock::duration>(
      std::chrono::duration<double>(seconds)));
}

// A sequential reader of 40 runs on a link of round trip rtt and rate bytes a second, timed
// as a session times it: a request comes, gets its run, the run leaves and sets the limit
// and level of the runs after it. Each run is made ahead from when the one before leaves, so
// it leaves at its request or once made, whichever is later. Unsized, runs grow to the
// maximum at level 1, as they did before links were timed.
Reading Play(const DiscImage& disc, double rtt, double rate, bool sized) {
  const korvane::server::ServerConfig defaults;
  const asio::ip::address remote = asio::ip::make_address("192.0.2.7");
  korvane::server::RunPolicy policy(defaults.runMin, defaults.runMax);
  LinkRate link;
  Reading reading;
  reading.level = 1;
  uint32_t lsn = 0;
  double asked = 0, left = 0, payload = 0, from = 0;
  for (int run = 0; run < 40; ++run) {
    reading.sectors = policy.LengthFor(3, lsn);
    const double making = ThreadSeconds();
    const size_t bytes = RunBytes(disc, lsn, reading.sectors, reading.level);
    left = std::max(asked, left + ThreadSeconds() - making);
    policy.Served(3, lsn, reading.sectors);
    link.Sending(At(left), bytes, reading.sectors);
    if (sized) {
      policy.Limit(link.RunSectors());
      reading.level = korvane::server::RunLevelFor(defaults.level, remote, link.BytesPerSecond());
    }
    const double next = left + rtt + static_cast<double>(bytes) / rate;
    reading.stallMs = (next - asked) * 1e3;
    reading.runKb = static_cast<double>(bytes) / 1e3;
    if (run == 30) from = asked;
    if (run >= 30) payload += reading.sectors * 2048.0;
    asked = next;
    link.Requested(At(asked), true);
    lsn += reading.sectors;
  }
  reading.seenMBs = link.BytesPerSecond() / 1e6;
  reading.readMBs = payload / (asked - from) / 1e6;
  return reading;
}

void Link(const DiscImage& disc, double rtt, double rate) {
  const Reading sized = Play(disc, rtt, rate, true);
  const Reading unsized = Play(disc, rtt, rate, false);
  std::printf("  %7.0f ms %4.0f MB/s %8u %7.0f %9.1f %5.1f %9.1f %5d | %7u %8.1f %5.1f\n",
              rtt * 1e3, rate / 1e6, sized.sectors, sized.runKb, sized.stallMs, sized.readMBs,
              sized.seenMBs, sized.level, unsized.sectors, unsized.stallMs, unsized.readMBs);
}

}  // namespace

int main() {
  bench::WorkFolder work("korvane-runs-bench");
  const bench::Disc made = bench::MakeDisc(work.Path(), kDiscSectors);
  korvane::server::DiscCatalog discs;
  korvane::server::ScanReport report;
  std::string error;
  if (!korvane::server::DiscCatalog::Scan({made.folder}, discs, report, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const DiscImage& disc = *discs.At(0);
  std::printf("making runs of the whole disc (%u sectors), best of 3\n", kDiscSectors);
  std::printf("                                  MB/s   ratio\n");
  for (const int level : {0, 1, 6})
    for (const uint32_t length : {16u, 1024u}) Compressor(disc, length, level);
  std::printf(
      "\na sequential reader's last runs (target %d round trips or %lld ms a run, stored above\n"
      "%.0f MB/s), and\n"
      "the same reader with runs of up to the maximum at level 1 (not sized to the link)\n"
      "                       sized to the link                               | not sized\n"
      "  round trip      rate  sectors      kB  stall ms  MB/s seen MB/s level | sectors "
      "stall ms  MB/s\n",
      korvane::server::kRunRoundTrips, static_cast<long long>(korvane::server::kRunTarget.count()),
      korvane::server::kStoredAboveBytesPerSecond / 1e6);
  for (const auto& [rtt, rate] :
       {std::pair{0.005, 100e6}, std::pair{0.05, 8e6}, std::pair{0.1, 2e6}, std::pair{0.001, 1e9}})
    Link(disc, rtt, rate);
  return 0;
}
