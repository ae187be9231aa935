// The mount's command line, on CLI11: its options, the checks of their values, where the
// password comes from, and the -o options that fstab lines and mount units pass.
#include "mount/MountOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

namespace korvane::mount {

namespace {

struct RawValues {
  std::string address;
  std::string passwordFile;
  std::vector<std::string> mountOptions;  // each -o as given, commas and all
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

// The -o options that mount(8) and its helpers keep for themselves, or that change nothing
// here (the mount is read-only whatever rw says, and its files' times never change).
bool Ignored(const std::string& name) {
  static const std::set<std::string> kNames = {
      "defaults",    "_netdev",       "auto",     "noauto",     "nofail",   "user",
      "nouser",      "users",         "owner",    "group",      "comment",  "rw",
      "atime",       "noatime",       "diratime", "nodiratime", "relatime", "norelatime",
      "strictatime", "nostrictatime", "lazytime", "nolazytime"};
  return kNames.count(name) > 0 || name.rfind("x-", 0) == 0;
}

// FUSE's own -o options without a value, handed on to it as given.
bool FuseFlag(const std::string& name) {
  static const std::set<std::string> kNames = {"ro",           "dev",
                                               "nodev",        "suid",
                                               "nosuid",       "exec",
                                               "noexec",       "sync",
                                               "async",        "dirsync",
                                               "allow_other",  "allow_root",
                                               "auto_unmount", "default_permissions"};
  return kNames.count(name) > 0;
}

constexpr const char* kOctalDigits = "01234567";

// FUSE's own -o options with a value, each with the digits its value is written in ("" for
// any text), checked here so that a mistake is named before FUSE is asked.
const std::map<std::string, std::string>& FuseValues() {
  static const std::map<std::string, std::string> kValues = {
      {"fsname", ""},        {"subtype", ""},       {"max_read", "0123456789"},
      {"uid", "0123456789"}, {"gid", "0123456789"}, {"umask", kOctalDigits}};
  return kValues;
}

// The mount's own -o options, each setting what its long option sets.
struct OwnOption {
  const char* name;
  const char* form;  // as --help and the errors write it; with "=" when it takes a value
  void (*set)(MountOptions& options, RawValues& raw, const std::string& value);
};

const OwnOption* FindOwnOption(const std::string& name) {
  static const OwnOption kOwn[] = {
      {"login", "login=NAME",
       [](MountOptions& o, RawValues&, const std::string& v) { o.user = v; }},
      {"password", "password=PASSWORD",
       [](MountOptions& o, RawValues&, const std::string& v) { o.password = v; }},
      {"password_file", "password_file=FILE",
       [](MountOptions&, RawValues& r, const std::string& v) { r.passwordFile = v; }},
      {"cache", "cache=DIR",
       [](MountOptions& o, RawValues&, const std::string& v) { o.cacheFolder = v; }},
      {"offline", "offline",
       [](MountOptions& o, RawValues&, const std::string&) { o.offline = true; }},
      {"debug", "debug", [](MountOptions& o, RawValues&, const std::string&) { o.debug = true; }},
  };
  for (const OwnOption& own : kOwn) {
    if (name == own.name) return &own;
  }
  return nullptr;
}

// Why a FUSE option's value will not do; "" when it will.
std::string FuseValueProblem(const std::string& name, const std::string& value,
                             const std::string& digits) {
  if (value.empty()) return "-o " + name + " needs a value: " + name + "=...";
  if (digits.empty()) return "";
  if (value.size() > 9 || value.find_first_not_of(digits) != std::string::npos) {
    return "-o " + name + "=" + value + ": " + name + " takes " +
           (digits == kOctalDigits ? "an octal number" : "a number");
  }
  return "";
}

// Takes one option of a -o list; "" when taken, else why not.
std::string TakeMountOption(const std::string& word, MountOptions& options, RawValues& raw) {
  const size_t equals = word.find('=');
  const std::string name = word.substr(0, equals);
  const bool valued = equals != std::string::npos;
  const std::string value = valued ? word.substr(equals + 1) : "";
  if (word.empty() || Ignored(name)) return "";
  if (const OwnOption* own = FindOwnOption(name)) {
    const bool wantsValue = std::string(own->form).find('=') != std::string::npos;
    if (wantsValue && value.empty()) return "-o " + name + " needs a value: " + own->form;
    if (!wantsValue && valued) return "-o " + name + " takes no value";
    own->set(options, raw, value);
    return "";
  }
  const auto fuseValue = FuseValues().find(name);
  if (fuseValue != FuseValues().end()) {
    std::string why = FuseValueProblem(name, value, fuseValue->second);
    if (why.empty()) options.fuseOptions.push_back(word);
    return why;
  }
  if (!FuseFlag(name)) return "unknown -o option '" + word + "'";
  if (valued) return "-o " + name + " takes no value";
  options.fuseOptions.push_back(word);
  return "";
}

// Takes every option of every -o, in order; "" when all are taken, else the first why not.
std::string TakeMountOptions(MountOptions& options, RawValues& raw) {
  for (const std::string& list : raw.mountOptions) {
    size_t start = 0;
    for (size_t comma = 0; comma != std::string::npos; start = comma + 1) {
      comma = list.find(',', start);
      std::string why = TakeMountOption(list.substr(start, comma - start), options, raw);
      if (!why.empty()) return why;
    }
  }
  const auto& given = options.fuseOptions;
  if (std::find(given.begin(), given.end(), "allow_other") != given.end() &&
      std::find(given.begin(), given.end(), "allow_root") != given.end()) {
    return "-o allow_other and allow_root exclude each other";
  }
  return "";
}

constexpr const char* kMountOptionsHelp =
    "mount options, as fstab and mount(8) give them: login=, password=, password_file=, "
    "cache=, offline and debug as above; allow_other, allow_root, ro, default_permissions, "
    "dev, nodev, suid, nosuid, exec, noexec, sync, async, dirsync, auto_unmount, fsname=, "
    "subtype=, max_read=, uid=, gid= and umask= go to FUSE; mount(8)'s own (defaults, "
    "_netdev, auto, noauto, nofail, user, nouser, users, owner, group, comment=, x-*), rw "
    "(the mount is read-only) and the access time flags ([no]atime, [no]diratime, "
    "[no]relatime, [no]strictatime, [no]lazytime: its times never change) change nothing; "
    "may be given more than once";

void Describe(CLI::App& app, MountOptions& options, RawValues& raw) {
  app.description(
      "Shows the discs of a disc server, or the block caches of a folder, as a read-only "
      "folder of image files. Sectors are fetched once, kept in the block cache (the layout "
      "the plugin uses) and read ahead; a lost connection is made again by itself. "
      "Unmount with fusermount3 -u MOUNTPOINT, or stop the program with SIGINT or SIGTERM.");
  app.add_option("address", raw.address, "the disc server, HOST:PORT (port 35000 if left out)");
  app.add_option("mountpoint", options.mountpoint, "an empty folder to mount on");
  app.add_option("--user", options.user, "the user name to log in with (-o login=NAME)");
  app.add_option("--password", options.password,
                 "the password (shows in the process list: prefer --password-file or "
                 "KORVANE_PASSWORD; -o password=PASSWORD)");
  app.add_option("--password-file", raw.passwordFile,
                 "a file whose first line is the password (-o password_file=FILE)");
  app.add_option("--cache", options.cacheFolder,
                 "the folder of the block caches (default Games): <disc>.Block and <disc>.map, "
                 "as the plugin writes them (-o cache=DIR)");
  app.add_flag("--offline", options.offline,
               "no server: show each cached disc of --cache, reading only what is cached "
               "(-o offline; an fstab line gives none as its source)");
  app.add_flag("-f,--foreground", options.foreground,
               "stay in the foreground, logging to standard error (in the background, the "
               "log goes to the system log)");
  app.add_flag("-d,--debug", options.debug,
               "write the read path's trace lines to standard error (stays in the foreground; "
               "-o debug)");
  app.add_option("-o", raw.mountOptions, kMountOptionsHelp)
      ->type_name("OPTION[,OPTION...]")
      ->allow_extra_args(false);
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
    if (!options.password.empty()) {
      return "--password and --password-file (-o password= and password_file=) exclude each "
             "other";
    }
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
  error = TakeMountOptions(options, raw);
  if (!error.empty()) return OptionsOutcome::kError;
  // With --offline, the one positional given is the mount point; before one, an fstab
  // line's source "none" stands for no server.
  if (options.offline && raw.address == "none" && !options.mountpoint.empty()) raw.address.clear();
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
