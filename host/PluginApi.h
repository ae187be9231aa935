// The PS2E CDVD interface as a host sees it: the twenty exports resolved from a loaded
// plugin DLL and called as a host calls them, through stdcall pointers. Every call checks
// the stack pointer: an export that removes other bytes than its arguments' ends the
// player at once with a message, since in a host built without frame pointers it would
// corrupt the caller.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>

#include "ps2e/CdvdInterface.h"

namespace host {

using korvane::ps2e::TrackDescriptor;
using korvane::ps2e::TrackNumbers;

// How a host calls CDVDopen: with no argument (the oldest hosts), or with the game's title
// (the hosts from 2007 on, whose callee removes the pointer).
enum class HostAbi { kPlain, kTitled };

class PluginApi final {
 public:
  // Resolves every export of module for a host of kind abi; on a missing one, names it in
  // missing and returns false.
  bool Resolve(HMODULE module, HostAbi abi, const char*& missing);

  int32_t PS2EgetLibType() const { return Int(kGetLibType); }
  const char* PS2EgetLibName() const;
  int32_t PS2EgetLibVersion2(uint32_t type) const { return Int(kGetLibVersion2, {type}); }
  int32_t CDVDinit() const { return Int(kInit); }
  // The title is passed only by a titled host; null is what such hosts often pass.
  int32_t CDVDopen(const char* title = nullptr) const;
  void CDVDclose() const { Int(kClose); }
  void CDVDshutdown() const { Int(kShutdown); }
  int32_t CDVDreadTrack(uint32_t lsn, int32_t mode) const;
  uint8_t* CDVDgetBuffer() const;
  int32_t CDVDgetTN(TrackNumbers* record) const { return Int(kGetTN, {Word(record)}); }
  int32_t CDVDgetTD(uint8_t track, TrackDescriptor* record) const;
  int32_t CDVDgetDiskType() const { return Int(kGetDiskType); }
  int32_t CDVDgetTrayStatus() const { return Int(kGetTrayStatus); }
  void CDVDconfigure() const { Int(kConfigure); }

 private:
  enum Export {
    kGetLibType,
    kGetLibName,
    kGetLibVersion2,
    kInit,
    kOpen,
    kClose,
    kShutdown,
    kReadTrack,
    kGetBuffer,
    kReadSubQ,
    kGetTN,
    kGetTD,
    kGetTOC,
    kGetDiskType,
    kGetTrayStatus,
    kCtrlTrayOpen,
    kCtrlTrayClose,
    kTest,
    kConfigure,
    kAbout,
    kExports
  };
  static uint32_t Word(const void* pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
  }
  // Calls export which with args, checking the stack; its 32-bit result.
  uint32_t Call(Export which, std::initializer_list<uint32_t> args = {}) const;
  int32_t Int(Export which, std::initializer_list<uint32_t> args = {}) const {
    return static_cast<int32_t>(Call(which, args));
  }

  FARPROC exports_[kExports] = {};
  HostAbi abi_ = HostAbi::kPlain;
};

}  // namespace host
