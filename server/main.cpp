// korvane-server: the disc server program. It parses the command line, starts a DiscServer
// and waits for SIGINT, SIGTERM or SIGHUP (or, on Windows, Ctrl+Break), then stops the
// server and exits with status 0. SIGHUP stops it too rather than reloading: a terminal
// that closes sends it, and the operator restarts the server to serve a changed folder.
#include <csignal>
#include <cstdio>
#include <string>

#include <asio.hpp>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "server/DiscServer.h"
#include "server/ServerOptions.h"

namespace {

// Lets the server hold as many connections and images as the system allows this process,
// and keeps a write to a vanished client from killing it.
void PrepareProcess() {
#ifndef _WIN32
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  using namespace korvane::server;
  ServerConfig config;
  std::string error;
  switch (ParseServerOptions(argc, argv, config, error)) {
    case OptionsOutcome::kHelp:
      std::fputs(ServerHelpText().c_str(), stdout);
      return 0;
    case OptionsOutcome::kError:
      std::fprintf(stderr, "korvane-server: %s (see --help)\n", error.c_str());
      return 2;
    case OptionsOutcome::kRun:
      break;
  }
  PrepareProcess();
  // The signals are caught before the server starts, so that one arriving while it starts
  // still stops it cleanly.
  asio::io_context waiting;
  asio::signal_set stopSignals(waiting, SIGINT, SIGTERM);
#ifdef SIGBREAK
  stopSignals.add(SIGBREAK);
#endif
#ifdef SIGHUP
  stopSignals.add(SIGHUP);
#endif
  stopSignals.async_wait([](const std::error_code&, int) {});

  DiscServer server(config);
  if (!server.Start(error)) {
    std::fprintf(stderr, "korvane-server: %s\n", error.c_str());
    return 1;
  }
  waiting.run();
  server.Stop();
  return 0;
}
