// The phases of the crowd benchmark: what each starts, measures and prints. Loopback clients
// keep to source addresses of their own, at most 50 on one: the crowd's readers from
// 127.0.0.2 on, the flood from 127.0.0.9, the probes from 127.0.1.1 to 127.0.1.4 and the
// idle connections from 127.0.2.0 on.
#include "CrowdPhases.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <thread>

namespace crowd {
namespace {

using korvane::load::LoadSettings;
using korvane::load::LoopbackAddress;
using korvane::load::ServerProcess;

constexpr uint32_t kLoginSource = 0x0101;
constexpr uint32_t kSeekSource = 0x0102;
constexpr uint32_t kRealClientSource = 0x0103;
constexpr uint32_t kLoneReaderSource = 0x0104;
constexpr uint32_t kIdleSource = 0x0200;
constexpr uint32_t kFallbackLevel1Source = 0x0300;
constexpr int kPerSource = 50;
constexpr double kAloneSeconds = 5;

// Readers first to first + count of total, each over half the disc from its own place on, for
// settings.runSeconds.
Readers Read(const LoadSettings& settings, int first, int count, int total, const Image& image) {
  const uint32_t range = image.sectors / 2;
  const uint32_t step = range / static_cast<uint32_t>(std::max(1, total));
  std::vector<korvane::load::PlayPlan> plans;
  for (int i = first; i < first + count; ++i) {
    plans.push_back({0, 3, static_cast<uint32_t>(i) * step, range, 2048});
  }
  const auto outcome = korvane::load::PlayAll(
      settings, plans,
      [&image](const korvane::load::PlayPlan&, uint32_t lsn, const uint8_t* bytes, size_t size) {
        return image.Holds(lsn, bytes, size);
      });
  Readers readers{count, 0, {}, outcome.bytes, outcome.seconds};
  for (const korvane::load::PlayResult& result : outcome.results) {
    if (!result.ok && ++readers.failed == 1) readers.firstError = result.error;
  }
  return readers;
}

// Settings for timed readers of the server at host:port from loopback sources (perSource on
// each from firstSource on; 0: the system's choice).
LoadSettings Reading(uint16_t port, const std::string& host, int perSource, uint32_t firstSource,
                     double seconds) {
  LoadSettings settings;
  settings.port = port;
  settings.host = host;
  settings.playersPerSource = perSource;
  settings.firstSource = firstSource;
  settings.runSeconds = seconds;
  return settings;
}

// Runs probe every interval (back to back when it takes longer) until stop, first after delay.
void Repeat(const std::atomic<bool>& stop, Clock::duration delay, Clock::duration interval,
            const std::function<void()>& probe) {
  auto next = Clock::now() + delay;
  while (!stop) {
    if (Clock::now() < next) {
      std::this_thread::sleep_for(
          std::min<Clock::duration>(next - Clock::now(), std::chrono::milliseconds(10)));
      continue;
    }
    probe();
    next = std::max(next + interval, Clock::now());
  }
}

// One row of times: how many, median, 99th percentile, and the failures.
void PrintTimes(const char* what, const Samples& samples) {
  std::printf("  %-46s %5zu %9.1f %9.1f", what, samples.ms.size(), Percentile(samples.ms, 0.5),
              Percentile(samples.ms, 0.99));
  if (samples.failed > 0) {
    std::printf("   %d FAILED, first: %s", samples.failed, samples.firstError.c_str());
  }
  std::printf("\n");
}

// One row of readers: how many read to the end, how many failed, their MB/s.
void PrintReaders(const char* what, const Readers& readers) {
  std::printf("  %-34s %6d %7d %9.1f", what, readers.count - readers.failed, readers.failed,
              readers.MBs());
  if (readers.failed > 0) std::printf("   first failure: %s", readers.firstError.c_str());
  std::printf("\n");
}

// Real clients one after another, 500 ms apart, from now until end; each with the seconds
// since begin at which it started.
std::vector<std::pair<double, FirstSector>> RealClients(const Target& target, const Image& image,
                                                        Clock::time_point begin,
                                                        Clock::time_point end) {
  std::vector<std::pair<double, FirstSector>> clients;
  do {
    const double at = MsSince(begin) / 1000;
    clients.emplace_back(
        at, TimedFirstSector(target, LoopbackAddress(kRealClientSource), image, image.sectors / 3));
    std::this_thread::sleep_until(std::min(end, Clock::now() + std::chrono::milliseconds(500)));
  } while (Clock::now() < end);
  return clients;
}

// The most descriptors a process holds, counted every 20 ms until Stop.
class DescriptorPeak final {
 public:
  explicit DescriptorPeak(pid_t pid) : peak_(DescriptorCount(pid)) {
    thread_ = std::thread([this, pid] {
      for (; !stop_; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        peak_ = std::max(peak_.load(), DescriptorCount(pid));
      }
    });
  }
  ~DescriptorPeak() { Stop(); }
  DescriptorPeak(const DescriptorPeak&) = delete;
  DescriptorPeak& operator=(const DescriptorPeak&) = delete;

