// The disc server's settings and the command line that sets them. Tests fill a ServerConfig
// directly; the program parses its arguments into one with ParseServerOptions.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace korvane::server {

// The compression level chosen for each connection from where its client is and how fast its
// link is: stored blocks (level 0) for a client on the loopback interface or on a link seen
// to carry more than kStoredAboveBytesPerSecond, level 1 for any other.
inline constexpr int kLevelAuto = -1;

struct ServerConfig {
  std::string folder;
  std::string bindAddress = "0.0.0.0";
  uint16_t port = 35000;  // 0: any free port (DiscServer::Port tells which)
  std::string accountsFile;
  bool allowAnyone = false;
  int level = kLevelAuto;  // 0 to 9, or kLevelAuto
  uint32_t runMin = 16;
  uint32_t runMax = 1024;
  bool single = false;
  uint32_t delayMs = 0;
  uint32_t messageGapMs = 100;
  unsigned threads = 0;          // 0: one per hardware thread
  unsigned compressThreads = 0;  // threads making long runs; 0: one per hardware thread
  bool quiet = false;
  // Limits on who may hold a connection; 0 turns a limit off.
  size_t maxConnections = 1000;
  size_t maxPerAddress = 64;
  size_t maxLoggingIn = 128;            // connections that have not logged in yet
  size_t maxLoggingInPerAddress = 16;   // of those, from one address
  uint32_t idleTimeoutMs = 30 * 60000;  // a logged-in session that asks nothing this long
  // The reply bytes all sessions may hold at once before their runs shrink to the minimum
  // and none is made ahead (0: no budget).
  uint64_t replyBudgetBytes = uint64_t{128} << 20;
  uint32_t maxLoginDelayMs = 2000;  // the longest wait failed logins earn a user of an address
  // Each connection starts with a balancer's PROXY header naming the client, whose address
  // then counts for the limits, the throttle, the compression level and the log.
  bool proxyProtocol = false;
  // The balancers ("ADDR" or "ADDR/PREFIX") whose headers are trusted; none named: loopback.
  std::vector<std::string> proxyFrom;
  // Not on the command line: where the log goes (tests give a pipe they may leave undrained).
  std::FILE* logOutput = stdout;
  // Not on the command line: limits that tests shorten.
  uint32_t loginTimeoutMs = 30000;
  uint32_t drainTimeoutMs = 2000;   // how long a closing connection reads what is left
  uint32_t writeTimeoutMs = 60000;  // how long one reply may wait for the client to take it
  uint32_t preparedKeepMs = 10000;  // how long a run made ahead waits for its request
  size_t pendingLimit = 64 * 1024;  // received bytes kept waiting for a message's end
  // The clock that times each client's link (when its runs leave and its requests come);
  // tests step one by hand to play a link of any speed. Called from any worker thread.
  std::function<std::chrono::steady_clock::time_point()> linkClock = std::chrono::steady_clock::now;
};

inline constexpr uint32_t kMaxRunSectors = 4096;

enum class OptionsOutcome { kRun, kHelp, kError };

// Parses the program's arguments (argv[0] is skipped) into config; kError with error when
// they are wrong, kHelp when --help was asked for.
OptionsOutcome ParseServerOptions(int argc, const char* const* argv, ServerConfig& config,
                                  std::string& error);

// The text that --help prints.
std::string ServerHelpText();

}  // namespace korvane::server
