// A game's reads over a real link: the plugin's read path against the disc server in the
// same process, at its default settings, through the link shaper (a round trip and a
// bandwidth), for a fast, a middling and a slow link. Per link, each pattern from an
// empty cache:
//   - paced: sequential mode 3 reads at a console DVD drive's pace (5.5 MB/s, or the
//     link's bandwidth when lower), each read due one sector's time after the last; a late
//     read is never made up for (the next is due at the later of its schedule and the
//     moment the late read returned), so time lost in a stall stays lost, as in a game;
//   - unpaced: sequential reads as fast as they return, against the link's bandwidth;
//   - seeks: reads at random LSNs, against one round trip plus 16 sectors at the link's
//     bandwidth.
// For each: the throughput and how long each read call blocked (p50, p99, max, and how
// many blocked over 100 ms), for the paced play also from its second second on.
//
//   game_bench [paced seconds (default 20)] [unpaced MB, at most (default 60)]
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
#include "LinkShaper.h"
#include "server/DiscServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using korvane::test::LinkSetting;

constexpr double kDrivePaceMBs = 5.5;
constexpr double kUnpacedSecondsAtMost = 15;
constexpr uint32_t kSeeks = 200;
constexpr uint32_t kSeekRunMax = 64;  // well past the 16 sectors a seek's run has
constexpr double kStallMs = 100;
constexpr double kSectorBytes = 2048;
constexpr const char* kClientAddress = "192.0.2.10";

// A disc server at its defaults, the shaper before it and a plugin logged in through both.
struct ShapedRemote {
  std::unique_ptr<korvane::server::DiscServer> server;
  std::unique_ptr<korvane::test::LinkShaper> shaper;
  std::unique_ptr<korvane::Plugin> plugin;
};

// Starts from an empty cache: a fresh server, shaper and plugin, no Games folder.
ShapedRemote Connect(const bench::Disc& disc, const LinkSetting& link, bench::DiscardTrace& trace) {
  std::filesystem::remove_all("Games");
  ShapedRemote r;
  korvane::server::ServerConfig config;
  config.folder = disc.folder;
  config.bindAddress = "127.0.0.1";
  config.port = 0;
  config.allowAnyone = true;
  config.quiet = true;
  config.proxyProtocol = true;  // the shaper names the client as one on a network
  r.server = std::make_unique<korvane::server::DiscServer>(config);
  std::string error;
  if (!r.server->Start(error)) {
    std::fprintf(stderr, "server: %s\n", error.c_str());
    std::exit(1);
  }
  r.shaper = std::make_unique<korvane::test::LinkShaper>(r.server->Port(), link);
  r.plugin = bench::RemotePlugin(r.shaper->Port(), trace);
  return r;
}

// What one pattern did: its reads' blocking times and what it is measured against.
struct Outcome {
  const char* pattern = "";
  double seconds = 0;
  std::vector<double> blockMs;  // of every read
  std::vector<double> laterMs;  // of the reads that began after the first second
  bool paced = false;
  std::string against;     // what ratio compares with, in words
  double ratio = 0;        // 1.00: as good as the link or the pace allows
  double relayLateMs = 0;  // the most the shaper sent bytes on after they were due
  double MB() const { return blockMs.size() * kSectorBytes / 1e6; }
};

