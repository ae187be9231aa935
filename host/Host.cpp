// A test host for PS2E CDVD plugins: loads a plugin DLL by path, calls its exports in the
// order an emulator does, reads a range of sectors in one mode and prints each result with
// a checksum of the buffer, then a summary.
//
//   KorvaneHost PLUGIN.dll [--first LSN] [--count N] [--mode M] [--configure]
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PluginApi.h"

namespace {

struct Options {
  const char* plugin = nullptr;
  uint32_t first = 0;
  uint32_t count = 16;
  int32_t mode = 3;
  bool configure = false;
};

void PrintUsage() {
  std::printf(
      "usage: KorvaneHost PLUGIN.dll [--first LSN] [--count N] [--mode M] [--configure]\n"
      "  --first LSN   first sector to read (default 0)\n"
      "  --count N     number of sectors to read (default 16)\n"
      "  --mode M      PS2E read mode: 0 (2352), 1 (2340), 3 (2048) (default 3)\n"
      "  --configure   open the plugin's configuration dialog before CDVDopen\n");
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    bool hasValue = i + 1 < argc;
    if (!std::strcmp(argv[i], "--first") && hasValue) {
      options.first = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (!std::strcmp(argv[i], "--count") && hasValue) {
      options.count = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (!std::strcmp(argv[i], "--mode") && hasValue) {
      options.mode = static_cast<int32_t>(std::strtol(argv[++i], nullptr, 10));
    } else if (!std::strcmp(argv[i], "--configure")) {
      options.configure = true;
    } else if (argv[i][0] != '-' && !options.plugin) {
      options.plugin = argv[i];
    } else {
      return false;
    }
  }
  return options.plugin != nullptr;
}

size_t BytesForMode(int32_t mode) {
  return mode == 0 ? 2352 : mode == 1 ? 2340 : mode == 3 ? 2048 : 2352;
}

// FNV-1a, 32 bits: enough to tell sectors apart in a listing.
uint32_t Checksum(const uint8_t* bytes, size_t count) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

struct ReadTally {
  uint32_t ok = 0, failed = 0, nullBuffers = 0;
};

ReadTally ReadRange(const host::PluginApi& api, const Options& options) {
  ReadTally tally;
  for (uint32_t i = 0; i < options.count; ++i) {
    uint32_t lsn = options.first + i;
    int32_t result = api.CDVDreadTrack(lsn, options.mode);
    const uint8_t* buffer = api.CDVDgetBuffer();
    (result == 0 ? tally.ok : tally.failed)++;
    if (!buffer) {
      ++tally.nullBuffers;
      std::printf("read lsn %lu mode %ld: result %ld, buffer null\n", (unsigned long)lsn,
                  (long)options.mode, (long)result);
    } else {
      std::printf("read lsn %lu mode %ld: result %ld, checksum %08lx\n", (unsigned long)lsn,
                  (long)options.mode, (long)result,
                  (unsigned long)Checksum(buffer, BytesForMode(options.mode)));
    }
  }
  return tally;
}

void ShowDisc(const host::PluginApi& api) {
  std::printf("CDVDgetDiskType: %ld\n", (long)api.CDVDgetDiskType());
  std::printf("CDVDgetTrayStatus: %ld\n", (long)api.CDVDgetTrayStatus());
  host::TrackNumbers tn{};
  int32_t tnResult = api.CDVDgetTN(&tn);
  std::printf("CDVDgetTN: %ld (first %u, last %u)\n", (long)tnResult, tn.strack, tn.etrack);
  host::TrackDescriptor td{};
  int32_t tdResult = api.CDVDgetTD(1, &td);
  std::printf("CDVDgetTD(1): %ld (lsn %lu, type 0x%02x)\n", (long)tdResult,
              (unsigned long)td.lsn, td.type);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    PrintUsage();
    return 2;
  }
  HMODULE module = ::LoadLibraryA(options.plugin);
  if (!module) {
    std::printf("cannot load %s (error %lu)\n", options.plugin, ::GetLastError());
    return 1;
  }
  host::PluginApi api{};
  const char* missing = nullptr;
  if (!host::ResolvePluginApi(module, api, missing)) {
    std::printf("%s does not export %s\n", options.plugin, missing);
    return 1;
  }
  std::printf("library: type %ld, name \"%s\", version 0x%08lx\n", (long)api.PS2EgetLibType(),
              api.PS2EgetLibName(), (unsigned long)api.PS2EgetLibVersion2(8));
  std::printf("CDVDinit: %ld\n", (long)api.CDVDinit());
  if (options.configure) api.CDVDconfigure();
  std::printf("CDVDopen: %ld\n", (long)api.CDVDopen());
  ShowDisc(api);
  ReadTally tally = ReadRange(api, options);
  api.CDVDclose();
  api.CDVDshutdown();
  ::FreeLibrary(module);
  std::printf("summary: %lu reads, %lu ok, %lu failed, %lu null buffers\n",
              (unsigned long)options.count, (unsigned long)tally.ok, (unsigned long)tally.failed,
              (unsigned long)tally.nullBuffers);
  return 0;
}
