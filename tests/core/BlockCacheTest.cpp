// The block cache files: where appends put bytes and lines, how short sectors read back,
// offsets past 4 GiB, repairs of torn index lines, failures to write, and CDVDopen's
// preparation of a remote disc's cache.
#include <filesystem>

#include "CacheTestFixture.h"

namespace korvane {
namespace {

using test::PatternSector;

class BlockCacheTest : public test::CacheTest {};

TEST_F(BlockCacheTest, FirstAppendCreatesTheFilesAtOffsetZero) {
  State().SelectedDiscName = "game.iso";
  auto sector = PatternSector(16, 2048);
  ASSERT_TRUE(Store().AppendSector(16, kModeData2048, sector.data(), sector.size()));
  EXPECT_EQ(ReadText("Games/game.iso.map"), "16/3/0\r\n");
  EXPECT_EQ(ReadText("Games/game.iso.Block"), std::string(sector.begin(), sector.end()));
  EXPECT_EQ(Cache().LookupCachedSector(16, kModeData2048), 1u);
  EXPECT_EQ(Cache().LookupCachedSector(16, kModeRaw2352), CacheIndex::kNone);
}

TEST_F(BlockCacheTest, AppendsAfterAnExistingBlockFile) {
  State().SelectedDiscName = "game.iso";
  std::filesystem::create_directory("Games");
  WriteText("Games/game.iso.Block", std::string(10000, 'x'));
  auto sector = PatternSector(5, 2352);
  ASSERT_TRUE(Store().AppendSector(5, kModeRaw2352, sector.data(), sector.size()));
  EXPECT_EQ(Cache().CacheWriteOffset(), 10000);
  EXPECT_EQ(ReadText("Games/game.iso.map"), "5/0/10000\r\n");
  ASSERT_EQ(Cache().ReadCachedSector(Store().Name(), 1, 2352, State().SectorBuffer),
            2352u);
  EXPECT_EQ(Buffer(2352), sector);
}

TEST_F(BlockCacheTest, RunIsCutIntoPiecesOfTheModesSizeWithAShortLast) {
  State().SelectedDiscName = "run.iso";
  std::vector<uint8_t> payload(5000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31);
  EXPECT_EQ(Store().Append(100, kModeData2048, payload.data(), payload.size(), 2048),
            3u);
  EXPECT_EQ(ReadText("Games/run.iso.map"), "100/3/0\r\n101/3/2048\r\n102/3/4096\r\n");
  EXPECT_EQ(ReadText("Games/run.iso.Block"), std::string(payload.begin(), payload.end()));

  // The short last piece reads back with the mode's full size: its 904 bytes, the rest of
  // the buffer as it was, since nothing follows it in the file.
  std::vector<uint8_t> marker(2352, 0xCD);
  State().SectorBuffer.Write(0, marker.data(), marker.size());
  EXPECT_EQ(Cache().ReadCachedSector(Store().Name(), 3, 2048, State().SectorBuffer),
            904u);
  EXPECT_EQ(Buffer(904), std::vector<uint8_t>(payload.begin() + 4096, payload.end()));
  EXPECT_EQ(Buffer(2048)[904], 0xCD);
}

TEST_F(BlockCacheTest, ShortSectorReadsOnIntoTheBytesThatFollowIt) {
  State().SelectedDiscName = "short.iso";
  auto small = PatternSector(1, 2048);  // a 2048-byte reply to a mode-0 request
  auto next = PatternSector(2, 2352);
  ASSERT_TRUE(Store().AppendSector(1, kModeRaw2352, small.data(), small.size()));
  ASSERT_TRUE(Store().AppendSector(2, kModeRaw2352, next.data(), next.size()));
  ASSERT_EQ(Cache().ReadCachedSector(Store().Name(), 1, 2352, State().SectorBuffer),
            2352u);
  std::vector<uint8_t> expected(small);
  expected.insert(expected.end(), next.begin(), next.begin() + 304);
  EXPECT_EQ(Buffer(2352), expected);
}

TEST_F(BlockCacheTest, EmptyDiscNameGivesHiddenNamesInTheGamesFolder) {
  auto sector = PatternSector(0, 2048);
  ASSERT_TRUE(Store().AppendSector(0, kModeData2048, sector.data(), sector.size()));
  EXPECT_TRUE(std::filesystem::exists("Games/.Block"));
  EXPECT_EQ(ReadText("Games/.map"), "0/3/0\r\n");
}

TEST_F(BlockCacheTest, OffsetsBeyondFourGibibytesAreWrittenAndReadBack) {
  State().SelectedDiscName = "dvd.iso";
  std::filesystem::create_directory("Games");
  WriteText("Games/dvd.iso.Block", "");
  constexpr uint64_t kSize = 4500000000ull;
  std::filesystem::resize_file("Games/dvd.iso.Block", kSize);
  auto sector = PatternSector(2000000, 2048);
  ASSERT_TRUE(Store().AppendSector(2000000, kModeData2048, sector.data(), sector.size()));
  EXPECT_EQ(ReadText("Games/dvd.iso.map"), "2000000/3/4500000000\r\n");

  State().RemoteMode = true;
  plugin_->Open();  // loads the index back from the file
  EXPECT_EQ(Cache().Index().Count(), 1u);
  EXPECT_EQ(plugin_->ReadTrack(2000000, kModeData2048), 0);
  EXPECT_EQ(Buffer(2048), sector);
}

TEST_F(BlockCacheTest, TornLastLineIsLostAndTheNextAppendCutsItOff) {
  State().SelectedDiscName = "torn.iso";
  StoreSectors(16, 2, kModeData2048);
  std::string map = ReadText("Games/torn.iso.map");
  WriteText("Games/torn.iso.map", map + "18/3/40");  // a crash while writing a line
  State().RemoteMode = true;
  plugin_->Open();
  EXPECT_EQ(Cache().Index().Count(), 2u);
  StoreSectors(19, 1, kModeData2048);
  EXPECT_EQ(ReadText("Games/torn.iso.map"), map + "19/3/4096\r\n");
  plugin_->Open();
  EXPECT_EQ(Cache().Index().Count(), 3u);
  EXPECT_EQ(Cache().LookupCachedSector(18, kModeData2048), CacheIndex::kNone);
  ASSERT_EQ(plugin_->ReadTrack(19, kModeData2048), 0);
  auto raw = PatternSector(19, 2352);
  EXPECT_EQ(Buffer(2048), std::vector<uint8_t>(raw.begin() + 24, raw.begin() + 24 + 2048));

  WriteText("Games/torn.iso.map", "16/3/0\r");  // even a line short of its LF alone is torn
  StoreSectors(20, 1, kModeData2048);
  EXPECT_EQ(ReadText("Games/torn.iso.map"), "20/3/6144\r\n");
}

// An index whose line ends another tool turned into LF alone (or a stray CR) loads whole,
// and an append keeps every one of its lines.
TEST_F(BlockCacheTest, LinesEndedByLfAloneAreEntriesThatAnAppendKeeps) {
  State().SelectedDiscName = "edited.iso";
  StoreSectors(16, 4, kModeData2048);
  std::string map = ReadText("Games/edited.iso.map");
  for (size_t at; (at = map.find("\r\n")) != std::string::npos;) map.replace(at, 2, "\n");
  map.replace(map.find('\n'), 1, "\r");  // "16/3/0\r17/3/2048\n..."
  WriteText("Games/edited.iso.map", map);
  State().RemoteMode = true;
  plugin_->Open();
  EXPECT_EQ(Cache().Index().Count(), 4u);
  StoreSectors(20, 1, kModeData2048);
  EXPECT_EQ(ReadText("Games/edited.iso.map"), map + "20/3/8192\r\n");
  plugin_->Open();
  ASSERT_EQ(Cache().Index().Count(), 5u);
  for (uint32_t lsn = 16; lsn <= 20; ++lsn) {
    ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), 0) << lsn;
    auto raw = PatternSector(lsn, 2352);
    EXPECT_EQ(Buffer(2048), std::vector<uint8_t>(raw.begin() + 24, raw.begin() + 24 + 2048));
  }
}

