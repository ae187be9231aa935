// guard_bench: the disc server program against three hostile crowds, each figure beside its
// target, a fresh program for each:
//   login slots  two addresses hold 64 silent connections each, renewing those the server
//                closes, while a third address logs in every 2 s: every login's prompt time;
//   log flood    the program's standard output a FIFO that nobody reads, while eight
//                addresses connect and close as fast as they can: a player's run times,
//                against the same player's on a quiet program whose log is drained;
//   hoarders     200 clients at --run-max 4096 that ask for runs of doubling length and
//                never read: the program's resident memory against its idle memory and its
//                reply budget, and a player's run times against a quiet program's.
// Usage: guard_bench [SERVER], SERVER the program to measure (this tree's by default). Exits
// non-zero only when a program cannot be started: a slow figure is only printed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "ChildProcess.h"
#include "CrowdProbes.h"
#include "ServerProcess.h"
#include "TestSockets.h"
#include "protocol/ClientMessages.h"

namespace {

using crowd::Clock;
using crowd::MsSince;
using crowd::Percentile;
using crowd::Samples;
using crowd::Target;
namespace sock = korvane::test::sock;

constexpr uint32_t kDiscSectors = 20000;  // 41 MB
constexpr double kReadSeconds = 8;

std::vector<std::string> ServerArgs(const std::string& folder, std::vector<std::string> extra) {
  std::vector<std::string> args{"--folder", folder, "--allow-anyone", "--message-gap-ms", "10"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// A player's run times at random places of the disc for seconds, from source.
Samples PlayerRuns(const Target& target, const crowd::Image& image, const std::string& source,
                   double seconds) {
  crowd::SeekProbe player(image, target, source, 7);
  Samples runs;
  for (const auto start = Clock::now(); MsSince(start) < seconds * 1000;) {
    std::string error;
    runs.Add(player.Seek(error), error);
  }
  return runs;
}

std::string Summary(const Samples& samples) {
  char text[160];
  std::snprintf(text, sizeof text, "%zu ok, %d failed, p50 %.1f ms, p99 %.1f ms",
                samples.ms.size(), samples.failed, Percentile(samples.ms, 0.5),
                Percentile(samples.ms, 0.99));
  return text + (samples.firstError.empty() ? "" : " (" + samples.firstError + ")");
}

// Holds count silent connections from source until stop, connecting again each one that the
// server refuses or closes.
void HoldSilent(const Target& target, const char* source, int count, const std::atomic<bool>& stop) {
  std::vector<sock::Socket> held(count, sock::kNoSocket);
  while (!stop) {
    for (sock::Socket& socket : held) {
      if (socket != sock::kNoSocket) {
        char bytes[512];
        if (sock::Receive(socket, bytes, sizeof bytes, 0) == sock::kTimedOut) continue;
        sock::Close(socket);
      }
      socket = sock::Connect(target.port, source);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (sock::Socket socket : held) sock::Close(socket);
}

bool LoginSlots(const std::string& server, const std::string& folder) {
  korvane::load::ServerProcess program;
  std::string error;
  if (!program.Start(server, ServerArgs(folder, {}), {}, error)) return false;
  const Target target{program.Port()};
  std::atomic<bool> stop{false};
  std::thread first([&] { HoldSilent(target, "127.0.2.1", 64, stop); });
  std::thread second([&] { HoldSilent(target, "127.0.2.2", 64, stop); });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  Samples logins;
  const auto start = Clock::now();
  for (int i = 0; i < 30; ++i) {
    while (MsSince(start) < i * 2000.0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    korvane::load::WireConnection player;
    const crowd::Login login = crowd::ConnectAndLogIn(player, target, "127.0.2.3", 5000);
    logins.Add(login.ok ? login.promptMs : -1, login.error);
  }
  stop = true;
  first.join();
  second.join();
  std::printf("login slots, 2 addresses x 64 silent connections renewed, a third logging in "
              "every 2 s for 60 s:\n  %s (target: every login, p99 <= 1000 ms)\n",
              Summary(logins).c_str());
  return program.Stop(10000);
}

// A port that was free a moment ago.
uint16_t FreePort() {
  int port = 0;
  sock::Close(sock::Listen(port));
  return static_cast<uint16_t>(port);
}

bool LogFlood(const std::string& server, const std::string& folder, const crowd::Image& image,
              const std::string& work) {
  korvane::load::ServerProcess quiet;
  std::string error;
  if (!quiet.Start(server, ServerArgs(folder, {}), {}, error)) return false;
  const Samples calm = PlayerRuns({quiet.Port()}, image, "127.0.3.1", kReadSeconds);
  quiet.Stop(10000);

  const std::string fifo = work + "/log.fifo";
  ::mkfifo(fifo.c_str(), 0600);
  const int undrained = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // never read
  const uint16_t port = FreePort();
  korvane::test::ChildProcess program;
  std::vector<std::string> args = ServerArgs(folder, {"--bind", "127.0.0.1", "--port",
                                                      std::to_string(port)});
  if (undrained < 0 || !program.Start(server, args, fifo)) return false;
  for (int i = 0; i < 100 && sock::Connect(port) == sock::kNoSocket; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::atomic<bool> stop{false};
  std::atomic<long> made{0};
  std::vector<std::thread> flood;
  for (int a = 1; a <= 8; ++a) {
    flood.emplace_back([&, a] {
      const std::string source = "127.0.4." + std::to_string(a);
      while (!stop) {
        sock::Close(sock::Connect(port, source.c_str()));
        ++made;
      }
    });
  }
  const auto start = Clock::now();
  const Samples flooded = PlayerRuns({port}, image, "127.0.3.2", kReadSeconds);
  const double seconds = MsSince(start) / 1000;
  stop = true;
  for (std::thread& thread : flood) thread.join();
  std::printf("log never drained, %.0f connections a second from 8 addresses:\n"
              "  a player's runs: %s\n  quiet, the log drained: %s\n  (target: p99 within "
              "+10 ms of quiet)\n",
              made / seconds, Summary(flooded).c_str(), Summary(calm).c_str());
  const bool stopped = program.Terminate(10000);
  ::close(undrained);
  return stopped;
}

bool Hoarders(const std::string& server, const std::string& folder, const crowd::Image& image) {
  korvane::load::ServerProcess program;
  std::string error;
  if (!program.Start(server, ServerArgs(folder, {"--run-max", "4096"}), {}, error)) return false;
  const Target target{program.Port()};
  const Samples calm = PlayerRuns(target, image, "127.0.5.1", kReadSeconds);
  const long idleKiB = program.MemoryKiB("VmRSS");
  std::string doubling;
  for (uint32_t lsn = 0, length = 16; lsn + length < kDiscSectors; lsn += length, length *= 2) {
    doubling += korvane::wire::BuildSectorRequest(3, lsn);
  }
  std::vector<std::unique_ptr<korvane::load::WireConnection>> hoarders;
  int refused = 0;
  for (int i = 0; i < 200; ++i) {
    auto client = std::make_unique<korvane::load::WireConnection>();
    const std::string source = "127.0.6." + std::to_string(1 + i / 10);
    if (!client->Connect(target.port, "127.0.0.1", source) ||
        !korvane::load::LogInAndChoose(*client, "bench", "bench", 0, 5000, error) ||
        !client->Send(doubling)) {
      ++refused;
      continue;
    }
    hoarders.push_back(std::move(client));
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const Samples during = PlayerRuns(target, image, "127.0.5.2", kReadSeconds);
  const long heldKiB = program.MemoryKiB("VmRSS");
  std::printf("200 clients asking for doubling runs at --run-max 4096 and never reading (%d "
              "refused):\n  server memory %.1f MiB, idle %.1f MiB + budget 128 MiB = %.1f MiB "
              "(target: at most that)\n  a player's runs: %s\n  quiet: %s (target: p99 "
              "unchanged)\n",
              refused, heldKiB / 1024.0, idleKiB / 1024.0, idleKiB / 1024.0 + 128,
              Summary(during).c_str(), Summary(calm).c_str());
  hoarders.clear();
  return program.Stop(10000);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string server = argc > 1 ? argv[1] : KORVANE_SERVER_PROGRAM;
  bench::WorkFolder work("korvane-guard-bench");
  const bench::Disc disc = bench::MakeDisc(work.Path(), kDiscSectors);
  const bench::MappedImage mapped(disc);
  if (!mapped.Data()) return 1;
  const crowd::Image image{mapped.Data(), disc.sectors};
  std::printf("server: %s, a disc of %u sectors (%.0f MB) read in mode 3, every run checked; "
              "a fresh program for each figure\n",
              server.c_str(), disc.sectors, disc.sectors * 2048 / 1e6);
  const bool ok = LoginSlots(server, disc.folder) &&
                  LogFlood(server, disc.folder, image, work.Path()) &&
                  Hoarders(server, disc.folder, image);
  return ok ? 0 : 1;
}
