// The player's command line, on CLI11: each option with its value's check and its line of
// the generated --help, then the few rules that join options (--connect implies
// --configure, --pace-mbps implies --block-times, --count all).
#include "PlayerOptions.h"

#include <CLI/CLI.hpp>

namespace player {

namespace {

// Values that need a word of their own before they reach the options.
struct RawValues {
  std::string connect;
  std::string count;
  std::string hostAbi = "plain";
};

bool SplitHostPort(const std::string& text, DialogScript& script) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  script.connectHost = text.substr(0, colon);
  script.connectPort = text.substr(colon + 1);
  return !script.connectHost.empty() && !script.connectPort.empty();
}

// The options that fill in the plugin's dialog as a person would.
void AddDialogOptions(CLI::App& app, PlayerOptions& o, RawValues& raw) {
  app.add_flag("--configure", o.configure, "open the plugin's Config dialog before CDVDopen");
  app.add_option("--connect", raw.connect,
                 "(implies --configure) fill in the server and click Connect")
      ->type_name("HOST:PORT");
  app.add_option("--user", o.script.user, "user name for --connect")->type_name("NAME");
  app.add_option("--password", o.script.password, "password for --connect")->type_name("TEXT");
  app.add_option("--disc", o.script.disc, "pick this disc of the server's list, then Close")
      ->type_name("NAME");
  app.add_option("--cache", o.script.cache,
                 "pick this cache (NAME.Block) on the Local tab, then Close")
      ->type_name("NAME");
  app.add_option("--choose-file", o.script.chooseFile,
                 "pick this image with Choose File, then Close")
      ->type_name("PATH");
  app.add_option("--dialog-shot", o.script.screenshot,
                 "save the dialog as a .png picture before it closes, showing the page the script worked on")
      ->type_name("FILE");
}

// The options of the reads and of what is reported about them.
void AddReadOptions(CLI::App& app, PlayerOptions& o, RawValues& raw) {
  app.add_option("--mode", o.mode, "read mode: 0 (2352 bytes), 1 (2340), 3 (2048; default)")
      ->type_name("M");
  app.add_option("--first", o.first, "first sector to read (default 0)")->type_name("LSN");
  app.add_option("--count", raw.count,
                 "sectors to read (default: all of the --verify image, else 16)")
      ->type_name("N|all");
  app.add_option("--random", o.random, "N reads at random sectors of that range instead")
      ->type_name("N");
  app.add_option("--pace-mbps", o.paceMBs,
                 "read at R MB/s (10^6 bytes a second of the mode's sectors), as a console "
                 "drive delivers; a late read is never made up for. Implies --block-times")
      ->type_name("R");
  app.add_flag("--block-times", o.blockTimes,
               "report how long each read call blocked: p50, p99, max and the reads over "
               "100 ms, also for those after the first second");
  app.add_option("--seed", o.seed, "seed of the random reads (default 1)")->type_name("S");
  app.add_option("--verify", o.verify, "check every sector against this disc image")
      ->type_name("IMAGE");
  app.add_flag("--list", o.list, "print each read's result and a checksum of its sector");
  app.add_option("--baseline", o.baseline,
                 "then time large sequential reads of IMAGE, one copy per sector of the mode, "
                 "for comparison")
      ->type_name("IMAGE");
}

// The options of how the player behaves as a host.
void AddHostOptions(CLI::App& app, PlayerOptions& o, RawValues& raw) {
  app.add_flag_callback("--no-iso", [&o] { o.iso = false; },
                        "do not read the ISO 9660 volume name and root directory");
  app.add_flag_callback("--no-progress", [&o] { o.progress = false; }, "no progress bar");
  app.add_option("--host-abi", raw.hostAbi,
                 "call CDVDopen with no argument (plain, the default) or with the title of the "
                 "game, as hosts from 2007 on do (titled)")
      ->check(CLI::IsMember({"plain", "titled"}));
  app.add_flag("--reader-thread", o.readerThread,
               "after CDVDconfigure, open, query, read, close and shut down on a second thread "
               "that dispatches no window messages, while the main thread runs a message "
               "loop, as newer emulators do");
}

// The whole command line, filling o and raw.
void DescribeCommandLine(CLI::App& app, PlayerOptions& o, RawValues& raw) {
  app.description(
      "Loads a PS2E CDVD plugin and plays a disc through it as an emulator does: CDVDinit, "
      "CDVDconfigure when asked, CDVDopen, the disc queries, reads, CDVDclose and "
      "CDVDshutdown, with window messages pumped between calls.");
  app.footer(
      "Every export is called with the stack pointer checked: an export that removes other "
      "bytes than its arguments' stops the player with exit code 3.\n"
      "Exits 0 when every read succeeded and every checked sector matched.");
  app.add_option("plugin", o.plugin, "the PS2E CDVD plugin to play through")
      ->type_name("PLUGIN.dll");
  AddDialogOptions(app, o, raw);
  AddReadOptions(app, o, raw);
  AddHostOptions(app, o, raw);
}

}  // namespace

std::string PlayerHelp() {
  PlayerOptions o;
  RawValues raw;
  CLI::App app("", "KorvanePlayer");
  DescribeCommandLine(app, o, raw);
  return app.help();
}

bool ParsePlayerOptions(int argc, char** argv, PlayerOptions& o, std::string& error) {
  RawValues raw;
  CLI::App app("", "KorvanePlayer");
  DescribeCommandLine(app, o, raw);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    error.clear();
    return false;
  } catch (const CLI::ParseError& e) {
    error = std::string(e.what()) + " (see --help)";
    return false;
  }
  if (!raw.connect.empty() && !SplitHostPort(raw.connect, o.script)) {
    error = "bad option --connect " + raw.connect + " (see --help)";
    return false;
  }
  o.all = raw.count == "all";
  if (!raw.count.empty() && !o.all) {
    try {
      o.count = static_cast<uint32_t>(std::stoul(raw.count));
    } catch (const std::exception&) {
      error = "bad option --count " + raw.count + " (see --help)";
      return false;
    }
  }
  o.hostAbi = raw.hostAbi == "titled" ? host::HostAbi::kTitled : host::HostAbi::kPlain;
  o.blockTimes = o.blockTimes || o.paceMBs > 0;
  if (!o.script.Empty()) o.configure = true;
  if (o.plugin.empty()) error = "no plugin DLL given (see --help)";
  return !o.plugin.empty();
}

}  // namespace player
