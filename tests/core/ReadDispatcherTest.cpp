// The read path: which source serves a read, the results and trace lines of each, and when
// CDVDgetBuffer hands out the sector buffer.
#include <gtest/gtest.h>

#include <memory>

#include "TestSupport.h"
#include "core/Plugin.h"

namespace korvane {
namespace {

class ReadDispatcherTest : public ::testing::Test {
 protected:
  PluginState& State() { return plugin_->State(); }
  std::string Prefix(const std::string& text) { return "KorvaneCDVD OutPut: " + text + "\r\n"; }

  test::ScratchFolder folder_;
  test::CapturedTrace trace_;
  std::unique_ptr<Plugin> plugin_ = std::make_unique<Plugin>(trace_);
};

TEST_F(ReadDispatcherTest, NothingConfiguredIsNullModeForEveryMode) {
  for (int32_t mode : {0, 1, 2, 3, 4, 7, -1}) {
    trace_.Clear();
    EXPECT_EQ(plugin_->ReadTrack(16, mode), 0) << mode;
    EXPECT_EQ(trace_.Text(), Prefix("Returning NIL buffer"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(State().SectorBuffer.Data()), 3), "nil");
  }
  trace_.Clear();
  EXPECT_EQ(plugin_->GetBuffer(), nullptr);
  EXPECT_EQ(trace_.Text(), Prefix("Started in CDVD_NULL_MODE"));
}

TEST_F(ReadDispatcherTest, MissingLocalFileFallsBackToNullMode) {
  State().LocalImagePath = folder_.PathOf("absent.iso");
  plugin_->Open();
  EXPECT_EQ(plugin_->ReadTrack(0, kModeData2048), 0);
  EXPECT_TRUE(State().SectorBuffer.InNullMode());
  EXPECT_EQ(plugin_->GetBuffer(), nullptr);
}

TEST_F(ReadDispatcherTest, NullReadStaysNullUntilARealReadOverwritesTheMark) {
  plugin_->ReadTrack(0, kModeData2048);
  State().RemoteMode = true;
  EXPECT_EQ(plugin_->GetBuffer(), nullptr);
  State().RemoteMode = false;
  State().LocalImagePath = folder_.MakeImage("game.iso", 4, 2048);
  ASSERT_EQ(plugin_->ReadTrack(1, kModeData2048), -1);  // a failed read keeps the mark
  EXPECT_EQ(plugin_->GetBuffer(), nullptr);
  plugin_->Open();
  ASSERT_EQ(plugin_->ReadTrack(1, kModeData2048), 0);
  EXPECT_EQ(plugin_->GetBuffer(), State().SectorBuffer.Data());
}

TEST_F(ReadDispatcherTest, SectorThatBeginsWithNilIsStillHandedOut) {
  std::vector<uint8_t> sector(2048, 0);
  sector[0] = 'n';
  sector[1] = 'i';
  sector[2] = 'l';
  State().LocalImagePath = folder_.MakeFile("nil.iso", sector);
  plugin_->Open();
  ASSERT_EQ(plugin_->ReadTrack(0, kModeData2048), 0);
  EXPECT_EQ(plugin_->GetBuffer(), State().SectorBuffer.Data());
}

TEST_F(ReadDispatcherTest, UnsupportedModesOnAnImageAreTracedAndRefused) {
  State().LocalImagePath = folder_.MakeImage("game.iso", 40, 2048);
  plugin_->Open();
  ASSERT_EQ(plugin_->ReadTrack(5, kModeData2048), 0);
  std::vector<uint8_t> before(State().SectorBuffer.Data(), State().SectorBuffer.Data() + 2352);
  trace_.Clear();
  EXPECT_EQ(plugin_->ReadTrack(16, kMode2328), -1);
  EXPECT_EQ(plugin_->ReadTrack(4294967295u, kMode2368), -1);
  EXPECT_EQ(plugin_->ReadTrack(16, 7), -1);
  EXPECT_EQ(plugin_->ReadTrack(16, -1), -1);
  EXPECT_EQ(trace_.Text(), Prefix("Mode[CDVD_MODE_2328] LSN[16] NOT SUPPORTED REPORT") +
                               Prefix("Mode[CDVD_MODE_2368] LSN[4294967295] NOT SUPPORTED REPORT"));
  EXPECT_EQ(std::vector<uint8_t>(State().SectorBuffer.Data(), State().SectorBuffer.Data() + 2352),
            before);
}

TEST_F(ReadDispatcherTest, TracesAreSilentWhileDebugInfoIsOff) {
  State().DebugTrace = false;
  State().LocalImagePath = folder_.MakeImage("game.iso", 4, 2048);
  plugin_->Open();
  plugin_->ReadTrack(0, kMode2328);
  plugin_->ReadTrack(0, kModeData2048);
  State().LocalImagePath.clear();
  plugin_->ReadTrack(0, kModeData2048);
  plugin_->GetBuffer();
  EXPECT_EQ(trace_.Text(), "");
}

TEST_F(ReadDispatcherTest, MapTestIsCaseSensitiveAndMatchesAnywhereInThePath) {
  // An upper-case ".MAP" is a disc image like any other.
  State().LocalImagePath = folder_.MakeImage("GAME.ISO.MAP", 4, 2048);
  plugin_->Open();
  EXPECT_EQ(plugin_->ReadTrack(2, kModeData2048), 0);
  EXPECT_EQ(plugin_->Image().Window().FillCount(), 1u);

  // ".map" in a folder name makes any file a cache index: the image source is not used.
  std::filesystem::create_directories(folder_.Path() / "my.maps");
  State().LocalImagePath = folder_.MakeImage("my.maps/game.iso", 4, 2048);
  plugin_->Open();
  EXPECT_EQ(plugin_->ReadTrack(2, kModeData2048), -1);
  EXPECT_FALSE(plugin_->Image().HoldsOpen(State().LocalImagePath));
  EXPECT_EQ(plugin_->Image().Window().FillCount(), 1u);
}

TEST_F(ReadDispatcherTest, RemoteModeWinsOverTheLocalFile) {
  State().LocalImagePath = folder_.MakeImage("game.iso", 4, 2048);
  plugin_->Open();
  State().RemoteMode = true;
  trace_.Clear();
  EXPECT_EQ(plugin_->ReadTrack(0, kModeData2048), -1);  // no link to the server yet
  EXPECT_EQ(plugin_->Image().Window().FillCount(), 0u);
  EXPECT_EQ(trace_.Text(), Prefix("Server link not connected, LSN[0] not read"));
}

TEST_F(ReadDispatcherTest, SourceIsChosenAgainOnEveryRead) {
  State().LocalImagePath = folder_.MakeImage("game.iso", 4, 2048);
  plugin_->Open();
  ASSERT_EQ(plugin_->ReadTrack(0, kModeData2048), 0);
  EXPECT_NE(plugin_->GetBuffer(), nullptr);
  State().LocalImagePath.clear();  // the dialog clears the file between two reads
  EXPECT_EQ(plugin_->ReadTrack(0, kModeData2048), 0);
  EXPECT_EQ(plugin_->GetBuffer(), nullptr);
}

// A source of a kind the plugin does not have, plugged in through the table alone: it is
// chosen when its entry says, after the entries before it, opened and closed with the rest,
// and a mode it does not serve is reported with its own lead and result.
class FakeWebSource final : public SectorSource {
 public:
  ReadResult Read(uint32_t lsn, int32_t mode, SectorBytes& into) override {
    if (mode != kModeData2048) return ReadResult::kUnsupported;
    const std::vector<uint8_t> sector(2048, static_cast<uint8_t>(lsn));
    into.Write(0, sector.data(), sector.size());
    return ReadResult::kServed;
  }
};

TEST_F(ReadDispatcherTest, ASourcePluggedIntoTheTableIsChosenPreparedAndReportedByItsEntry) {
  std::vector<std::string> calls;
  SourceEntry entry;
  entry.name = "web";
  entry.wants = [](const SourceSettings& s) { return s.path.rfind("http://", 0) == 0; };
  entry.owned = std::make_shared<FakeWebSource>();
  entry.source = entry.owned.get();
  entry.open = [&](bool chosen, const SourceSettings& s) {
    calls.push_back(std::string(chosen ? "open " : "skip ") + s.path);
  };
  entry.close = [&] { calls.push_back("close"); };
  entry.unsupportedLead = "Web Mode[";
  plugin_->Sources().Insert(1, std::move(entry));  // after remote, before replay and image

  // An image held open from before is let go once the web source is the one prepared.
  const std::string image = folder_.MakeImage("game.iso", 4, 2048);
  State().LocalImagePath = image;
  plugin_->Open();
  ASSERT_TRUE(plugin_->Image().HoldsOpen(image));
  State().LocalImagePath = "http://discs.example/game.iso";
  plugin_->Open();
  EXPECT_FALSE(plugin_->Image().HoldsOpen(image));

  ASSERT_EQ(plugin_->ReadTrack(7, kModeData2048), 0);
  EXPECT_EQ(plugin_->GetBuffer()[2047], 7);
  trace_.Clear();
  EXPECT_EQ(plugin_->ReadTrack(8, kMode2328), -1);
  EXPECT_EQ(trace_.Text(), Prefix("Web Mode[CDVD_MODE_2328] LSN[8] NOT SUPPORTED REPORT"));
  State().RemoteMode = true;  // the entry before it still wins
  trace_.Clear();
  EXPECT_EQ(plugin_->ReadTrack(9, kModeData2048), -1);
  EXPECT_EQ(trace_.Text(), Prefix("Server link not connected, LSN[9] not read"));
  plugin_->Close();
  EXPECT_EQ(calls, (std::vector<std::string>{"skip " + image,
                                             "open http://discs.example/game.iso", "close"}));
}

}  // namespace
}  // namespace korvane
