// The entry points around the read path: identity, CDVDopen's branches and traces,
// CDVDclose, the track queries, the disc type and the fixed answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "TestSupport.h"
#include "core/Plugin.h"

namespace korvane {
namespace {

class PluginTest : public ::testing::Test {
 protected:
  PluginState& State() { return plugin_->State(); }
  std::string Line(const std::string& text) { return text + "\r\n"; }
  std::string Prefix(const std::string& text) { return Line("KorvaneCDVD OutPut: " + text); }

  test::ScratchFolder folder_;
  test::CapturedTrace trace_;
  std::unique_ptr<Plugin> plugin_ = std::make_unique<Plugin>(trace_);
};

TEST_F(PluginTest, StartsWithTheValuesAtLoad) {
  EXPECT_TRUE(State().LocalImagePath.empty());
  EXPECT_FALSE(State().RemoteMode);
  EXPECT_TRUE(State().DebugTrace);
  EXPECT_EQ(State().DiskType, kDiskTypePs2Cd);
  EXPECT_EQ(State().GamesFolder, "Games");
  EXPECT_EQ(plugin_->Image().SectorSize(), 0);
  EXPECT_EQ(State().SelectedDiscIndex, 0);
  EXPECT_EQ(std::string(kLibraryName), "Korvane CDVD Plugin 0.5.9.1A Alpha");
  EXPECT_EQ(kLibraryVersion, 327688);
  EXPECT_EQ(plugin_->Init(), 0);
  EXPECT_EQ(plugin_->Image().Window().ReadAheadCursor, 1);
}

TEST_F(PluginTest, OpenInNullModePreparesNothing) {
  EXPECT_EQ(plugin_->Open(), 0);
  EXPECT_EQ(trace_.Text(), Prefix("CDVDopen Called"));
  EXPECT_EQ(plugin_->Image().SectorSize(), 0);
}

TEST_F(PluginTest, OpenOfAnImageDetectsAndHoldsIt) {
  std::string path = folder_.MakeImage("game.bin", 4, 2352);
  State().LocalImagePath = path;
  EXPECT_EQ(plugin_->Open(), 0);
  EXPECT_EQ(trace_.Text(),
            Prefix("CDVDopen Called") + Prefix("CDVDDetectIsoType Called and returned 2352"));
  EXPECT_TRUE(plugin_->Image().HoldsOpen(path));
}

TEST_F(PluginTest, SecondBufferCopiesTheLastReadsModeAndNothingMore) {
  std::vector<uint8_t> copy(2400, 0xAB);
  EXPECT_EQ(plugin_->GetBuffer2(copy.data()), -1);  // null mode
  State().LocalImagePath = folder_.MakeImage("game.bin", 4, 2352);
  plugin_->Open();
  for (int32_t mode : {kModeRaw2340, kModeData2048}) {
    std::fill(copy.begin(), copy.end(), 0xAB);
    ASSERT_EQ(plugin_->ReadTrack(2, mode), 0);
    size_t size = SectorBytesForMode(mode);
    EXPECT_EQ(plugin_->GetBuffer2(copy.data()), 0);
    EXPECT_EQ(std::memcmp(copy.data(), plugin_->GetBuffer(), size), 0) << mode;
    EXPECT_EQ(copy[size], 0xAB) << mode;
  }
  EXPECT_EQ(plugin_->GetBuffer2(nullptr), -1);
}

TEST_F(PluginTest, OpenOfAMissingImageStillSucceeds) {
  State().LocalImagePath = folder_.PathOf("absent.iso");
  EXPECT_EQ(plugin_->Open(), 0);
  EXPECT_EQ(plugin_->Image().SectorSize(), 2048);
  EXPECT_FALSE(plugin_->Image().IsOpen());
}

TEST_F(PluginTest, OpenOfACacheIndexWritesItsLinesWhateverDebugInfoSays) {
  std::string map = folder_.MakeFile("game.iso.map", {});
  State().LocalImagePath = map;
  State().DebugTrace = false;
  plugin_->Open();
  EXPECT_EQ(trace_.Text(), Line("Loading Mapped Headers for " + map));
  trace_.Clear();
  State().DebugTrace = true;
  plugin_->Open();
  EXPECT_EQ(trace_.Text(), Prefix("CDVDopen Called") + Line("Loading Mapped Headers for " + map) +
                               Line("Finshed loading Mapped Headers for " + map));

  trace_.Clear();
  State().DebugTrace = false;
  State().LocalImagePath = folder_.PathOf("absent.map");
  plugin_->Open();
  EXPECT_EQ(trace_.Text(), Line("Error Loading Mapped Headers for " + State().LocalImagePath));
}

TEST_F(PluginTest, OpenInRemoteModeNamesTheDiscSetOnTheServer) {
  State().RemoteMode = true;
  State().SelectedDiscIndex = -3;
  EXPECT_EQ(plugin_->Open(), 0);
  EXPECT_EQ(trace_.Text(),
            Prefix("CDVDopen Called") + Line("Setting Current Disk to -3 on server"));
}

TEST_F(PluginTest, CloseClosesTheImageOnceAndAlwaysTraces) {
  State().LocalImagePath = folder_.MakeImage("game.iso", 4, 2048);
  plugin_->Open();
  trace_.Clear();
  plugin_->Close();
  EXPECT_FALSE(plugin_->Image().IsOpen());
  plugin_->Close();
  EXPECT_EQ(trace_.Text(), Prefix("CDVDclose Called") + Prefix("CDVDclose Called"));
}

TEST_F(PluginTest, OpenOfAnotherSourceLetsGoOfTheImageAnEarlierOpenHeld) {
  const std::string image = folder_.MakeImage("game.iso", 4, 2048);
  const std::string map = folder_.MakeFile("c.map", {});
  const std::function<void()> elsewheres[] = {[&] { State().RemoteMode = true; },
                                              [&] { State().LocalImagePath = map; },
                                              [&] { State().LocalImagePath.clear(); }};
  for (const std::function<void()>& elsewhere : elsewheres) {
    State().RemoteMode = false;
    State().LocalImagePath = image;
    plugin_->Open();
    ASSERT_TRUE(plugin_->Image().HoldsOpen(image));
    elsewhere();
    plugin_->Open();
    EXPECT_FALSE(plugin_->Image().IsOpen());
  }
}

TEST_F(PluginTest, TrackCountIsOneTrack) {
  TrackNumbers tn{9, 9};
  EXPECT_EQ(plugin_->GetTN(&tn), 0);
  EXPECT_EQ(tn.strack, 1);
  EXPECT_EQ(tn.etrack, 1);
  EXPECT_EQ(plugin_->GetTN(nullptr), 0);
  EXPECT_EQ(trace_.Text(),
            Prefix("CDVDgetTN Called and returned 0") + Prefix("CDVDgetTN Called and returned 0"));
}

TEST_F(PluginTest, TrackDescriptorMeasuresTheChosenFileIn2048ByteSectors) {
  State().ImageFileChooser = folder_.MakeFile("chosen.bin", std::vector<uint8_t>(1000000));
  TrackDescriptor td{};
  EXPECT_EQ(plugin_->GetTD(0, &td), 0);
  EXPECT_EQ(td.lsn, 488u);
  EXPECT_EQ(td.type, 0x41);
  td = {};
  EXPECT_EQ(plugin_->GetTD(2, &td), -1);
  EXPECT_EQ(td.lsn, 488u);
  EXPECT_EQ(td.type, 0x41);
  EXPECT_EQ(trace_.Text(),
            Prefix("CDVDgetTD Called and returned 0") + Prefix("CDVDgetTD Called and returned 0"));
}

TEST_F(PluginTest, TrackDescriptorOfAReplayedCacheIsItsIndexNotItsMapFile) {
  const std::string text = "0/3/0\r\n9/3/2048\r\n4/3/4096\r\n";
  State().LocalImagePath =
      folder_.MakeFile("c.map", std::vector<uint8_t>(text.begin(), text.end()));
  folder_.MakeFile("c.Block", std::vector<uint8_t>(3 * 2048));
  plugin_->Open();
  TrackDescriptor td{};
  EXPECT_EQ(plugin_->GetTD(1, &td), 0);
  EXPECT_EQ(td.lsn, 10u);  // the highest LSN held, plus one
  EXPECT_EQ(td.type, 0x41);
  const std::string cMap = State().LocalImagePath;
  State().LocalImagePath = folder_.MakeFile("empty.map", {});
  plugin_->Open();
  EXPECT_EQ(plugin_->GetTD(1, &td), -1);
  EXPECT_EQ(td.lsn, 0u);
  EXPECT_EQ(td.type, 0x41);
  State().LocalImagePath = cMap;  // named again after CDVDopen: measured by its own index
  EXPECT_EQ(plugin_->GetTD(1, &td), 0);
  EXPECT_EQ(td.lsn, 10u);
  State().ImageFileChooser = folder_.MakeFile("chosen.bin", std::vector<uint8_t>(4096));
  EXPECT_EQ(plugin_->GetTD(1, &td), 0);  // a chosen file is measured, as ever
  EXPECT_EQ(td.lsn, 2u);
}

TEST_F(PluginTest, TrackDescriptorFallsBackToTheLocalImageThenFails) {
  State().LocalImagePath = folder_.MakeImage("game.bin", 10, 2352);  // 23520 bytes
  plugin_->Open();  // held without sharing, still measurable
  TrackDescriptor td{};
  EXPECT_EQ(plugin_->GetTD(1, &td), 0);
  EXPECT_EQ(td.lsn, 11u);

  State().LocalImagePath.clear();
  td = {1234, 0};
  EXPECT_EQ(plugin_->GetTD(1, &td), -1);
  EXPECT_EQ(td.lsn, 0u);
  EXPECT_EQ(td.type, 0x41);
  State().ImageFileChooser = folder_.PathOf("gone.iso");
  EXPECT_EQ(plugin_->GetTD(0, &td), -1);
  EXPECT_EQ(plugin_->GetTD(0, nullptr), -1);
}

TEST_F(PluginTest, DiskTypeNeedsAConfiguredSource) {
  State().DebugTrace = false;
  EXPECT_EQ(plugin_->GetDiskType(), 0);
  EXPECT_EQ(trace_.Text(), Prefix("CDVDgetDiskType Called returned CDVD_TYPE_NODISC"));
  trace_.Clear();
  State().LocalImagePath = folder_.PathOf("not-checked.iso");
  State().DiskType = kDiskTypePs2Dvd;
  EXPECT_EQ(plugin_->GetDiskType(), 20);
  State().LocalImagePath.clear();
  State().RemoteMode = true;
  EXPECT_EQ(plugin_->GetDiskType(), 20);
  EXPECT_EQ(trace_.Text(), "");
}

TEST_F(PluginTest, FixedAnswersAndTheirTraces) {
  EXPECT_EQ(plugin_->ReadSubQ(0, nullptr), -1);
  EXPECT_EQ(plugin_->GetTOC(nullptr), -1);
  EXPECT_EQ(plugin_->GetTrayStatus(), 0);
  EXPECT_EQ(plugin_->CtrlTrayOpen(), 0);
  EXPECT_EQ(plugin_->CtrlTrayClose(), 0);
  EXPECT_EQ(plugin_->Test(), 0);
  EXPECT_EQ(trace_.Text(), Prefix("CDVDreadSubQ Called and returned -1") +
                               Prefix("CDVDctrlTrayOpen returned 0") +
                               Prefix("CDVDctrlTrayClose Called returned 0") +
                               Prefix("CDVDtest Called returned 0"));
  trace_.Clear();
  State().DebugTrace = false;
  plugin_->ReadSubQ(0, nullptr);
  plugin_->CtrlTrayOpen();
  plugin_->Test();
  plugin_->Close();
  plugin_->Open();
  EXPECT_EQ(trace_.Text(), "");
}

}  // namespace
}  // namespace korvane