// Milliseconds one read of lsn blocks; exits when it fails.
double TimedRead(korvane::Plugin& plugin, uint32_t lsn) {
  auto start = Clock::now();
  if (plugin.ReadTrack(lsn, korvane::kModeData2048) != 0 || !plugin.GetBuffer()) {
    std::fprintf(stderr, "read of LSN %u failed\n", lsn);
    std::exit(1);
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Sequential reads from LSN 0 at paceMBs for seconds, a late read never made up for.
Outcome PacedPlay(korvane::Plugin& plugin, double paceMBs, double seconds) {
  Outcome o;
  o.pattern = "paced";
  o.paced = true;
  const auto step = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(kSectorBytes / (paceMBs * 1e6)));
  const auto start = Clock::now(), end = start + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
  auto due = start;
  for (uint32_t lsn = 0; Clock::now() < end; ++lsn) {
    std::this_thread::sleep_until(due);
    auto began = Clock::now();
    double ms = TimedRead(plugin, lsn);
    o.blockMs.push_back(ms);
    if (began - start >= std::chrono::seconds(1)) o.laterMs.push_back(ms);
    due = std::max(due + step, Clock::now());
  }
  o.seconds = bench::Since(start);
  char against[64];
  std::snprintf(against, sizeof against, "pace %.2f MB/s", paceMBs);
  o.against = against;
  o.ratio = o.MB() / o.seconds / paceMBs;
  return o;
}

// Sequential reads from LSN 0, each as soon as the last returned, up to megabytes.
Outcome UnpacedPlay(korvane::Plugin& plugin, const LinkSetting& link, double megabytes) {
  Outcome o;
  o.pattern = "unpaced";
  const auto start = Clock::now();
  const uint32_t sectors = static_cast<uint32_t>(megabytes * 1e6 / kSectorBytes);
  for (uint32_t lsn = 0; lsn < sectors && bench::Since(start) < kUnpacedSecondsAtMost; ++lsn) {
    o.blockMs.push_back(TimedRead(plugin, lsn));
  }
  o.seconds = bench::Since(start);
  char against[64];
  std::snprintf(against, sizeof against, "link %.2f MB/s", link.megabytesPerSecond);
  o.against = against;
  o.ratio = o.MB() / o.seconds / link.megabytesPerSecond;
  return o;
}

// kSeeks reads at random LSNs of the disc, the same ones every run, in random order; each
// in a stretch of the disc of its own, so that no read finds the run of an earlier one.
Outcome Seeks(korvane::Plugin& plugin, const LinkSetting& link, uint32_t discSectors) {
  Outcome o;
  o.pattern = "seeks";
  std::mt19937 random(7);
  const uint32_t stretch = (discSectors - kSeekRunMax) / kSeeks;
  std::vector<uint32_t> lsns(kSeeks);
  for (uint32_t i = 0; i < kSeeks; ++i) lsns[i] = i * stretch + random() % (stretch - kSeekRunMax);
  std::shuffle(lsns.begin(), lsns.end(), random);
  const auto start = Clock::now();
  for (uint32_t lsn : lsns) o.blockMs.push_back(TimedRead(plugin, lsn));
  o.seconds = bench::Since(start);
  const double modelMs = link.rttMs + 16 * kSectorBytes / (link.megabytesPerSecond * 1e3);
  char against[64];
  std::snprintf(against, sizeof against, "rtt+16 sec %.1f ms", modelMs);
  o.against = against;
  o.ratio = modelMs / (o.seconds * 1000 / kSeeks);
  return o;
}

// The p-th percentile (0 to 100) of values, 0 when there are none.
double Percentile(const std::vector<double>& values, double p) {
  return bench::Percentile(values, p / 100);
}

// How many of the times in ms exceed kStallMs.
size_t Stalls(const std::vector<double>& values) {
  return std::count_if(values.begin(), values.end(), [](double ms) { return ms > kStallMs; });
}

// What the table shows, before it.
void PrintLegend(uint32_t discSectors, double pacedSeconds, double unpacedMB) {
  std::printf(
      "a game's reads (mode 3) through the plugin's read path, from the disc server at its\n"
      "defaults over the link shaper, which names the client as one on a network (so the\n"
      "server times its link, sizes runs to it and picks the level for it); each pattern from\n"
      "an empty cache, on a %u-sector disc.\n"
      "  paced: sequential for %.0f s at %.1f MB/s (or the link's bandwidth when lower), a late\n"
      "    read never made up for; ratio: MB/s / that pace;\n"
      "  unpaced: sequential as fast as reads return, up to %.0f MB or %.0f s; ratio: MB/s /\n"
      "    the link's bandwidth;\n"
      "  seeks: %u reads at random LSNs, none in an earlier one's run; ratio: (round trip +\n"
      "    16 sectors at the bandwidth) / mean ms per seek.\n"
      "A ratio of 1.00 is the best the link allows. Blocking: the time each read call took;\n"
      "the three columns after it count only the paced reads that began after the first\n"
      "second. relay late: the most the shaper sent bytes on after the link would have\n"
      "delivered them (a busy machine): delays of that size are the machine's, not the link's\n"
      "or the plugin's.\n\n",
      discSectors, pacedSeconds, kDrivePaceMBs, unpacedMB, kUnpacedSecondsAtMost, kSeeks);
}

// The table's column names.
void PrintHeader() {
  std::printf("%87s| %-35s | %-24s | %s\n", "", "blocking per read, whole run",
              "after the first second", "relay late");
  std::printf("%-15s %-8s %7s %7s %6s %-19s %5s | %8s %8s %8s %6s | %8s %8s %6s\n",
              "link (rtt, bw)", "pattern", "reads", "MB", "MB/s", "measured against", "ratio",
              "p50 ms", "p99 ms", "max ms", ">100ms", "p99 ms", "max ms", ">100ms");
}

// One line of the table: the link, the pattern and its figures.
void PrintRow(const LinkSetting& link, const Outcome& o) {
  char name[32];
  std::snprintf(name, sizeof name, "%.0f ms %.0f MB/s", link.rttMs, link.megabytesPerSecond);
  std::printf("%-15s %-8s %7zu %7.1f %6.2f %-19s %5.2f | %8.3f %8.2f %8.1f %6zu |", name, o.pattern,
              o.blockMs.size(), o.MB(), o.MB() / o.seconds, o.against.c_str(), o.ratio,
              Percentile(o.blockMs, 50), Percentile(o.blockMs, 99), Percentile(o.blockMs, 100),
              Stalls(o.blockMs));
  if (o.paced) {
    std::printf(" %8.2f %8.1f %6zu |", Percentile(o.laterMs, 99), Percentile(o.laterMs, 100),
                Stalls(o.laterMs));
  } else {
    std::printf(" %8s %8s %6s |", "-", "-", "-");
  }
  std::printf(" %6.1f\n", o.relayLateMs);
}

}  // namespace

