// korvane-shaper: the link shaper as a program of its own, so that a player under Wine can
// reach a disc server over a modelled link (a round trip and a bandwidth) on loopback.
// It prints the port it listens on, relays until SIGTERM or SIGINT (or until its standard
// input closes, when that is a pipe), then prints what it carried.
//
//   korvane-shaper --server-port Q [--listen-port P] [--rtt-ms MS] [--mbps MB/s]
//                  [--client-address A]
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "LinkShaper.h"

namespace {

const char* const kHelp =
    "usage: korvane-shaper --server-port Q [--listen-port P] [--rtt-ms MS] [--mbps MB/s]\n"
    "Relays every client of 127.0.0.1:P to 127.0.0.1:Q as over a link of MS milliseconds\n"
    "round trip (half of it each way) and MB/s megabytes (10^6 bytes) a second each way.\n"
    "  --listen-port P   the port to listen on (default 0: one of the system's choosing)\n"
    "  --rtt-ms MS       round trip (default 50)\n"
    "  --mbps MB/s       bandwidth each way (default 8; 0: no limit)\n"
    "  --client-address A  open each connection with a PROXY protocol header naming the\n"
    "                    IPv4 address A as the client's (for a server run with\n"
    "                    --proxy-protocol, which then sees a client on a network)\n"
    "Prints \"listening on 127.0.0.1:P\" once ready; stops on SIGTERM or SIGINT, or when its\n"
    "standard input is a pipe and closes.\n";

struct Options {
  int serverPort = 0;
  int listenPort = 0;
  korvane::test::LinkSetting link{50, 8};
};

// Parses argv into options; false with the help or the error printed.
bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[++i] : nullptr;
    if (arg == "--help" || !value) {
      std::fputs(kHelp, arg == "--help" ? stdout : stderr);
      return false;
    }
    if (arg == "--server-port") {
      o.serverPort = std::atoi(value);
    } else if (arg == "--listen-port") {
      o.listenPort = std::atoi(value);
    } else if (arg == "--rtt-ms") {
      o.link.rttMs = std::atof(value);
    } else if (arg == "--mbps") {
      o.link.megabytesPerSecond = std::atof(value);
    } else if (arg == "--client-address") {
      o.link.clientAddress = value;
    } else {
      std::fprintf(stderr, "bad option %s\n%s", arg.c_str(), kHelp);
      return false;
    }
  }
  if (o.serverPort > 0) return true;
  std::fprintf(stderr, "no --server-port\n%s", kHelp);
  return false;
}

// When standard input is a pipe, its close (the parent went away) stops the program as
// SIGTERM does; /dev/null or a terminal is not watched.
void WatchStandardInput() {
  struct stat in {};
  if (::fstat(0, &in) != 0 || !(S_ISFIFO(in.st_mode) || S_ISSOCK(in.st_mode))) return;
  std::thread([] {
    char chunk[256];
    while (::read(0, chunk, sizeof chunk) > 0) {
    }
    ::kill(::getpid(), SIGTERM);
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) return argc > 1 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
  // Every thread leaves the stopping signals to sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  korvane::test::LinkShaper shaper(o.serverPort, o.link, o.listenPort);
  if (shaper.Port() == 0) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", o.listenPort);
    return 1;
  }
  std::printf("listening on 127.0.0.1:%d, relaying to 127.0.0.1:%d over %.1f ms round trip, ",
              shaper.Port(), o.serverPort, o.link.rttMs);
  if (o.link.megabytesPerSecond > 0) {
    std::printf("%.2f MB/s each way\n", o.link.megabytesPerSecond);
  } else {
    std::printf("no bandwidth limit\n");
  }
  std::fflush(stdout);
  WatchStandardInput();
  int signal = 0;
  sigwait(&stop, &signal);
  std::printf("stopped: %d connections, %llu bytes to the server, %llu bytes to the clients\n",
              shaper.Accepted(), static_cast<unsigned long long>(shaper.BytesToServer()),
              static_cast<unsigned long long>(shaper.BytesToClients()));
  return 0;
}
