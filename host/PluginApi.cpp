// Export resolution and checked calls for a loaded PS2E CDVD plugin.
#include "PluginApi.h"

#include <cstdio>
#include <cstdlib>

#include "StdcallCall.h"

namespace host {

namespace {
constexpr const char* const* kNames = korvane::ps2e::kExportNames;
static_assert(korvane::ps2e::kExportCount == 20, "PluginApi::Export has one entry per export");
}  // namespace

bool PluginApi::Resolve(HMODULE module, HostAbi abi, const char*& missing) {
  abi_ = abi;
  for (int which = 0; which < kExports; ++which) {
    exports_[which] = ::GetProcAddress(module, kNames[which]);
    if (!exports_[which]) {
      missing = kNames[which];
      return false;
    }
  }
  return true;
}

uint32_t PluginApi::Call(Export which, std::initializer_list<uint32_t> args) const {
  StdcallResult call =
      CallStdcall(exports_[which], args.begin(), static_cast<uint32_t>(args.size()));
  if (call.stackDrift != 0) {
    std::fprintf(stderr,
                 "stack imbalance: %s took %u argument bytes and moved the stack pointer by "
                 "%ld bytes; a host of this kind would crash\n",
                 kNames[which], static_cast<unsigned>(4 * args.size()),
                 static_cast<long>(call.stackDrift));
    std::printf("stack imbalance in %s: stopping\n", kNames[which]);
    std::fflush(nullptr);
    std::_Exit(3);
  }
  return call.value;
}

const char* PluginApi::PS2EgetLibName() const {
  return reinterpret_cast<const char*>(static_cast<uintptr_t>(Call(kGetLibName)));
}

int32_t PluginApi::CDVDopen(const char* title) const {
  return abi_ == HostAbi::kTitled ? Int(kOpen, {Word(title)}) : Int(kOpen);
}

int32_t PluginApi::CDVDreadTrack(uint32_t lsn, int32_t mode) const {
  return Int(kReadTrack, {lsn, static_cast<uint32_t>(mode)});
}

uint8_t* PluginApi::CDVDgetBuffer() const {
  return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(Call(kGetBuffer)));
}

int32_t PluginApi::CDVDgetTD(uint8_t track, TrackDescriptor* record) const {
  return Int(kGetTD, {track, Word(record)});
}

}  // namespace host
