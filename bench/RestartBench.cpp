// A game whose disc server restarts: the plugin's read path against the disc server in the
// same process, stopped and started again on the same port, on loopback and through the
// link shaper.
//   - resume: the server is restarted while the game reads from its cache; the time from
//     the server accepting again to the first sector served by it, over 20 restarts, on
//     loopback and over a 50 ms, 8 MB/s link, against the server's greeting pauses plus
//     four round trips plus 50 ms;
//   - game: sequential mode 3 reads paced at 5.5 MB/s for 60 s over the 50 ms, 8 MB/s
//     link, the server down for a while every 15 s: failed reads, the blocking of cache
//     hits (p99) and the longest block, against the downtime plus 1 s.
//
//   restart_bench [restarts (default 20)] [game seconds (default 60)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "LinkShaper.h"
#include "server/DiscServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using korvane::test::LinkSetting;

constexpr double kPaceMBs = 5.5;
constexpr double kSectorBytes = 2048;
constexpr int kRestartEverySeconds = 15;
constexpr int kDowntimeMs = 500;
constexpr const char* kClientAddress = "192.0.2.10";

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The disc server in this process, stopped and started again on the port it first took.
class RestartableServer final {
 public:
  // Behind the shaper, it takes the header that names the client as one on a network.
  RestartableServer(const std::string& folder, bool behindShaper) {
    config_.folder = folder;
    config_.bindAddress = "127.0.0.1";
    config_.port = 0;
    config_.allowAnyone = true;
    config_.quiet = true;
    config_.proxyProtocol = behindShaper;
    Start();
    config_.port = static_cast<uint16_t>(server_->Port());
  }
  ~RestartableServer() { Stop(); }
  int Port() const { return config_.port; }
  uint32_t GreetingPausesMs() const { return 2 * config_.messageGapMs; }
  void Stop() {
    if (server_) server_->Stop();
    server_.reset();
  }
  // Starts it again; returns when it accepts.
  void Start() {
    server_ = std::make_unique<korvane::server::DiscServer>(config_);
    std::string error;
    if (!server_->Start(error)) {
      std::fprintf(stderr, "server: %s\n", error.c_str());
      std::exit(1);
    }
  }

 private:
  korvane::server::ServerConfig config_;
  std::unique_ptr<korvane::server::DiscServer> server_;
};

// The link modelled before the server at port, or none for loopback (a round trip of 0).
std::unique_ptr<korvane::test::LinkShaper> Line(int port, const LinkSetting& link) {
  if (link.rttMs == 0) return nullptr;
  return std::make_unique<korvane::test::LinkShaper>(port, link);
}

// The port the plugin connects to: the shaper's, or the server's own.
int PlayerPort(const RestartableServer& server, const korvane::test::LinkShaper* line) {
  return line ? line->Port() : server.Port();
}

// Restarts the server count times while the plugin reads from its cache, and times each
// first sector that the server started again serves.
std::vector<double> ResumeTimes(const bench::Disc& disc, const LinkSetting& link, int count,
                                double& modelMs) {
  std::filesystem::remove_all("Games");
  RestartableServer server(disc.folder, link.rttMs != 0);
  auto line = Line(server.Port(), link);
  bench::DiscardTrace trace;
  auto plugin = bench::RemotePlugin(PlayerPort(server, line.get()), trace);
  modelMs = server.GreetingPausesMs() + 4 * link.rttMs + 50;
  std::vector<double> times;
  uint32_t lsn = 0;
  for (int i = 0; i < count; ++i) {
    // A read served before, so the link is known to work when the server goes.
    while (plugin->Cache().LookupCachedSector(lsn, korvane::kModeData2048) !=
           korvane::CacheIndex::kNone) {
      ++lsn;
    }
    if (plugin->ReadTrack(lsn, korvane::kModeData2048) != 0) std::exit(1);
    server.Stop();
    server.Start();
    auto accepting = Clock::now();
    while (plugin->Cache().LookupCachedSector(lsn, korvane::kModeData2048) !=
           korvane::CacheIndex::kNone) {
      ++lsn;
    }
    if (plugin->ReadTrack(lsn, korvane::kModeData2048) != 0) {
      std::fprintf(stderr, "the read after restart %d failed\n", i);
      std::exit(1);
    }
    times.push_back(MsSince(accepting));
  }
  return times;
}

