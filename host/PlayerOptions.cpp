// Command line parsing of the player.
#include "PlayerOptions.h"

#include <cstdlib>
#include <cstring>

namespace player {

const char* PlayerHelp() {
  return "usage: KorvanePlayer PLUGIN.dll [options]\n"
         "Loads a PS2E CDVD plugin and plays a disc through it as an emulator does:\n"
         "CDVDinit, CDVDconfigure when asked, CDVDopen, the disc queries, reads, CDVDclose and\n"
         "CDVDshutdown, with window messages pumped between calls.\n"
         "\n"
         "  --configure            open the plugin's Config dialog before CDVDopen\n"
         "  --connect HOST:PORT    (implies --configure) fill in the server and click Connect\n"
         "  --user NAME            user name for --connect\n"
         "  --password TEXT        password for --connect\n"
         "  --disc NAME            pick this disc of the server's list, then Close\n"
         "  --cache NAME           pick this cache (NAME.Block) on the Local tab, then Close\n"
         "  --choose-file PATH     pick this image with Choose File, then Close\n"
         "  --dialog-shot FILE     save the dialog as a .bmp picture before it closes\n"
         "  --mode M               read mode: 0 (2352 bytes), 1 (2340), 3 (2048; default)\n"
         "  --first LSN            first sector to read (default 0)\n"
         "  --count N|all          sectors to read (default: all of the --verify image, else 16)\n"
         "  --random N             N reads at random sectors of that range instead\n"
         "  --pace-mbps R          read at R MB/s (10^6 bytes a second of the mode's sectors),\n"
         "                         as a console drive delivers; a late read is never made up\n"
         "                         for. Implies --block-times\n"
         "  --block-times          report how long each read call blocked: p50, p99, max and\n"
         "                         the reads over 100 ms, also for those after the first second\n"
         "  --seed S               seed of the random reads (default 1)\n"
         "  --verify IMAGE         check every sector against this disc image\n"
         "  --list                 print each read's result and a checksum of its sector\n"
         "  --baseline IMAGE       then time large sequential reads of IMAGE, one copy per\n"
         "                         sector of the mode, for comparison\n"
         "  --no-iso               do not read the ISO 9660 volume name and root directory\n"
         "  --no-progress          no progress bar\n"
         "  --host-abi plain|titled  call CDVDopen with no argument (plain, the default) or with\n"
         "                         the title of the game, as hosts from 2007 on do (titled)\n"
         "  --reader-thread        after CDVDconfigure, open, query, read, close and shut down\n"
         "                         on a second thread that dispatches no window messages, while\n"
         "                         the main thread runs a message loop, as newer emulators do\n"
         "  --help                 this text\n"
         "\n"
         "Every export is called with the stack pointer checked: an export that removes\n"
         "other bytes than its arguments' stops the player with exit code 3.\n"
         "Exits 0 when every read succeeded and every checked sector matched.\n";
}

namespace {
bool SplitHostPort(const std::string& text, DialogScript& script) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  script.connectHost = text.substr(0, colon);
  script.connectPort = text.substr(colon + 1);
  return !script.connectHost.empty() && !script.connectPort.empty();
}

uint32_t Number(const char* text) {
  return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
}
}  // namespace

bool ParsePlayerOptions(int argc, char** argv, PlayerOptions& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto takes = [&](std::string& into) {
      if (!value) return false;
      into = value;
      ++i;
      return true;
    };
    bool ok = true;
    std::string text;
    if (arg == "--help") {
      error.clear();
      return false;
    } else if (arg == "--configure") {
      o.configure = true;
    } else if (arg == "--connect") {
      ok = takes(text) && SplitHostPort(text, o.script);
    } else if (arg == "--user") {
      ok = takes(o.script.user);
    } else if (arg == "--password") {
      ok = takes(o.script.password);
    } else if (arg == "--disc") {
      ok = takes(o.script.disc);
    } else if (arg == "--cache") {
      ok = takes(o.script.cache);
    } else if (arg == "--choose-file") {
      ok = takes(o.script.chooseFile);
    } else if (arg == "--dialog-shot") {
      ok = takes(o.script.screenshot);
    } else if (arg == "--mode" && takes(text)) {
      o.mode = static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
    } else if (arg == "--first" && takes(text)) {
      o.first = Number(text.c_str());
    } else if (arg == "--count" && takes(text)) {
      o.all = text == "all";
      o.count = o.all ? 0 : Number(text.c_str());
    } else if (arg == "--random" && takes(text)) {
      o.random = Number(text.c_str());
    } else if (arg == "--pace-mbps" && takes(text)) {
      o.paceMBs = std::strtod(text.c_str(), nullptr);
      o.blockTimes = o.blockTimes || o.paceMBs > 0;
    } else if (arg == "--block-times") {
      o.blockTimes = true;
    } else if (arg == "--seed" && takes(text)) {
      o.seed = Number(text.c_str());
    } else if (arg == "--verify") {
      ok = takes(o.verify);
    } else if (arg == "--baseline") {
      ok = takes(o.baseline);
    } else if (arg == "--list") {
      o.list = true;
    } else if (arg == "--no-iso") {
      o.iso = false;
    } else if (arg == "--no-progress") {
      o.progress = false;
    } else if (arg == "--reader-thread") {
      o.readerThread = true;
    } else if (arg == "--host-abi") {
      ok = takes(text) && (text == "plain" || text == "titled");
      o.hostAbi = text == "titled" ? host::HostAbi::kTitled : host::HostAbi::kPlain;
    } else if (arg[0] != '-' && o.plugin.empty()) {
      o.plugin = arg;
    } else {
      ok = false;
    }
    if (!ok) {
      error = "bad option " + arg + " (see --help)";
      return false;
    }
  }
  if (!o.script.Empty()) o.configure = true;
  if (o.plugin.empty()) error = "no plugin DLL given (see --help)";
  return !o.plugin.empty();
}

}  // namespace player