  // Stops counting; the peak.
  int Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return peak_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> peak_;
  std::thread thread_;
};

void PrintTimesHeading() {
  std::printf("  %-46s %5s %9s %9s\n", "", "n", "p50 ms", "p99 ms");
}

}  // namespace

Probing::Probing(const Image& image, const Target& target)
    : seek_(image, target, LoopbackAddress(kSeekSource), 2) {
  // From a second on: the readers have logged in by then and read on.
  loginThread_ = std::thread([this, target] {
    Repeat(stop_, std::chrono::seconds(1), std::chrono::milliseconds(200), [&] {
      WireConnection connection;
      const Login login = ConnectAndLogIn(connection, target, LoopbackAddress(kLoginSource), 30000);
      logins.Add(login.ok ? login.promptMs : -1, login.error);
    });
  });
  seekThread_ = std::thread([this] {
    Repeat(stop_, std::chrono::seconds(1), std::chrono::milliseconds(100), [&] {
      std::string error;
      seeks.Add(seek_.Seek(error), error);
    });
  });
}

Probing::~Probing() {
  Stop();
}

void Probing::Stop() {
  stop_ = true;
  if (loginThread_.joinable()) loginThread_.join();
  if (seekThread_.joinable()) seekThread_.join();
  seek_.Close();
}

Phases::Phases(Options options, std::string folder, Image disc)
    : image(disc), options_(std::move(options)), folder_(std::move(folder)) {}

bool Phases::Run() {
  const double alone = Idle();
  if (!ok_) return false;
  Crowd(alone);
  Flood();
  std::printf("\n%s\n", ok_ ? "every server exited cleanly"
                            : "A SERVER FAILED: it did not start or did not exit cleanly");
  return ok_;
}

bool Phases::Launch(ServerProcess& server) {
  std::vector<std::string> args{"--folder", folder_, "--allow-anyone", "--quiet"};
  args.insert(args.end(), options_.serverArgs.begin(), options_.serverArgs.end());
  std::string error;
  if (server.Start(options_.server, args, {}, error, options_.Bind())) return true;
  std::printf("  THE SERVER DID NOT START: %s\n", error.c_str());
  ok_ = false;
  return false;
}

void Phases::Finish(ServerProcess& server, const char* phase) {
  if (server.Stop(10000)) return;
  std::printf("  THE SERVER DID NOT EXIT CLEANLY after the %s phase (crashed or hung)\n", phase);
  ok_ = false;
}

double Phases::Idle() {
  std::printf("\n== Idle: the server with one client at a time\n");
  ServerProcess server;
  if (!Launch(server)) return 0;
  const Target target{server.Port(), "127.0.0.1"};
  Samples logins, seeks;
  for (int i = 0; i < options_.samples; ++i) {
    WireConnection connection;
    const Login login = ConnectAndLogIn(connection, target, LoopbackAddress(kLoginSource), 30000);
    logins.Add(login.ok ? login.promptMs : -1, login.error);
  }
  SeekProbe probe(image, target, LoopbackAddress(kSeekSource), 1);
  for (int i = 0; i < options_.samples; ++i) {
    std::string error;
    seeks.Add(probe.Seek(error), error);
    // Lets the run the server may make ahead finish, so that each seek meets an idle server.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const Readers alone = Read(
      Reading(server.Port(), target.host, 1, kLoneReaderSource, kAloneSeconds), 0, 1, 1, image);
  PrintTimesHeading();
  PrintTimes("login to prompt (a fresh connection each)", logins);
  PrintTimes("first run after a seek (one client)", seeks);
  std::printf("  %-34s %6s %7s %9s\n", "sequential readers", "ok", "failed", "MB/s");
  PrintReaders("one reader alone, level 0, 5 s", alone);
  Finish(server, "idle");
  return alone.MBs();
}

void Phases::Crowd(double aloneMBs) {
  const auto [address, interface] =
      options_.networkReaders ? NonLoopbackAddress() : std::pair<std::string, std::string>();
  std::printf(
      "\n== Crowd: %d idle connections, %d readers from a network address (level auto), "
      "%d at level 0, %.0f s\n",
      options_.idle, options_.level1Readers, options_.level0Readers, options_.seconds);
  if (address.empty()) {
    std::printf(options_.networkReaders
                    ? "  NOTE: this machine has no non-loopback IPv4 address: the network "
                      "readers use loopback, and the server serves them at level 0\n"
                    : "  NOTE: the server listens on loopback alone: the network readers use "
                      "loopback, and the server serves them at level 0 (--network-readers "
                      "reads from the network address)\n");
  }
  ServerProcess server;
  if (!Launch(server)) return;
  CrowdFigures figures;
  figures.startKiB = server.MemoryKiB("VmRSS");
  IdleCrowd idle =
      OpenIdleCrowd({server.Port(), "127.0.0.1"}, options_.idle, kPerSource, kIdleSource);
  ReadInCrowd(server.Port(), address, figures);
  figures.peakKiB = server.MemoryKiB("VmHWM");
  figures.held = idle.held.size();
  idle.held.clear();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  figures.restKiB = server.MemoryKiB("VmRSS");
  PrintCrowd(figures, idle, address.empty() ? "loopback" : address + " (" + interface + ")",
             aloneMBs);
  Finish(server, "crowd");
}

void Phases::ReadInCrowd(uint16_t port, const std::string& address, CrowdFigures& figures) {
  const int total = options_.level1Readers + options_.level0Readers;
  const double seconds = options_.seconds;
  const LoadSettings far =
      address.empty() ? Reading(port, "127.0.0.1", kPerSource, kFallbackLevel1Source, seconds)
                      : Reading(port, address, 0, 0, seconds);
  std::thread farReaders(
      [&] { figures.level1 = Read(far, 0, options_.level1Readers, total, image); });
  std::thread nearReaders([&] {
    figures.level0 = Read(Reading(port, "127.0.0.1", kPerSource, 2, seconds),
                          options_.level1Readers, options_.level0Readers, total, image);
  });
  Probing probing(image, {port, "127.0.0.1"});
  farReaders.join();
  nearReaders.join();
  probing.Stop();
  figures.logins = probing.logins;
  figures.seeks = probing.seeks;
}

void Phases::PrintCrowd(const CrowdFigures& figures, const IdleCrowd& idle,
                        const std::string& farName, double aloneMBs) const {
  std::printf("  idle connections held: %zu of %d", figures.held, options_.idle);
  if (idle.refused > 0) {
    std::printf(", %d REFUSED, first: %s", idle.refused, idle.firstError.c_str());
  }
  std::printf("\n");
  PrintTimesHeading();
  PrintTimes("login to prompt (a new connection every 200 ms)", figures.logins);
  PrintTimes("first run after a seek (every 100 ms)", figures.seeks);
  std::printf("  %-34s %6s %7s %9s\n", "readers, checked sector bytes", "ok", "failed", "MB/s");
  PrintReaders(("level auto from " + farName).c_str(), figures.level1);
  PrintReaders("level 0 from loopback", figures.level0);
  const Readers& one = figures.level1;
  const Readers& zero = figures.level0;
  const Readers all{one.count + zero.count,
                    one.failed + zero.failed,
                    {},
                    one.bytes + zero.bytes,
                    std::max(one.seconds, zero.seconds)};
  PrintReaders("total", all);
  std::printf("  total throughput / one reader alone: %.2f\n",
              aloneMBs > 0 ? all.MBs() / aloneMBs : 0);
  std::printf(
      "  server memory MiB: %.1f at start, %.1f at peak (VmHWM), %.1f at rest 2 s after "
      "every client left\n",
      figures.startKiB / 1024.0, figures.peakKiB / 1024.0, figures.restKiB / 1024.0);
}

void Phases::Flood() {
  std::printf("\n== Flood: %d connections from 127.0.0.9 that never log in, standing %.0f s\n",
              options_.flood, options_.floodSeconds);
  ServerProcess server;
  if (!Launch(server)) return;
  FloodFigures figures;
  figures.baseFds = DescriptorCount(server.Pid());
  DescriptorPeak sampler(server.Pid());
  crowd::Flood flood;
  std::atomic<int> started{0};
  std::atomic<bool> opened{false};
  const auto begin = Clock::now();
  std::thread opener([&] {
    flood.Open(server.Port(), "127.0.0.9", options_.flood, started);
    figures.openMs = MsSince(begin);
    opened = true;
  });
  // The first real client comes while the flood is still being opened.
  while (!opened && started < options_.flood / 2) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  figures.clients = RealClients({server.Port(), "127.0.0.1"}, image, begin,
                                begin + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options_.floodSeconds)));
  opener.join();
  figures.tally = flood.Tally();
  figures.endFds = DescriptorCount(server.Pid());
  figures.peakFds = sampler.Stop();
  figures.peakKiB = server.MemoryKiB("VmHWM");
  flood.Close();
  PrintFlood(figures);
  Finish(server, "flood");
}