TEST_F(BlockCacheTest, GamesFolderThatCannotBeCreatedCachesNothingAndSaysWhy) {
  WriteText("Games", "a file where the folder should be");
  auto sector = PatternSector(3, 2048);
  EXPECT_FALSE(Store().AppendSector(3, kModeData2048, sector.data(), sector.size()));
  EXPECT_EQ(Cache().Index().Count(), 0u);
  EXPECT_EQ(trace_.Text(),
            "KorvaneCDVD OutPut: Cannot create folder Games: sectors not cached\r\n");
}

TEST_F(BlockCacheTest, BlockFileThatCannotBeOpenedCachesNothingAndSaysWhy) {
  State().SelectedDiscName = "locked.iso";
  std::filesystem::create_directories("Games/locked.iso.Block");  // a folder in its place
  auto sector = PatternSector(3, 2048);
  EXPECT_FALSE(Store().AppendSector(3, kModeData2048, sector.data(), sector.size()));
  EXPECT_EQ(Cache().Index().Count(), 0u);
  EXPECT_FALSE(std::filesystem::exists("Games/locked.iso.map"));
  // The line says why, in the system's words.
  EXPECT_EQ(trace_.Text().find("KorvaneCDVD OutPut: Cannot write Games\\locked.iso.Block ("), 0u);
  EXPECT_NE(trace_.Text().find("): sectors not cached\r\n"), std::string::npos);
  EXPECT_EQ(trace_.Text().find("\r\n"), trace_.Text().size() - 2);  // one line
}

