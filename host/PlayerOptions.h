// The player's command line.
#pragma once

#include <cstdint>
#include <string>

#include "DialogScript.h"
#include "PluginApi.h"

namespace player {

struct PlayerOptions {
  std::string plugin;
  host::HostAbi hostAbi = host::HostAbi::kPlain;  // how CDVDopen is called
  bool configure = false;  // show the dialog for a person (or the script) before CDVDopen
  DialogScript script;
  int32_t mode = 3;
  uint32_t first = 0;
  uint32_t count = 0;   // 0: the whole image with --verify, else 16
  bool all = false;     // --count all
  uint32_t random = 0;  // random reads instead of a sequential run
  uint32_t seed = 1;
  std::string verify;
  std::string baseline;  // time plain large reads of this image after playing
  bool list = false;     // a line per read
  bool iso = true;
  bool progress = true;
  bool readerThread = false;  // CDVDopen to CDVDshutdown on a thread that dispatches no messages
  double paceMBs = 0;         // reads paced at this many MB/s; 0: as fast as they return
  bool blockTimes = false;    // report how long each read call blocked (with a pace, always)
};

// Parses argv into options; false with error (or an empty error for --help).
bool ParsePlayerOptions(int argc, char** argv, PlayerOptions& options, std::string& error);

// The --help text.
std::string PlayerHelp();

}  // namespace player
