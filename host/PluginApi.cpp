// Export resolution for a loaded PS2E CDVD plugin.
#include "PluginApi.h"

namespace host {

namespace {
template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& slot, const char*& missing) {
  FARPROC address = ::GetProcAddress(module, name);
  if (!address) {
    missing = name;
    return false;
  }
  slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
  return true;
}
}  // namespace

bool ResolvePluginApi(HMODULE module, PluginApi& api, const char*& missing) {
#define KORVANE_RESOLVE(name) Resolve(module, #name, api.name, missing)
  return KORVANE_RESOLVE(PS2EgetLibType) && KORVANE_RESOLVE(PS2EgetLibName) &&
         KORVANE_RESOLVE(PS2EgetLibVersion2) && KORVANE_RESOLVE(CDVDinit) &&
         KORVANE_RESOLVE(CDVDopen) && KORVANE_RESOLVE(CDVDclose) && KORVANE_RESOLVE(CDVDshutdown) &&
         KORVANE_RESOLVE(CDVDreadTrack) && KORVANE_RESOLVE(CDVDgetBuffer) &&
         KORVANE_RESOLVE(CDVDreadSubQ) && KORVANE_RESOLVE(CDVDgetTN) &&
         KORVANE_RESOLVE(CDVDgetTD) && KORVANE_RESOLVE(CDVDgetTOC) &&
         KORVANE_RESOLVE(CDVDgetDiskType) && KORVANE_RESOLVE(CDVDgetTrayStatus) &&
         KORVANE_RESOLVE(CDVDctrlTrayOpen) && KORVANE_RESOLVE(CDVDctrlTrayClose) &&
         KORVANE_RESOLVE(CDVDtest) && KORVANE_RESOLVE(CDVDconfigure) && KORVANE_RESOLVE(CDVDabout);
#undef KORVANE_RESOLVE
}

}  // namespace host