TEST_F(BlockCacheTest, IndexFileThatCannotBeOpenedStillIndexesWhatWasWritten) {
  State().SelectedDiscName = "nomap.iso";
  std::filesystem::create_directories("Games/nomap.iso.map");
  auto sector = PatternSector(3, 2048);
  EXPECT_TRUE(Store().AppendSector(3, kModeData2048, sector.data(), sector.size()));
  EXPECT_EQ(Cache().LookupCachedSector(3, kModeData2048), 1u);
  EXPECT_NE(trace_.Text().find("Cannot write Games\\nomap.iso.map"), std::string::npos);
}

TEST_F(BlockCacheTest, RemoteOpenLoadsTheDiscsIndexWithItsTraces) {
  State().RemoteMode = true;
  State().SelectedDiscName = "a.iso";
  plugin_->Open();  // no index file yet: no loading lines
  EXPECT_EQ(trace_.Text(),
            "KorvaneCDVD OutPut: CDVDopen Called\r\nSetting Current Disk to 0 on server\r\n");
  StoreSectors(0, 40, kModeData2048);
  State().SelectedDiscName = "b.iso";
  StoreSectors(0, 3, kModeRaw2352);
  State().SelectedDiscIndex = 1;
  trace_.Clear();
  plugin_->Open();
  EXPECT_EQ(
      trace_.Text(),
      "KorvaneCDVD OutPut: CDVDopen Called\r\nLoading Mapped Headers for b.iso.map\r\n"
      "Finshed loading Mapped Headers for b.iso.map\r\nSetting Current Disk to 1 on server\r\n");
  // Disc A's entries are gone although its index was longer.
  EXPECT_EQ(Cache().Index().Count(), 3u);
  EXPECT_EQ(Cache().LookupCachedSector(10, kModeData2048), CacheIndex::kNone);
  EXPECT_EQ(Cache().CacheWriteOffset(), 0);
}

