// A plugin whose working directory is a scratch folder, so that its "Games" folder and
// cache files land there; the directory is restored afterwards.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "core/Plugin.h"
#include "platform/FileSystem.h"

namespace korvane::test {

class CacheTest : public ::testing::Test {
 protected:
  CacheTest() : previous_(platform::GetWorkingDirectory()) {
    platform::SetWorkingDirectory(folder_.Path().string());
  }
  ~CacheTest() override { platform::SetWorkingDirectory(previous_); }

  PluginState& State() { return plugin_->State(); }
  BlockCache& Cache() { return plugin_->Cache(); }
  // The remote disc's store in that cache, which appends to its files.
  CacheStore& Store() { return plugin_->RemoteStore(); }
  std::vector<uint8_t> Buffer(size_t count) {
    const uint8_t* data = State().SectorBuffer.Data();
    return std::vector<uint8_t>(data, data + count);
  }
  static std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  // Stores sectors first..first+count-1 of a generated 2352-byte disc in the given mode, one
  // reply each, as the remote fetch does.
  void StoreSectors(uint32_t first, uint32_t count, int32_t mode) {
    size_t bytes = SectorBytesForMode(mode);
    size_t skip = mode == kModeRaw2340 ? 12 : mode == kModeData2048 ? 24 : 0;
    for (uint32_t lsn = first; lsn < first + count; ++lsn) {
      auto sector = PatternSector(lsn, 2352);
      ASSERT_TRUE(Store().AppendSector(lsn, mode, sector.data() + skip, bytes));
    }
  }

  ScratchFolder folder_;
  std::string previous_;
  CapturedTrace trace_;
  std::unique_ptr<Plugin> plugin_ = std::make_unique<Plugin>(trace_);
};

}  // namespace korvane::test
