// The PS2E CDVD interface as a host sees it: the stdcall signature of each of the twenty
// exports, and a table that resolves them all from a loaded plugin DLL.
#pragma once

#include <windows.h>

#include <cstdint>

namespace host {

struct TrackNumbers {
  uint8_t strack;
  uint8_t etrack;
};

struct TrackDescriptor {
  uint32_t lsn;
  uint8_t type;
};

struct PluginApi {
  int32_t(__stdcall* PS2EgetLibType)();
  const char*(__stdcall* PS2EgetLibName)();
  int32_t(__stdcall* PS2EgetLibVersion2)(uint32_t);
  int32_t(__stdcall* CDVDinit)();
  int32_t(__stdcall* CDVDopen)();
  void(__stdcall* CDVDclose)();
  void(__stdcall* CDVDshutdown)();
  int32_t(__stdcall* CDVDreadTrack)(uint32_t, int32_t);
  uint8_t*(__stdcall* CDVDgetBuffer)();
  int32_t(__stdcall* CDVDreadSubQ)(uint32_t, void*);
  int32_t(__stdcall* CDVDgetTN)(TrackNumbers*);
  int32_t(__stdcall* CDVDgetTD)(uint8_t, TrackDescriptor*);
  int32_t(__stdcall* CDVDgetTOC)(void*);
  int32_t(__stdcall* CDVDgetDiskType)();
  int32_t(__stdcall* CDVDgetTrayStatus)();
  int32_t(__stdcall* CDVDctrlTrayOpen)();
  int32_t(__stdcall* CDVDctrlTrayClose)();
  int32_t(__stdcall* CDVDtest)();
  void(__stdcall* CDVDconfigure)();
  void(__stdcall* CDVDabout)();
};

// Resolves every export of module into api; on a missing one, names it in missing and
// returns false.
bool ResolvePluginApi(HMODULE module, PluginApi& api, const char*& missing);

}  // namespace host