void Phases::PrintFlood(const FloodFigures& figures) const {
  const FloodTally& tally = figures.tally;
  std::printf("  connects started: %d in %.0f ms (%d could not start)\n", tally.made,
              figures.openMs, tally.unstarted);
  std::printf(
      "  at the end: %d connected and open, %d closed by the server, %d still connecting, "
      "%d failed to connect\n",
      tally.open, tally.closed, tally.pending, tally.failed);
  if (tally.withText > 0) {
    std::printf("  %d got a server text, first: \"%s\"\n", tally.withText, tally.text.c_str());
  }
  const int held = std::max(0, figures.endFds - figures.baseFds);
  std::printf("  server descriptors: %d before, %d at peak (sampled every 20 ms), %d at the end\n",
              figures.baseFds, figures.peakFds, figures.endFds);
  std::printf(
      "  the server holds %d of the flood's connections; %d more wait in its listen "
      "queue\n",
      held, std::max(0, tally.open - held));
  std::printf("  server memory MiB: %.1f at peak (VmHWM)\n", figures.peakKiB / 1024.0);
  std::printf("  real clients from %s, one after another (target: first run within 200 ms)\n",
              LoopbackAddress(kRealClientSource).c_str());
  std::printf("  %8s %11s %9s %13s %9s\n", "at s", "connect ms", "login ms", "first run ms",
              "total ms");
  for (const auto& [at, client] : figures.clients) {
    std::printf("  %8.2f %11.1f %9.1f %13.1f %9.1f%s%s\n", at, client.connectMs, client.promptMs,
                client.sectorMs, client.totalMs,
                client.error.empty() ? "" : "   FAILED: ", client.error.c_str());
  }
}

}  // namespace crowd
