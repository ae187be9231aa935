// The PS2E exports of KorvaneCDVD.dll. Each is a stdcall function that forwards to the one
// Plugin of the process and keeps every C++ exception inside the library: the host only
// ever sees result codes.
//
// Built with KORVANE_TITLED_OPEN, the same source makes KorvaneCDVD-titled.dll for the hosts
// (from 2007 on) that declare CDVDopen(const char* title) and expect the callee to remove
// the pointer: its CDVDopen takes the title (null or a path) and ignores it. That DLL also
// offers those hosts' CDVDgetBuffer2, and names itself with a suffix.
#include <windows.h>

#include <cstdint>
#include <string>

#include "core/Plugin.h"
#include "dialogs/win32/AboutBox.h"
#include "dialogs/win32/ConfigWindow.h"
#include "platform/FileSystem.h"

// The linker's symbol at the start of this module's image: the DLL's own HINSTANCE.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// Errors meant for the user appear in a message box, as a GUI shows its errors.
class MessageBoxErrors final : public korvane::UserErrorReporter {
 public:
  void ShowError(const std::string& message) override {
    ::MessageBoxA(nullptr, message.c_str(), "KorvaneCDVD", MB_OK | MB_ICONERROR | MB_TASKMODAL);
  }
};

#ifdef KORVANE_TITLED_OPEN
constexpr const char* kName = korvane::kTitledLibraryName;
#else
constexpr const char* kName = korvane::kLibraryName;
#endif

korvane::StdOutputTrace g_traceOutput;
MessageBoxErrors g_userErrors;
korvane::Plugin g_plugin(g_traceOutput, &g_userErrors);

// Runs body and returns its result, or fallback when it throws.
template <typename Result, typename Body>
Result Guarded(Result fallback, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

template <typename Body>
void GuardedVoid(Body body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace

extern "C" {

int32_t __stdcall PS2EgetLibType() {
  return korvane::kLibraryType;
}

const char* __stdcall PS2EgetLibName() {
  return kName;
}

int32_t __stdcall PS2EgetLibVersion2(uint32_t) {
  return korvane::kLibraryVersion;
}

int32_t __stdcall CDVDinit() {
  return Guarded(0, [] { return g_plugin.Init(); });
}

#ifdef KORVANE_TITLED_OPEN
int32_t __stdcall CDVDopen(const char* /*title: the source is chosen as ever*/) {
#else
int32_t __stdcall CDVDopen() {
#endif
  return Guarded(0, [] { return g_plugin.Open(); });
}

void __stdcall CDVDclose() {
  GuardedVoid([] { g_plugin.Close(); });
}

void __stdcall CDVDshutdown() {
  GuardedVoid([] { g_plugin.Shutdown(); });
}

int32_t __stdcall CDVDreadTrack(uint32_t lsn, int32_t mode) {
  return Guarded(-1, [=] { return g_plugin.ReadTrack(lsn, mode); });
}

uint8_t* __stdcall CDVDgetBuffer() {
  return Guarded(static_cast<uint8_t*>(nullptr), [] { return g_plugin.GetBuffer(); });
}

#ifdef KORVANE_TITLED_OPEN
int32_t __stdcall CDVDgetBuffer2(uint8_t* buffer) {
  return Guarded(-1, [=] { return g_plugin.GetBuffer2(buffer); });
}
#endif

int32_t __stdcall CDVDreadSubQ(uint32_t lsn, void* subq) {
  return Guarded(-1, [=] { return g_plugin.ReadSubQ(lsn, subq); });
}

int32_t __stdcall CDVDgetTN(korvane::TrackNumbers* record) {
  return Guarded(-1, [=] { return g_plugin.GetTN(record); });
}

int32_t __stdcall CDVDgetTD(uint8_t track, korvane::TrackDescriptor* record) {
  return Guarded(-1, [=] { return g_plugin.GetTD(track, record); });
}

int32_t __stdcall CDVDgetTOC(void* toc) {
  return Guarded(-1, [=] { return g_plugin.GetTOC(toc); });
}

int32_t __stdcall CDVDgetDiskType() {
  return Guarded(0, [] { return g_plugin.GetDiskType(); });
}

int32_t __stdcall CDVDgetTrayStatus() {
  return g_plugin.GetTrayStatus();
}

int32_t __stdcall CDVDctrlTrayOpen() {
  return Guarded(0, [] { return g_plugin.CtrlTrayOpen(); });
}

int32_t __stdcall CDVDctrlTrayClose() {
  return Guarded(0, [] { return g_plugin.CtrlTrayClose(); });
}

int32_t __stdcall CDVDtest() {
  return Guarded(0, [] { return g_plugin.Test(); });
}

void __stdcall CDVDconfigure() {
  GuardedVoid([] {
    // The host finds its working directory as it was, whatever the dialog changed and
    // however it ended.
    std::string hostDirectory = korvane::platform::GetWorkingDirectory();
    GuardedVoid([] {
      g_plugin.CreatePluginSocket();
      korvane::RunConfigDialog(reinterpret_cast<HINSTANCE>(&__ImageBase), g_plugin);
    });
    if (!hostDirectory.empty()) korvane::platform::SetWorkingDirectory(hostDirectory);
  });
}

void __stdcall CDVDabout() {
  GuardedVoid([] { korvane::RunAboutBox(reinterpret_cast<HINSTANCE>(&__ImageBase), kName); });
}

}  // extern "C"