// The dialog may name another disc, or another replayed .map, between CDVDopen and a read:
// the read then uses that disc's own index, never the one loaded for the files before.
TEST_F(BlockCacheTest, AReadNeverPairsAnIndexWithAnotherDiscsFiles) {
  State().SelectedDiscName = "a.iso";
  StoreSectors(10, 2, kModeData2048);  // a.iso: LSN 10 at offset 0
  State().SelectedDiscName = "b.iso";
  StoreSectors(20, 2, kModeData2048);  // b.iso: LSN 20 at offset 0
  auto expect = [&](uint32_t lsn, int32_t result) {
    SCOPED_TRACE(lsn);
    ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), result);
    auto raw = PatternSector(lsn, 2352);
    if (result == 0) {
      EXPECT_EQ(Buffer(2048), std::vector<uint8_t>(raw.begin() + 24, raw.begin() + 2072));
    }
  };
  State().RemoteMode = true;
  State().SelectedDiscName = "a.iso";
  plugin_->Open();
  State().SelectedDiscName = "b.iso";
  expect(10, -1);  // not b.iso's: a miss with no server, never a.iso's offset in b.iso.Block
  expect(21, 0);
  EXPECT_NE(trace_.Text().find("Loading Mapped Headers for Games\\b.iso.map\r\n"),
            std::string::npos);
  State().RemoteMode = false;  // replay a.iso, then b.iso, on the index CDVDopen loaded
  State().LocalImagePath = "Games/a.iso.map";
  plugin_->Open();
  State().LocalImagePath = "Games/b.iso.map";
  expect(10, -1);
  expect(20, 0);
  State().RemoteMode = true;
  State().SelectedDiscName = "a.iso";
  expect(20, -1);
  expect(11, 0);
}

TEST_F(BlockCacheTest, RemoteHitsServeTheCacheAndTraceUnsupportedModes) {
  State().SelectedDiscName = "hit.iso";
  StoreSectors(16, 3, kModeRaw2340);
  auto two = PatternSector(9, 2048);
  ASSERT_TRUE(Store().AppendSector(9, kMode2328, two.data(), two.size()));
  State().RemoteMode = true;
  plugin_->Open();
  trace_.Clear();
  ASSERT_EQ(plugin_->ReadTrack(17, kModeRaw2340), 0);
  auto raw = PatternSector(17, 2352);
  EXPECT_EQ(Buffer(2340), std::vector<uint8_t>(raw.begin() + 12, raw.end()));
  EXPECT_EQ(plugin_->ReadTrack(9, kMode2328), 0);
  EXPECT_EQ(plugin_->ReadTrack(30, kModeRaw2340), -1);  // a miss, and no link to fetch it
  EXPECT_EQ(trace_.Text(),
            "KorvaneCDVD OutPut: Block Mode[CDVD_MODE_2328] LSN[9] NOT SUPPORTED REPORT\r\n"
            "KorvaneCDVD OutPut: Server link not connected, LSN[30] not read\r\n");
}

TEST_F(BlockCacheTest, LoadsAFourPointTwoMillionLineIndex) {
  constexpr uint32_t kLines = 4200000;
  std::string text;
  text.reserve(size_t{kLines} * 20);
  for (uint32_t i = 0; i < kLines; ++i) AppendMapLine({3, i, int64_t{i} * 2048}, text);
  std::filesystem::create_directory("Games");
  WriteText("Games/dvd.iso.map", text);
  WriteText("Games/dvd.iso.Block", "");
  std::filesystem::resize_file("Games/dvd.iso.Block", uint64_t{kLines} * 2048);  // sparse
  State().RemoteMode = true;
  State().SelectedDiscName = "dvd.iso";
  plugin_->Open();
  ASSERT_EQ(Cache().Index().Count(), kLines);
  EXPECT_EQ(Cache().Index().At(Cache().LookupCachedSector(4199999, 3)).offset,
            int64_t{4199999} * 2048);
  EXPECT_LE(Cache().Index().MemoryBytes(), size_t{32} * kLines);
}

}  // namespace
}  // namespace korvane