int main(int argc, char** argv) {
  const double pacedSeconds = argc > 1 ? std::atof(argv[1]) : 20;
  const double unpacedMB = argc > 2 ? std::atof(argv[2]) : 60;
  // The client address is a documentation one: the server sizes runs and picks the level
  // for a client on a network, as it would for a player at home.
  const LinkSetting links[] = {
      {5, 100, kClientAddress}, {50, 8, kClientAddress}, {100, 2, kClientAddress}};
  bench::WorkFolder work("korvane-game-bench");
  const uint32_t sectors =
      static_cast<uint32_t>(kDrivePaceMBs * 1e6 * pacedSeconds / kSectorBytes) + 20000;
  bench::Disc disc = bench::MakeDisc(work.Path(), std::max<uint32_t>(sectors, 60000));
  PrintLegend(disc.sectors, pacedSeconds, unpacedMB);
  PrintHeader();
  bench::DiscardTrace trace;
  for (const LinkSetting& link : links) {
    auto measure = [&](auto play) {
      ShapedRemote r = Connect(disc, link, trace);
      Outcome o = play(*r.plugin);
      o.relayLateMs = r.shaper->LatestMs();
      PrintRow(link, o);
    };
    const double pace = std::min(kDrivePaceMBs, link.megabytesPerSecond);
    measure([&](korvane::Plugin& p) { return PacedPlay(p, pace, pacedSeconds); });
    measure([&](korvane::Plugin& p) { return UnpacedPlay(p, link, unpacedMB); });
    measure([&](korvane::Plugin& p) { return Seeks(p, link, disc.sectors); });
  }
  return 0;
}
