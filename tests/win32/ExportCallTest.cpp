// Every export of both DLLs called as a host calls it: through a stdcall pointer from
// GetProcAddress, with the stack pointer compared before and after, so an export that
// removes a different number of argument bytes than its hosts push is caught. The titled
// DLL's CDVDopen takes the title pointer, null or a path.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "../../host/StdcallCall.h"

namespace {

// Closes the modal window with caption that CDVDconfigure or CDVDabout shows, as its close
// box does; other processes' windows of the same name are left alone.
void CloseWindowWhenShown(const char* caption) {
  for (int wait = 0; wait < 1000; ++wait) {
    for (HWND window = ::FindWindowExA(nullptr, nullptr, "#32770", caption); window;
         window = ::FindWindowExA(nullptr, window, "#32770", caption)) {
      DWORD process = 0;
      ::GetWindowThreadProcessId(window, &process);
      if (process == ::GetCurrentProcessId() && ::IsWindowVisible(window)) {
        ::PostMessageA(window, WM_CLOSE, 0, 0);
        return;
      }
    }
    ::Sleep(10);
  }
}

class ExportCalls : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ASSERT_NE(module_, nullptr) << GetParam(); }
  void TearDown() override {
    if (module_) ::FreeLibrary(module_);
  }
  // Calls the export name with args; expects it to remove exactly the argument bytes.
  uint32_t Invoke(const char* name, std::initializer_list<uint32_t> args = {}) {
    FARPROC fn = ::GetProcAddress(module_, name);
    EXPECT_NE(fn, nullptr) << name;
    if (!fn) return 0xDEADBEEF;
    host::StdcallResult call =
        host::CallStdcall(fn, args.begin(), static_cast<uint32_t>(args.size()));
    EXPECT_EQ(call.stackDrift, 0) << name << " with " << args.size() << " arguments";
    return call.value;
  }
  bool Titled() const { return std::string(GetParam()) == "KorvaneCDVD-titled.dll"; }
  // CDVDopen as the DLL's hosts call it, with title when they pass one.
  uint32_t Open(const char* title = nullptr) {
    return Titled() ? Invoke("CDVDopen", {Ptr(title)}) : Invoke("CDVDopen");
  }
  static uint32_t Ptr(const void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
  }

  HMODULE module_ = ::LoadLibraryA(GetParam());
};

TEST_P(ExportCalls, IdentityQueries) {
  EXPECT_EQ(Invoke("PS2EgetLibType"), 8u);
  auto* name = reinterpret_cast<const char*>(Invoke("PS2EgetLibName"));
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, Titled() ? "Korvane CDVD Plugin 0.5.9.1A Alpha (titled)"
                              : "Korvane CDVD Plugin 0.5.9.1A Alpha");
  EXPECT_EQ(reinterpret_cast<const char*>(Invoke("PS2EgetLibName")), name);
  EXPECT_EQ(Invoke("PS2EgetLibVersion2", {8}), 0x00050008u);
  EXPECT_EQ(Invoke("PS2EgetLibVersion2", {0xFFFFFFFF}), 0x00050008u);
}

TEST_P(ExportCalls, EveryExportInTheHostsOrderInNullMode) {
  EXPECT_EQ(Invoke("CDVDinit"), 0u);
  EXPECT_EQ(Open(), 0u);
  if (Titled()) EXPECT_EQ(Open("D:\\games\\game.iso"), 0u);
  EXPECT_EQ(Invoke("CDVDgetDiskType"), 0u);
  EXPECT_EQ(Invoke("CDVDgetTrayStatus"), 0u);
  uint8_t tn[2] = {0, 0};
  EXPECT_EQ(Invoke("CDVDgetTN", {Ptr(tn)}), 0u);
  EXPECT_EQ(tn[0], 1);
  EXPECT_EQ(tn[1], 1);
  struct {
    uint32_t lsn;
    uint8_t type;
  } td{77, 0};
  EXPECT_EQ(static_cast<int32_t>(Invoke("CDVDgetTD", {1, Ptr(&td)})), -1);  // nothing chosen
  EXPECT_EQ(td.lsn, 0u);
  EXPECT_EQ(td.type, 0x41);
  uint8_t subq[16] = {};
  EXPECT_EQ(static_cast<int32_t>(Invoke("CDVDreadSubQ", {16, Ptr(subq)})), -1);
  uint8_t toc[1024] = {};
  EXPECT_EQ(static_cast<int32_t>(Invoke("CDVDgetTOC", {Ptr(toc)})), -1);
  EXPECT_EQ(Invoke("CDVDreadTrack", {16, 3}), 0u);
  EXPECT_EQ(Invoke("CDVDgetBuffer"), 0u);
  if (Titled()) {
    uint8_t sector[2368];
    EXPECT_EQ(static_cast<int32_t>(Invoke("CDVDgetBuffer2", {Ptr(sector)})), -1);
  }
  EXPECT_EQ(Invoke("CDVDreadTrack", {0xFFFFFFFF, 0}), 0u);
  EXPECT_EQ(Invoke("CDVDctrlTrayOpen"), 0u);
  EXPECT_EQ(Invoke("CDVDctrlTrayClose"), 0u);
  EXPECT_EQ(Invoke("CDVDtest"), 0u);
  Invoke("CDVDclose");
  Invoke("CDVDshutdown");
}

TEST_P(ExportCalls, ConfigureAndAboutReturnAndKeepTheWorkingDirectory) {
  char before[MAX_PATH] = {}, after[MAX_PATH] = {};
  ::GetCurrentDirectoryA(MAX_PATH, before);
  std::thread closer(CloseWindowWhenShown, "Config");
  Invoke("CDVDconfigure");
  closer.join();
  std::thread aboutCloser(CloseWindowWhenShown, "About...");
  Invoke("CDVDabout");
  aboutCloser.join();
  ::GetCurrentDirectoryA(MAX_PATH, after);
  EXPECT_STREQ(before, after);
}

// The Config window starts its news fetch, and with it a lookup of "localhost", as it opens;
// a host that closes the window and unloads the plugin at once must not lose the process to
// that lookup, and the plugin must be gone once the lookup is done.
TEST_P(ExportCalls, UnloadedWhileTheNewsLookupMayRunTheProcessGoesOnAndThePluginGoes) {
  for (int round = 0; round < 5; ++round) {
    if (!module_) module_ = ::LoadLibraryA(GetParam());
    ASSERT_NE(module_, nullptr);
    std::thread closer(CloseWindowWhenShown, "Config");
    Invoke("CDVDconfigure");
    closer.join();
    ::FreeLibrary(module_);
    module_ = nullptr;
  }
  bool gone = false;
  for (int wait = 0; wait < 500 && !gone; ++wait) {
    gone = ::GetModuleHandleA(GetParam()) == nullptr;
    if (!gone) ::Sleep(10);
  }
  EXPECT_TRUE(gone);
  ::Sleep(200);  // any late answer of a lookup would have landed by now
  char probe[64] = {};
  EXPECT_NE(::GetModuleFileNameA(nullptr, probe, sizeof probe), 0u);
}

INSTANTIATE_TEST_SUITE_P(BothDlls, ExportCalls,
                         ::testing::Values("KorvaneCDVD.dll", "KorvaneCDVD-titled.dll"));

}  // namespace
