// crowd_bench: the disc server program in a crowd and in a flood, each beside its figures
// when idle. The program runs as a child (any build of it: --server), bound to loopback
// (to every address with --network-readers) and quiet, a fresh one for each of three
// phases:
//   idle   login-to-prompt and first-run-after-a-seek times, and one reader's throughput;
//   crowd  connections that logged in and say nothing, readers at compression level 1 (with
//          --network-readers, from this machine's non-loopback address, which the server
//          compresses for) and at level 0 (loopback), all reading on for a while and checking every sector; the
//          same times meanwhile, the total throughput against one reader's, and the server's
//          memory at start, at its peak and at rest once every client has gone;
//   flood  thousands of connections from one address that never log in, while a real client
//          from another logs in and reads its first sector; the server's descriptors and
//          what it made of the flood's connections.
// Loopback clients are spread over source addresses 127.0.x.y, so that a server capping the
// connections of one address takes them; a connection the server refuses is counted and
// shown with the server's text. Exits non-zero only when the server cannot be started or
// does not exit cleanly, or the bench itself cannot run: a slow figure is only printed.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "BenchSupport.h"
#include "CrowdPhases.h"

namespace {

const char kUsage[] =
    "usage: crowd_bench [options]\n"
    "  --server PATH          the server program to measure (default: this tree's)\n"
    "  --server-arg ARG       an argument passed on to it (repeatable)\n"
    "  --seconds S            how long the crowd reads (default 20)\n"
    "  --idle N               idle connections of the crowd (default 500)\n"
    "  --level1-readers N     crowd readers from the non-loopback address (default 60)\n"
    "  --network-readers      read them from that address: the server, open to anyone,\n"
    "                         listens on every address while the bench runs (default:\n"
    "                         loopback alone, and those readers use it too)\n"
    "  --level0-readers N     crowd readers on loopback (default 200)\n"
    "  --flood N              connections of the flood (default 5000)\n"
    "  --flood-seconds S      how long the flood stands (default 3)\n"
    "  --samples N            logins and seeks timed on the idle server (default 100)\n";

constexpr uint32_t kDiscSectors = 150000;  // 307 MB

// Reads the number after an option into value; false when it is missing or out of range.
bool Number(int argc, char** argv, int& i, double low, double high, double& value) {
  if (i + 1 >= argc) return false;
  char* end = nullptr;
  value = std::strtod(argv[++i], &end);
  return end != argv[i] && *end == '\0' && value >= low && value <= high;
}

// Fills options from the command line; false when it is not understood.
bool ParseOptions(int argc, char** argv, crowd::Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    double value = 0;
    if ((name == "--server" || name == "--server-arg") && i + 1 < argc) {
      if (name == "--server") {
        options.server = argv[++i];
      } else {
        options.serverArgs.emplace_back(argv[++i]);
      }
    } else if (name == "--network-readers") {
      options.networkReaders = true;
    } else if (name == "--seconds" || name == "--flood-seconds") {
      if (!Number(argc, argv, i, 0.5, 3600, value)) return false;
      (name == "--seconds" ? options.seconds : options.floodSeconds) = value;
    } else if (name == "--idle" || name == "--level1-readers" || name == "--level0-readers" ||
               name == "--flood" || name == "--samples") {
      if (!Number(argc, argv, i, name == "--samples" ? 1 : 0, 100000, value)) return false;
      int& target = name == "--idle"             ? options.idle
                    : name == "--level1-readers" ? options.level1Readers
                    : name == "--level0-readers" ? options.level0Readers
                    : name == "--flood"          ? options.flood
                                                 : options.samples;
      target = static_cast<int>(value);
    } else {
      return false;
    }
  }
  return true;
}

// Makes room for every connection the bench holds at once, or shrinks the phases that would
// not fit under the hard limit (and says so).
void FitDescriptors(crowd::Options& options) {
  const long crowdNeeds = options.idle + options.level1Readers + options.level0Readers;
  const long wanted = std::max<long>(crowdNeeds, options.flood) + 256;
  const long limit = crowd::RaiseDescriptorLimit(wanted);
  if (limit >= wanted) return;
  std::printf(
      "NOTE: this process may open %ld descriptors only; the flood and the crowd are "
      "cut to fit\n",
      limit);
  options.flood = std::min<long>(options.flood, std::max(0L, limit - 256));
  options.idle = static_cast<int>(std::min<long>(
      options.idle, std::max(0L, limit - 256 - options.level1Readers - options.level0Readers)));
}

void PrintHeader(const crowd::Options& options, const crowd::Image& image) {
  std::string args;
  for (const std::string& arg : options.serverArgs) args += " " + arg;
  std::printf("server: %s --folder DIR --allow-anyone --quiet%s --bind %s --port 0\n",
              options.server.c_str(), args.c_str(), options.Bind());
  std::printf(
      "disc: %u sectors (%.0f MB), read in mode 3; every sector is inflated and checked by the "
      "clients,\nwhich share the machine (%u processors) with the server; a fresh server for "
      "each phase\n",
      image.sectors, image.sectors * 2048 / 1e6, std::thread::hardware_concurrency());
}

}  // namespace

int main(int argc, char** argv) {
  crowd::Options options;
  options.server = KORVANE_SERVER_PROGRAM;
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  FitDescriptors(options);
  bench::WorkFolder work("korvane-crowd-bench");
  const bench::Disc disc = bench::MakeDisc(work.Path(), kDiscSectors);
  const bench::MappedImage mapped(disc);
  if (!mapped.Data()) {
    std::fprintf(stderr, "cannot map %s\n", disc.image.c_str());
    return 1;
  }
  crowd::Phases phases(options, disc.folder, {mapped.Data(), disc.sectors});
  PrintHeader(options, phases.image);
  const bool ok = phases.Run();
  return ok ? 0 : 1;
}
