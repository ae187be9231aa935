// Command-line parsing of the disc server.
#include "server/ServerOptions.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "server/LinkRate.h"
#include "server/PeerAddress.h"

namespace korvane::server {
namespace {

static_assert(kRunTarget == std::chrono::milliseconds(30) && kRunRoundTrips == 4 &&
                  kStoredAboveBytesPerSecond == 80e6,
              "the help below tells both");

const char kHelp[] =
    "Usage: korvane-server --folder DIR (--accounts FILE | --allow-anyone) [options]\n"
    "\n"
    "Serves the disc images of a folder to KorvaneCDVD plugins over TCP.\n"
    "\n"
    "  --folder DIR          serve the .iso, .bin and .img files directly inside DIR (any\n"
    "                        letter case), listed in name order; required. A symbolic\n"
    "                        link in DIR is followed, wherever it leads. A client selects\n"
    "                        one of the first 256 only, and takes a list of at most 1 MiB:\n"
    "                        images past that are not listed, and the log names them\n"
    "  --accounts FILE       accept the logins of FILE: one user:password per line (the\n"
    "                        password may hold ':'), blank lines and # comments ignored\n"
    "  --allow-anyone        accept any user name and password\n"
    "  --port N              TCP port to listen on (default 35000; 0 picks a free one)\n"
    "  --bind ADDR           address to listen on (default 0.0.0.0)\n"
    "  --level N|auto        zlib compression level of sector runs: 0 (stored blocks, no\n"
    "                        compression) to 9, or auto (the default): 0 for a client on\n"
    "                        the loopback interface (127.0.0.0/8 or ::1) or on a link seen\n"
    "                        to carry more than 80 MB/s, where compressing costs more time\n"
    "                        than it saves, and 1 for any other client\n"
    "  --run-min N           sectors in a run that starts a read (default 16)\n"
    "  --run-max N           sectors in a run at most, reached by doubling while reads\n"
    "                        continue where the last run ended (default 1024, at most 4096);\n"
    "                        a client not on the loopback interface gets no more than its\n"
    "                        link was seen to carry in four round trips, or in 30 ms when\n"
    "                        that is longer (never fewer than --run-min)\n"
    "  --single              answer every request with one uncompressed sector\n"
    "  --delay-ms N          hold every sector reply N ms, to play a slow network (default 0)\n"
    "  --message-gap-ms N    pause between the greeting, disc list and disc prompt\n"
    "                        (default 100)\n"
    "  --threads N           worker threads (default: one per hardware thread)\n"
    "  --compress-threads N  threads that read and compress the longer runs (over\n"
    "                        256 KiB), at a lower priority than the connections\n"
    "                        (default: one per hardware thread)\n"
    "  --max-connections N   connections held at once (default 1000; 0: no limit); the\n"
    "                        server also keeps below what its descriptor limit allows\n"
    "  --max-per-address N   connections from one client address (default 64; 0: no\n"
    "                        limit)\n"
    "  --max-logging-in N    connections that have not logged in yet (default 128; 0: no\n"
    "                        limit); a connection over any limit gets a text and is closed\n"
    "  --idle-minutes N      close a logged-in connection that asks for nothing this long\n"
    "                        (default 30; 0: never; decimals allowed, as 0.05 for 3 s)\n"
    "  --max-login-delay-ms N  each failed login from an address delays the next login\n"
    "                        check from it, doubling from 100 ms up to N (default 5000;\n"
    "                        0: no delay)\n"
    "  --proxy-protocol      behind a TCP balancer that sends the PROXY protocol header\n"
    "                        (version 1) first on each connection: the client address it\n"
    "                        names is the one limited, throttled and logged; a connection\n"
    "                        without the header is closed\n"
    "  --proxy-from ADDR[/PREFIX]  with --proxy-protocol: a balancer (an address, or a\n"
    "                        range of them) whose headers are trusted; repeat it for each.\n"
    "                        A connection from any other address is refused with a text;\n"
    "                        a balancer's own connection (PROXY UNKNOWN) counts under the\n"
    "                        balancer's address. Without it, only loopback is trusted\n"
    "  --quiet               write no log lines\n"
    "  --help                print this help and exit\n"
    "\n"
    "Logs one line per connection event on standard output. SIGINT, SIGTERM or SIGHUP\n"
    "stops the server: it closes every connection and exits with status 0. Nothing is\n"
    "reloaded: restart the server to serve a changed folder or accounts file.\n";

bool LimitOption(std::string_view name, const char* value, ServerConfig& config,
                 std::string& error);

bool ParseNumber(std::string_view text, uint64_t low, uint64_t high, uint64_t& value) {
  if (text.empty() || text.size() > 10) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value >= low && value <= high;
}

// Reads the value of a numeric option into target; false with error when it is missing or
// out of range.
// Minutes with up to three decimals ("30", "0.05"), at most 10000, into milliseconds.
bool ParseMinutes(std::string_view text, uint32_t& milliseconds) {
  const size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  std::string_view decimals = point == std::string_view::npos ? "" : text.substr(point + 1);
  uint64_t minutes = 0, fraction = 0;
  if (!ParseNumber(whole, 0, 10000, minutes)) return false;
  if (point != std::string_view::npos) {
    if (decimals.size() > 3 || !ParseNumber(decimals, 0, 999, fraction)) return false;
    for (size_t i = decimals.size(); i < 3; ++i) fraction *= 10;
  }
  const uint64_t total = minutes * 60000 + fraction * 60;
  if (total > uint64_t{10000} * 60000) return false;
  milliseconds = static_cast<uint32_t>(total);
  return true;
}

template <typename T>
bool NumberOption(std::string_view name, const char* value, uint64_t low, uint64_t high, T& target,
                  std::string& error) {
  uint64_t number = 0;
  if (value == nullptr || !ParseNumber(value, low, high, number)) {
    error = std::string(name) + " needs a number from " + std::to_string(low) + " to " +
            std::to_string(high);
    return false;
  }
  target = static_cast<T>(number);
  return true;
}

// Applies one option that takes a value; false with error when it is wrong or unknown.
bool ValueOption(std::string_view name, const char* value, ServerConfig& config,
                 std::string& error) {
  if (name == "--proxy-from") {
    AddressRange range;
    if (value == nullptr || !ParseAddressRange(value, range)) {
      error = "--proxy-from needs an address or ADDR/PREFIX";
      return false;
    }
    config.proxyFrom.emplace_back(value);
    return true;
  }
  if (name == "--folder" || name == "--bind" || name == "--accounts") {
    if (value == nullptr || *value == '\0') {
      error = std::string(name) + " needs a value";
      return false;
    }
    std::string& target = name == "--folder" ? config.folder
                          : name == "--bind" ? config.bindAddress
                                             : config.accountsFile;
    target = value;
    return true;
  }
  if (name == "--port") return NumberOption(name, value, 0, 65535, config.port, error);
  if (name == "--level") {
    if (value != nullptr && std::string_view(value) == "auto") {
      config.level = kLevelAuto;
      return true;
    }
    if (NumberOption(name, value, 0, 9, config.level, error)) return true;
    error = "--level needs auto or a number from 0 to 9";
    return false;
  }
  if (name == "--run-min") {
    return NumberOption(name, value, 1, kMaxRunSectors, config.runMin, error);
  }
  if (name == "--run-max") {
    return NumberOption(name, value, 1, kMaxRunSectors, config.runMax, error);
  }
  if (name == "--delay-ms") return NumberOption(name, value, 0, 60000, config.delayMs, error);
  if (name == "--message-gap-ms") {
    return NumberOption(name, value, 0, 10000, config.messageGapMs, error);
  }
  if (name == "--threads") return NumberOption(name, value, 1, 256, config.threads, error);
  return LimitOption(name, value, config, error);
}

// Applies one of the options that limit connections; false with error when it is wrong or
// unknown.
bool LimitOption(std::string_view name, const char* value, ServerConfig& config,
                 std::string& error) {
  if (name == "--compress-threads") {
    return NumberOption(name, value, 1, 256, config.compressThreads, error);
  }
  if (name == "--max-connections") {
    return NumberOption(name, value, 0, 1000000, config.maxConnections, error);
  }
  if (name == "--max-per-address") {
    return NumberOption(name, value, 0, 1000000, config.maxPerAddress, error);
  }
  if (name == "--max-logging-in") {
    return NumberOption(name, value, 0, 1000000, config.maxLoggingIn, error);
  }
  if (name == "--idle-minutes") {
    if (value != nullptr && ParseMinutes(value, config.idleTimeoutMs)) return true;
    error =
        "--idle-minutes needs a number of minutes from 0 to 10000, with at most three "
        "decimals";
    return false;
  }
  if (name == "--max-login-delay-ms") {
    return NumberOption(name, value, 0, 600000, config.maxLoginDelayMs, error);
  }
  error = "unknown option " + std::string(name);
  return false;
}

bool CheckConfig(const ServerConfig& config, std::string& error) {
  if (config.folder.empty()) {
    error = "--folder is required";
  } else if (config.accountsFile.empty() == !config.allowAnyone) {
    error = "give either --accounts FILE or --allow-anyone";
  } else if (config.runMin > config.runMax) {
    error = "--run-min is above --run-max";
  } else if (!config.proxyFrom.empty() && !config.proxyProtocol) {
    error = "--proxy-from needs --proxy-protocol";
  } else {
    return true;
  }
  return false;
}

}  // namespace

OptionsOutcome ParseServerOptions(int argc, const char* const* argv, ServerConfig& config,
                                  std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--help" || name == "-h") return OptionsOutcome::kHelp;
    if (name == "--single") {
      config.single = true;
    } else if (name == "--quiet") {
      config.quiet = true;
    } else if (name == "--allow-anyone") {
      config.allowAnyone = true;
    } else if (name == "--proxy-protocol") {
      config.proxyProtocol = true;
    } else {
      const char* value = i + 1 < argc ? argv[++i] : nullptr;
      if (!ValueOption(name, value, config, error)) return OptionsOutcome::kError;
    }
  }
  return CheckConfig(config, error) ? OptionsOutcome::kRun : OptionsOutcome::kError;
}

const char* ServerHelpText() {
  return kHelp;
}

}  // namespace korvane::server
