// The mount's command line, on CLI11: its options, the checks of their values, and where
// the password comes from.
#include "mount/MountOptions.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <iterator>

namespace korvane::mount {

namespace {

struct RawValues {
  std::string address;
  std::string passwordFile;
  bool passwordGiven = false;
};

// Splits "HOST:PORT" (the port may be left out); false when the port is no number in range.
bool SplitAddress(const std::string& address, std::string& host, uint16_t& port) {
  const size_t colon = address.rfind(':');
  host = address.substr(0, colon);
  if (colon == std::string::npos) return !host.empty();
  const std::string digits = address.substr(colon + 1);
  if (host.empty() || digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long value = std::stoul(digits);
  if (value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// The file's first line, without its line end; false when it cannot be read.
bool ReadPasswordFile(const std::string& path, std::string& password) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

void Describe(CLI::App& app, MountOptions& options, RawValues& raw) {
  app.description(
      "Shows the discs of a disc server, or the block caches of a folder, as a read-only "
      "folder of image files. Sectors are fetched once, kept in the block cache (the layout "
      "the plugin uses) and read ahead; a lost connection is made again by itself. "
      "Unmount with fusermount3 -u MOUNTPOINT, or stop the program with SIGINT or SIGTERM.");
  app.add_option("address", raw.address, "the disc server, HOST:PORT (port 35000 if left out)");
  app.add_option("mountpoint", options.mountpoint, "an empty folder to mount on");
  app.add_option("--user", options.user, "the user name to log in with");
  app.add_option("--password", options.password,
                 "the password (shows in the process list: prefer --password-file or "
                 "KORVANE_PASSWORD)");
  app.add_option("--password-file", raw.passwordFile,
                 "a file whose first line is the password");
  app.add_option("--cache", options.cacheFolder,
                 "the folder of the block caches (default Games): <disc>.Block and <disc>.map, "
                 "as the plugin writes them");
  app.add_flag("--offline", options.offline,
               "no server: show each cached disc of --cache, reading only what is cached");
  app.add_flag("--foreground", options.foreground, "stay in the foreground");
  app.add_flag("--debug", options.debug,
               "write the read path's trace lines to standard error (stays in the foreground)");
}

// The checks that tie options together; "" when they hold.
std::string Check(MountOptions& options, RawValues& raw, const char* environmentPassword) {
  if (options.mountpoint.empty()) return "a mount point is needed";
  if (options.offline) {
    if (!raw.address.empty()) return "--offline takes no server address";
    return options.cacheFolder.empty() ? "--offline needs --cache DIR" : "";
  }
  if (raw.address.empty()) return "a server address HOST:PORT is needed (or --offline)";
  if (!SplitAddress(raw.address, options.host, options.port)) {
    return "'" + raw.address + "' is no HOST:PORT address";
  }
  if (!raw.passwordFile.empty()) {
    if (!options.password.empty()) return "--password and --password-file exclude each other";
    if (!ReadPasswordFile(raw.passwordFile, options.password)) {
      return "cannot read the password file " + raw.passwordFile;
    }
  } else if (options.password.empty() && environmentPassword) {
    options.password = environmentPassword;
  }
  return "";
}

}  // namespace

OptionsOutcome ParseMountOptions(int argc, const char* const* argv,
                                 const char* environmentPassword, MountOptions& options,
                                 std::string& error) {
  CLI::App app("", "korvane-mount");
  RawValues raw;
  Describe(app, options, raw);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return OptionsOutcome::kHelp;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return OptionsOutcome::kError;
  }
  // With --offline, the one positional given is the mount point.
  if (options.offline && options.mountpoint.empty() && !raw.address.empty()) {
    options.mountpoint = raw.address;
    raw.address.clear();
  }
  error = Check(options, raw, environmentPassword);
  if (options.debug) options.foreground = true;
  return error.empty() ? OptionsOutcome::kRun : OptionsOutcome::kError;
}

std::string MountHelpText() {
  CLI::App app("", "korvane-mount");
  MountOptions options;
  RawValues raw;
  Describe(app, options, raw);
  return app.help();
}

}  // namespace korvane::mount
