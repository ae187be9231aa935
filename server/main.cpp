// korvane-server: the disc server program. It parses the command line, starts a DiscServer
// and waits for SIGINT or SIGTERM, then stops the server and exits with status 0.
#include <pthread.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "server/DiscServer.h"
#include "server/ServerOptions.h"

namespace {

// Lets the server hold as many connections and images as the system allows this process.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace korvane::server;
  ServerConfig config;
  std::string error;
  switch (ParseServerOptions(argc, argv, config, error)) {
    case OptionsOutcome::kHelp:
      std::fputs(ServerHelpText(), stdout);
      return 0;
    case OptionsOutcome::kError:
      std::fprintf(stderr, "korvane-server: %s (see --help)\n", error.c_str());
      return 2;
    case OptionsOutcome::kRun:
      break;
  }
  // Blocked here, the signals stay blocked in every worker thread and reach sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();

  DiscServer server(config);
  if (!server.Start(error)) {
    std::fprintf(stderr, "korvane-server: %s\n", error.c_str());
    return 1;
  }
  int received = 0;
  sigwait(&stopSignals, &received);
  server.Stop();
  return 0;
}