// What a paced game met while its server restarted.
struct GameOutcome {
  size_t reads = 0, failed = 0, restarts = 0;
  std::vector<double> hitMs;
  double longestMs = 0;
};

GameOutcome PacedGameWithRestarts(const bench::Disc& disc, const LinkSetting& link,
                                  double seconds) {
  std::filesystem::remove_all("Games");
  RestartableServer server(disc.folder, true);
  auto line = Line(server.Port(), link);
  bench::DiscardTrace trace;
  auto plugin = bench::RemotePlugin(PlayerPort(server, line.get()), trace);
  GameOutcome o;
  const auto start = Clock::now();
  const auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::thread restarts([&] {
    for (auto at = start + std::chrono::seconds(kRestartEverySeconds); at < end;
         at += std::chrono::seconds(kRestartEverySeconds)) {
      std::this_thread::sleep_until(at);
      server.Stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(kDowntimeMs));
      server.Start();
      ++o.restarts;
    }
  });
  const auto step = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(kSectorBytes / (kPaceMBs * 1e6)));
  auto due = start;
  for (uint32_t lsn = 0; lsn < disc.sectors && Clock::now() < end; ++lsn) {
    std::this_thread::sleep_until(due);
    const bool hit = plugin->Cache().LookupCachedSector(lsn, korvane::kModeData2048) !=
                     korvane::CacheIndex::kNone;
    auto began = Clock::now();
    const bool served = plugin->ReadTrack(lsn, korvane::kModeData2048) == 0;
    const double ms = MsSince(began);
    ++o.reads;
    if (!served) ++o.failed;
    if (hit) o.hitMs.push_back(ms);
    o.longestMs = std::max(o.longestMs, ms);
    due = std::max(due + step, Clock::now());
  }
  restarts.join();
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 20;
  const double gameSeconds = argc > 2 ? std::atof(argv[2]) : 60;
  bench::WorkFolder work("korvane-restart-bench");
  const auto sectors = static_cast<uint32_t>(kPaceMBs * 1e6 * gameSeconds / kSectorBytes) + 20000;
  bench::Disc disc = bench::MakeDisc(work.Path(), sectors);
  std::printf(
      "the disc server restarted under the plugin's read path (mode 3), the server in this\n"
      "process on loopback or behind the link shaper, which names the client as one on a\n"
      "network.\n"
      "resume: the server stopped and started again while the game reads from its cache; from\n"
      "  the server accepting again to the first sector it serves, over %d restarts; against\n"
      "  the server's greeting pauses + 4 round trips + 50 ms.\n"
      "game: %.0f s paced at %.1f MB/s, the server down %d ms every %d s; hits: reads of\n"
      "  sectors already cached; the longest block against the downtime + 1 s.\n\n",
      count, gameSeconds, kPaceMBs, kDowntimeMs, kRestartEverySeconds);
  std::printf("%-22s %8s %8s %8s %10s\n", "resume (rtt, bw)", "p50 ms", "p99 ms", "max ms",
              "target ms");
  const LinkSetting loopback{0, 0, kClientAddress}, shaped{50, 8, kClientAddress};
  for (const LinkSetting& link : {loopback, shaped}) {
    double modelMs = 0;
    std::vector<double> times = ResumeTimes(disc, link, count, modelMs);
    char name[32];
    std::snprintf(name, sizeof name, "%.0f ms %.0f MB/s", link.rttMs, link.megabytesPerSecond);
    std::printf("%-22s %8.1f %8.1f %8.1f %10.1f\n", link.rttMs == 0 ? "loopback" : name,
                bench::Percentile(times, 0.5), bench::Percentile(times, 0.99),
                bench::Percentile(times, 1), modelMs);
  }
  GameOutcome game = PacedGameWithRestarts(disc, shaped, gameSeconds);
  std::printf(
      "\ngame over 50 ms 8 MB/s: %zu reads (%.2f MB/s), %zu failed, %zu restarts; hits %zu, p99 "
      "%.2f ms (target <= 5); longest block %.0f ms (target <= %d)\n",
      game.reads, game.reads * kSectorBytes / 1e6 / gameSeconds, game.failed, game.restarts,
      game.hitMs.size(), bench::Percentile(game.hitMs, 0.99), game.longestMs, kDowntimeMs + 1000);
  return 0;
}
