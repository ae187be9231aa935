// korvane-mount's settings and the command line that sets them:
//
//   korvane-mount HOST:PORT MOUNTPOINT --user U --password P [--cache DIR] [--foreground]
//                 [--debug] [-o OPTION[,OPTION...]]...
//   korvane-mount --offline --cache DIR MOUNTPOINT
//
// The password may also come from a file (--password-file) or from the environment
// (KORVANE_PASSWORD), so that it never shows in the process list. The -o options are the
// ones mount(8) and its FUSE helper pass from an fstab line or a mount unit: the mount's own
// settings by names of their own (login=, password_file=, cache=, offline, ...), FUSE's
// options handed on to FUSE, and mount(8)'s own words (_netdev, noauto, ...) ignored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::mount {

struct MountOptions {
  std::string host;
  uint16_t port = 35000;
  std::string mountpoint;
  std::string user;
  std::string password;
  std::string cacheFolder = "Games";  // the block caches, laid out as the plugin's games folder
  bool offline = false;               // serve the caches of cacheFolder alone, no server
  bool foreground = false;
  bool debug = false;  // the read path's trace lines on standard error; implies foreground
  std::vector<std::string> fuseOptions;  // -o options for FUSE itself, in the order given
};

enum class OptionsOutcome { kRun, kHelp, kError };

// Parses the program's arguments (argv[0] is skipped) into options; kError with a one-line
// error, kHelp when --help was asked for. environmentPassword is KORVANE_PASSWORD's value,
// or null when it is not set.
OptionsOutcome ParseMountOptions(int argc, const char* const* argv,
                                 const char* environmentPassword, MountOptions& options,
                                 std::string& error);

// The generated --help text.
std::string MountHelpText();

}  // namespace korvane::mount
