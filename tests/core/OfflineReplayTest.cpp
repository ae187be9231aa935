// Offline replay of a block cache given as the local file: which .Block file is read,
// what is missing, unsupported modes, and a whole cached disc played back.
#include <filesystem>

#include "CacheTestFixture.h"

namespace korvane {
namespace {

using test::PatternSector;

class OfflineReplayTest : public test::CacheTest {
 protected:
  void Replay(const std::string& mapPath) {
    State().LocalImagePath = mapPath;
    plugin_->Open();
  }
};

TEST_F(OfflineReplayTest, ReadsTheSectorAtItsEntrysOffsetForItsModeOnly) {
  std::vector<uint8_t> block(4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i / 7);
  folder_.MakeFile("game.iso.Block", block);
  Replay(folder_.MakeFile("game.iso.map", {'1', '6', '/', '3', '/', '0', '\r', '\n', '1', '7', '/',
                                           '3', '/', '2', '0', '4', '8', '\r', '\n'}));
  trace_.Clear();
  ASSERT_EQ(plugin_->ReadTrack(17, kModeData2048), 0);
  EXPECT_EQ(Buffer(2048), std::vector<uint8_t>(block.begin() + 2048, block.end()));
  EXPECT_NE(plugin_->GetBuffer(), nullptr);
  EXPECT_EQ(plugin_->ReadTrack(17, kModeRaw2352), -1);
  EXPECT_EQ(trace_.Text(), "Missing Block Sector please connect to server and run from there\r\n");
  EXPECT_TRUE(std::filesystem::is_directory("Games"));  // made, though the files lie elsewhere
}

TEST_F(OfflineReplayTest, BlockPathIsCutAtTheFirstMapInThePath) {
  EXPECT_EQ(BlockCache::OfflineBlockPath("D:\\cache\\game.iso.map"), "D:\\cache\\game.iso.Block");
  EXPECT_EQ(BlockCache::OfflineBlockPath("D:\\my.maps\\game.iso"), "D:\\my.Block");
  std::filesystem::create_directory(folder_.Path() / "my.maps");
  folder_.MakeFile("my.Block", PatternSector(0, 2048));
  std::string text = "0/3/0\r\n";
  Replay(folder_.MakeFile("my.maps/game.iso", std::vector<uint8_t>(text.begin(), text.end())));
  ASSERT_EQ(plugin_->ReadTrack(0, kModeData2048), 0);
  EXPECT_EQ(Buffer(2048), PatternSector(0, 2048));
}

TEST_F(OfflineReplayTest, UnsupportedModesAreMissingUnlessCached) {
  std::string text = "9/2/0\r\n";
  folder_.MakeFile("g.Block", PatternSector(9, 2352));
  Replay(folder_.MakeFile("g.map", std::vector<uint8_t>(text.begin(), text.end())));
  trace_.Clear();
  EXPECT_EQ(plugin_->ReadTrack(9, kMode2328), -1);
  EXPECT_EQ(plugin_->ReadTrack(9, kMode2368), -1);
  EXPECT_EQ(plugin_->ReadTrack(9, 7), -1);
  EXPECT_EQ(trace_.Text(),
            "KorvaneCDVD OutPut: Block read from file Mode[CDVD_MODE_2328] LSN[9] NOT SUPPORTED "
            "REPORT\r\nMissing Block Sector please connect to server and run from there\r\n"
            "Missing Block Sector please connect to server and run from there\r\n");
}

TEST_F(OfflineReplayTest, MissingIndexOrBlockFileFails) {
  Replay(folder_.PathOf("absent.map"));
  EXPECT_EQ(trace_.Text(),
            "KorvaneCDVD OutPut: CDVDopen Called\r\nError Loading Mapped Headers for " +
                folder_.PathOf("absent.map") + "\r\n");
  EXPECT_EQ(plugin_->ReadTrack(0, kModeData2048), 0);  // no such file: null mode
  EXPECT_EQ(plugin_->GetBuffer(), nullptr);

  std::string text = "0/3/0\r\n";
  Replay(folder_.MakeFile("orphan.iso.map", std::vector<uint8_t>(text.begin(), text.end())));
  std::vector<uint8_t> before = Buffer(2352);
  EXPECT_EQ(plugin_->ReadTrack(0, kModeData2048), -1);  // its .Block is gone
  EXPECT_EQ(Buffer(2352), before);

  Replay(folder_.MakeFile("empty.map", {}));
  EXPECT_EQ(Cache().Index().Count(), 0u);
  EXPECT_EQ(plugin_->ReadTrack(0, kModeData2048), -1);
}

TEST_F(OfflineReplayTest, AWholeCachedDiscPlaysBackAsTheServerSentIt) {
  State().SelectedDiscName = "disc.bin";
  StoreSectors(0, 600, kModeData2048);
  StoreSectors(0, 5, kModeRaw2352);
  Replay("Games\\disc.bin.map");
  for (uint32_t lsn = 0; lsn < 600; ++lsn) {
    ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), 0) << lsn;
    auto raw = PatternSector(lsn, 2352);
    ASSERT_EQ(Buffer(2048), std::vector<uint8_t>(raw.begin() + 24, raw.begin() + 24 + 2048)) << lsn;
  }
  ASSERT_EQ(plugin_->ReadTrack(4, kModeRaw2352), 0);
  EXPECT_EQ(Buffer(2352), PatternSector(4, 2352));
  EXPECT_LT(Cache().Reader().FileReads(), 20u);  // read ahead in chunks, not per sector
}

TEST_F(OfflineReplayTest, DeletedIndexFileIsNoticedWithinABoundedNumberOfReads) {
  State().SelectedDiscName = "gone.iso";
  StoreSectors(0, 10, kModeData2048);
  Replay("Games\\gone.iso.map");
  ASSERT_EQ(plugin_->ReadTrack(0, kModeData2048), 0);
  std::filesystem::remove("Games/gone.iso.map");
  bool fellBack = false;
  for (uint32_t i = 0; i < ReadDispatcher::kExistenceTrustedReads && !fellBack; ++i) {
    plugin_->ReadTrack(i % 10, kModeData2048);
    fellBack = State().SectorBuffer.InNullMode();
  }
  EXPECT_TRUE(fellBack);
}

}  // namespace
}  // namespace korvane
