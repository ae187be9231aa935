// Both plugin DLLs as the host's loader sees them: exactly the twenty PS2E names (and the
// titled DLL's CDVDgetBuffer2), plain and all named, and an import table of Windows system
// DLLs only.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "ps2e/CdvdInterface.h"

namespace {

const IMAGE_DATA_DIRECTORY& Directory(HMODULE module, int entry) {
  auto* base = reinterpret_cast<const uint8_t*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  return nt->OptionalHeader.DataDirectory[entry];
}

class PluginImage : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ASSERT_NE(module_, nullptr) << GetParam() << " did not load"; }
  void TearDown() override {
    if (module_) ::FreeLibrary(module_);
  }
  const uint8_t* At(DWORD rva) const { return reinterpret_cast<const uint8_t*>(module_) + rva; }

  bool Titled() const { return std::string(GetParam()) == "KorvaneCDVD-titled.dll"; }

  HMODULE module_ = ::LoadLibraryA(GetParam());
};

TEST_P(PluginImage, ExportsExactlyTheTwentyPlainNames) {
  const IMAGE_DATA_DIRECTORY& dir = Directory(module_, IMAGE_DIRECTORY_ENTRY_EXPORT);
  ASSERT_NE(dir.VirtualAddress, 0u);
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(At(dir.VirtualAddress));
  EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames) << "ordinal-only entries";
  auto* names = reinterpret_cast<const DWORD*>(At(exports->AddressOfNames));
  std::set<std::string> found;
  std::set<std::string> expected(std::begin(korvane::ps2e::kExportNames),
                                 std::end(korvane::ps2e::kExportNames));
  if (Titled()) expected.insert(korvane::ps2e::kTitledHostExport);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    found.insert(reinterpret_cast<const char*>(At(names[i])));
  }
  EXPECT_EQ(found, expected);
  EXPECT_EQ(exports->NumberOfFunctions, expected.size());
  std::string name(reinterpret_cast<const char*>(At(exports->Name)));
  EXPECT_EQ(name, GetParam());
}

TEST_P(PluginImage, ImportsOnlyWindowsSystemLibraries) {
  const std::set<std::string> system = {
      "kernel32.dll", "user32.dll",   "gdi32.dll",    "msvcrt.dll",  "ws2_32.dll",
      "advapi32.dll", "comctl32.dll", "comdlg32.dll", "shell32.dll", "ole32.dll",
      "oleaut32.dll", "wsock32.dll",  "msimg32.dll"};
  const IMAGE_DATA_DIRECTORY& dir = Directory(module_, IMAGE_DIRECTORY_ENTRY_IMPORT);
  ASSERT_NE(dir.VirtualAddress, 0u);
  std::vector<std::string> imported;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(At(dir.VirtualAddress)); d->Name;
       ++d) {
    std::string name(reinterpret_cast<const char*>(At(d->Name)));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    imported.push_back(name);
  }
  EXPECT_FALSE(imported.empty());
  for (const std::string& name : imported) {
    EXPECT_TRUE(system.count(name)) << "imports " << name;
  }
}

INSTANTIATE_TEST_SUITE_P(BothDlls, PluginImage,
                         ::testing::Values("KorvaneCDVD.dll", "KorvaneCDVD-titled.dll"));

}  // namespace
