// The disc server's command line and configuration file, on CLI11: each option with its
// check and its line of the generated --help. A configuration file (--config FILE, read by
// ConfigFile.h) holds the same options, one "name = value" a line with the name as on the
// command line without its dashes (a switch: "name = true", a repeated option:
// "name = [a, b]"); the command line wins over it. Its lines are given to the options in
// file order, as the command line's arguments are, so that an option given twice keeps its
// last value and --proxy-from gathers every one, on either.
#include "server/ServerOptions.h"

#include <CLI/CLI.hpp>
#include <set>
#include <string_view>

#include "server/ConfigFile.h"
#include "server/LinkRate.h"
#include "server/PeerAddress.h"

namespace korvane::server {
namespace {

static_assert(kRunTarget == std::chrono::milliseconds(30) && kRunRoundTrips == 4 &&
                  kStoredAboveBytesPerSecond == 80e6,
              "the help below tells both");

// Values read as text, made into settings once every option is read.
struct RawValues {
  std::string level = "auto";
  std::string idleMinutes;
  std::string configFile;
  uint64_t replyBudgetMb = 128;
};

bool ParseNumber(std::string_view text, uint64_t low, uint64_t high, uint64_t& value) {
  if (text.empty() || text.size() > 10) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value >= low && value <= high;
}

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

// An option that takes a whole number from low to high.
template <typename T>
CLI::Option* AddNumber(CLI::App& app, const char* name, T& target, uint64_t low, uint64_t high,
                       const char* help) {
  return app.add_option(name, target, help)
      ->type_name("N")
      ->check(CLI::Range(low, high).description(""));
}

// What is served, where, and to whom.
void AddServingOptions(CLI::App& app, ServerConfig& config) {
  app.add_option("--folder", config.folder,
                 "serve the .iso, .bin and .img files directly inside DIR (any letter case), "
                 "listed in name order; required. A symbolic link in DIR is followed, "
                 "wherever it leads. A client selects one of the first 256 only, and takes a "
                 "list of at most 1 MiB: images past that are not listed, and the log names "
                 "them. The folder is read once, at start, and each image held open: one "
                 "deleted or replaced later is still served as it was, and keeps its disk "
                 "space, until the server restarts")
      ->type_name("DIR");
  app.add_option("--accounts", config.accountsFile,
                 "accept the logins of FILE: one user:password per line (the password may "
                 "hold ':'), blank lines and lines starting with # ignored; blanks around a "
                 "user name are dropped, and the log warns of them and of any account that "
                 "can never log in")
      ->type_name("FILE");
  app.add_flag("--allow-anyone", config.allowAnyone, "accept any user name and password");
  AddNumber(app, "--port", config.port, 0, 65535,
            "TCP port to listen on (default 35000; 0 picks a free one)");
  app.add_option("--bind", config.bindAddress, "address to listen on (default 0.0.0.0)")
      ->type_name("ADDR");
  app.add_flag("--quiet", config.quiet, "write no log lines");
}

// How requests are answered.
void AddRunOptions(CLI::App& app, ServerConfig& config, RawValues& raw) {
  app.add_option("--level", raw.level,
                 "zlib compression level of sector runs: 0 (stored blocks, no compression) to "
                 "9, or auto (the default): 0 for a client on the loopback interface "
                 "(127.0.0.0/8 or ::1) or on a link seen to carry more than 80 MB/s, where "
                 "compressing costs more time than it saves, and 1 for any other client")
      ->type_name("N|auto");
  AddNumber(app, "--run-min", config.runMin, 1, kMaxRunSectors,
            "sectors in a run that starts a read (default 16)");
  AddNumber(app, "--run-max", config.runMax, 1, kMaxRunSectors,
            "sectors in a run at most, reached by doubling while reads continue where the "
            "last run ended (default 1024, at most 4096); a client not on the loopback "
            "interface gets no more than its link was seen to carry in four round trips, or "
            "in 30 ms when that is longer (never fewer than --run-min)");
  app.add_flag("--single", config.single, "answer every request with one uncompressed sector");
  AddNumber(app, "--delay-ms", config.delayMs, 0, 60000,
            "hold every sector reply N ms, to play a slow network (default 0)");
  AddNumber(app, "--message-gap-ms", config.messageGapMs, 0, 10000,
            "pause between the greeting, disc list and disc prompt (default 100)");
  AddNumber(app, "--threads", config.threads, 1, 256,
            "worker threads (default: one per hardware thread)");
  AddNumber(app, "--compress-threads", config.compressThreads, 1, 256,
            "threads that read and compress the longer runs (over 256 KiB), at a lower "
            "priority than the connections (default: one per hardware thread)");
}

// Who may hold a connection, and for how long.
void AddLimitOptions(CLI::App& app, ServerConfig& config, RawValues& raw) {
  AddNumber(app, "--max-connections", config.maxConnections, 0, 1000000,
            "connections held at once (default 1000; 0: no limit); the server also keeps "
            "below what its descriptor limit allows");
  AddNumber(app, "--max-per-address", config.maxPerAddress, 0, 1000000,
            "connections from one client address (default 64; 0: no limit)");
  AddNumber(app, "--max-logging-in", config.maxLoggingIn, 0, 1000000,
            "connections that have not logged in yet (default 128; 0: no limit); when "
            "they are all taken, a newcomer from an address that holds fewer of them "
            "takes the place of the oldest silent one of the address that holds the most");
  AddNumber(app, "--max-logging-in-per-address", config.maxLoggingInPerAddress, 0, 1000000,
            "connections from one client address that have not logged in yet (default "
            "16; 0: no limit); a connection over any limit gets a text and is closed");
  app.add_option("--idle-minutes", raw.idleMinutes,
                 "close a logged-in connection that asks for nothing this long (default 30; "
                 "0: never; decimals allowed, as 0.05 for 3 s)")
      ->type_name("N");
  AddNumber(app, "--reply-budget-mb", raw.replyBudgetMb, 0, 1000000,
            "MiB of replies all clients may hold at once, queued until taken in or made "
            "ahead (default 128; 0: no budget); past it runs shrink to --run-min sectors "
            "and none is made ahead, so a crowd that never reads cannot exhaust memory");
  AddNumber(app, "--max-login-delay-ms", config.maxLoginDelayMs, 0, 600000,
            "each failed login of a user from an address delays the next check of that "
            "user's logins from it, doubling from 100 ms up to N (default 2000, below the "
            "3 s a client waits for its prompt; 0: no delay)");
}

// Behind a balancer.
void AddProxyOptions(CLI::App& app, ServerConfig& config) {
  app.add_flag("--proxy-protocol", config.proxyProtocol,
               "behind a TCP balancer that sends the PROXY protocol header (version 1) first "
               "on each connection: the client address it names is the one limited, "
               "throttled and logged; a connection without the header is closed");
  const CLI::Validator range(
      [](std::string& text) {
        AddressRange parsed;
        return ParseAddressRange(text, parsed) ? std::string()
                                               : "--proxy-from needs an address or ADDR/PREFIX";
      },
      "");
  app.add_option("--proxy-from", config.proxyFrom,
                 "with --proxy-protocol: a balancer (an address, or a range of them) whose "
                 "headers are trusted; repeat it for each. A connection from any other "
                 "address is refused with a text; a balancer's own connection (PROXY "
                 "UNKNOWN) counts under the balancer's address. Without it, only loopback is "
                 "trusted; 0.0.0.0/0 or ::/0 trusts every client to name itself, and the log "
                 "warns of it")
      ->type_name("ADDR[/PREFIX]")
      ->check(range)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// The whole command line, filling config and raw.
void DescribeCommandLine(CLI::App& app, ServerConfig& config, RawValues& raw) {
  app.description(
      "Serves the disc images of a folder to KorvaneCDVD plugins over TCP: give --folder DIR, "
      "and --accounts FILE or --allow-anyone.");
  app.footer(
      "Logs one line per connection event on standard output. SIGINT, SIGTERM or SIGHUP "
      "stops the server: it closes every connection and exits with status 0. Nothing is "
      "reloaded: restart the server to serve a changed folder or accounts file.");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--config", raw.configFile,
                 "read options from FILE, one \"name = value\" a line (name: an option "
                 "without its dashes); the command line wins over it. As on the command "
                 "line, an option given twice keeps its last value and --proxy-from gathers "
                 "every one")
      ->type_name("FILE")
      ->configurable(false);
  AddServingOptions(app, config);
  AddRunOptions(app, config, raw);
  AddLimitOptions(app, config, raw);
  AddProxyOptions(app, config);
}

// Makes the text values into settings and checks how options combine.
bool FinishConfig(const RawValues& raw, ServerConfig& config, std::string& error) {
  uint64_t level = 0;
  if (raw.level != "auto" && !ParseNumber(raw.level, 0, 9, level)) {
    error = "--level needs auto or a number from 0 to 9";
  } else if (!raw.idleMinutes.empty() && !ParseMinutes(raw.idleMinutes, config.idleTimeoutMs)) {
    error = "--idle-minutes needs a number of minutes from 0 to 10000, with at most three "
            "decimals";
  } else if (config.folder.empty()) {
    error = "--folder is required";
  } else if (config.accountsFile.empty() == !config.allowAnyone) {
    error = "give either --accounts FILE or --allow-anyone";
  } else if (config.runMin > config.runMax) {
    error = "--run-min is above --run-max";
  } else if (!config.proxyFrom.empty() && !config.proxyProtocol) {
    error = "--proxy-from needs --proxy-protocol";
  }
  config.level = raw.level == "auto" ? kLevelAuto : static_cast<int>(level);
  config.replyBudgetBytes = raw.replyBudgetMb << 20;
  return error.empty();
}

// Gives the option line names the values of line, unless the command line gave it (setByFile:
// the options the file's lines before set); false with error naming the line, never its
// values, when it sets no option or sets one wrongly.
bool ApplyConfigLine(CLI::App& app, const ConfigLine& line, std::set<CLI::Option*>& setByFile,
                     std::string& error) {
  const std::string at = "line " + std::to_string(line.number);
  // A line not written as an option's name may be a password, whatever file this is.
  if (!LooksLikeOptionName(line.name)) {
    error = at + " is not name = value";
    return false;
  }
  CLI::Option* option = app.get_option_no_throw("--" + line.name);
  if (option == nullptr || option == app.get_help_ptr() || !option->get_configurable()) {
    error = at + ": " + line.name + " is no option of the file";
    return false;
  }
  if (line.values.empty() && option->get_expected_min() != 0) {
    error = at + ": " + line.name + " needs a value";
    return false;
  }
  if (setByFile.count(option) == 0) {
    if (option->count() > 0) return true;
    setByFile.insert(option);
  }
  option->add_result(line.values.empty() ? std::vector<std::string>{"true"} : line.values);
  try {
    option->run_callback();
  } catch (const CLI::ParseError&) {
    error = at + ": " + line.name + " has a value it does not take";
    return false;
  }
  return true;
}

// Sets from the configuration file at path the options the command line left unset.
bool ApplyConfigFile(CLI::App& app, const std::string& path, std::string& error) {
  std::vector<ConfigLine> lines;
  if (!ReadConfigFile(path, lines, error)) return false;
  std::set<CLI::Option*> setByFile;
  for (const ConfigLine& line : lines) {
    if (!ApplyConfigLine(app, line, setByFile, error)) {
      error = path + ": " + error;
      return false;
    }
  }
  return true;
}

}  // namespace

OptionsOutcome ParseServerOptions(int argc, const char* const* argv, ServerConfig& config,
                                  std::string& error) {
  CLI::App app("", "korvane-server");
  RawValues raw;
  DescribeCommandLine(app, config, raw);
  error.clear();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return OptionsOutcome::kHelp;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return OptionsOutcome::kError;
  }
  if (!raw.configFile.empty() && !ApplyConfigFile(app, raw.configFile, error)) {
    return OptionsOutcome::kError;
  }
  return FinishConfig(raw, config, error) ? OptionsOutcome::kRun : OptionsOutcome::kError;
}

std::string ServerHelpText() {
  CLI::App app("", "korvane-server");
  ServerConfig config;
  RawValues raw;
  DescribeCommandLine(app, config, raw);
  return app.help();
}

}  // namespace korvane::server
