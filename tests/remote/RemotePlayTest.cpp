// A disc played end to end from the real disc server on 127.0.0.1, through the plugin's
// own link and read path, then replayed offline from the cache it left; and what the read
// path does when the server goes away or stops answering.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "LinkShaper.h"
#include "LocalPlay.h"
#include "LoopbackServer.h"
#include "TestSupport.h"
#include "core/Plugin.h"
#include "platform/FileSystem.h"
#include "server/DiscServer.h"

namespace korvane {
namespace {

using test::PatternSector;

constexpr uint32_t kIsoSectors = 3000;
constexpr uint32_t kRawSectors = 700;

class RemotePlayTest : public ::testing::Test {
 protected:
  RemotePlayTest() : previous_(platform::GetWorkingDirectory()) {
    std::filesystem::create_directory(folder_.Path() / "discs");
    folder_.MakeImage("discs/a.iso", kIsoSectors, 2048);
    folder_.MakeImage("discs/b.bin", kRawSectors, 2352);
    platform::SetWorkingDirectory(folder_.Path().string());
  }
  ~RemotePlayTest() override {
    if (server_) server_->Stop();
    platform::SetWorkingDirectory(previous_);
  }

  void StartServer(uint32_t runMax = 64) {
    server::ServerConfig config = test::LocalServerConfig((folder_.Path() / "discs").string());
    config.runMax = runMax;
    server_ = std::make_unique<server::DiscServer>(config);
    std::string error;
    ASSERT_TRUE(server_->Start(error)) << error;
  }

  // Connects the plugin's link as closing the dialog would, and chooses disc index.
  void ConnectLink(int port, int32_t disc, const std::string& listedName) {
    test::StartPluginLink(*plugin_, port, disc, listedName);
    PumpUntil([&] { return trace_.Text().find("on server you my now run") != std::string::npos; });
  }

  template <typename Done>
  void PumpUntil(Done done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < end) {
      plugin_->CurrentPluginSocket()->client.Pump(10);
    }
    ASSERT_TRUE(done()) << trace_.Text();
  }

  // Plays a.iso whole from the server at port, checking every sector, then, the server
  // stopped, replays it offline from the cache the play left: every sector must be there,
  // exactly as the server sent it.
  void PlayWholeDiscThenOffline(int port) {
    ConnectLink(port, 0, "a.iso");
    EXPECT_NE(trace_.Text().find("File:a.iso\r\nFile:b.bin\r\n"), std::string::npos);
    State().RemoteMode = true;
    plugin_->Open();
    for (uint32_t lsn = 0; lsn < kIsoSectors; ++lsn) {
      ASSERT_EQ(plugin_->ReadTrack(lsn, 3), 0) << lsn << trace_.Text().substr(0, 2000);
      ASSERT_EQ(Buffer(2048), PatternSector(lsn, 2048)) << lsn;
    }
    EXPECT_EQ(plugin_->Cache().Index().Count(), kIsoSectors);
    plugin_->Close();

    server_->Stop();  // offline now: every sector must come from the cache
    State().RemoteMode = false;
    State().LocalImagePath = "Games\\a.iso.map";
    plugin_->Open();
    for (uint32_t lsn = kIsoSectors; lsn-- > 0;) {
      ASSERT_EQ(plugin_->ReadTrack(lsn, 3), 0) << lsn;
      ASSERT_EQ(Buffer(2048), PatternSector(lsn, 2048)) << lsn;
    }
    EXPECT_EQ(plugin_->ReadTrack(kIsoSectors, 3), -1);  // never fetched: missing
  }

  std::vector<uint8_t> Buffer(size_t count) {
    const uint8_t* data = State().SectorBuffer.Data();
    return std::vector<uint8_t>(data, data + count);
  }
  PluginState& State() { return plugin_->State(); }

  test::ScratchFolder folder_;
  std::string previous_;
  test::CapturedTrace trace_;
  std::unique_ptr<Plugin> plugin_ = std::make_unique<Plugin>(trace_);
  std::unique_ptr<server::DiscServer> server_;
};

TEST_F(RemotePlayTest, WholeDiscFromTheServerThenOfflineFromItsCache) {
  StartServer();
  PlayWholeDiscThenOffline(server_->Port());
}

// Over a link with a round trip and a bandwidth, a reply arrives late and in pieces spread
// over its transfer time: the same bytes must reach the host and the cache.
TEST_F(RemotePlayTest, WholeDiscOverASlowerLinkThenOfflineFromItsCache) {
  StartServer(1024);
  test::LinkShaper link(server_->Port(), {4, 20, ""});
  PlayWholeDiscThenOffline(link.Port());
  EXPECT_EQ(link.Accepted(), 1);
  EXPECT_GE(link.BytesToClients(), uint64_t{kIsoSectors} * 2048);
}

TEST_F(RemotePlayTest, RawDiscInEveryServedModeAndAColdRestart) {
  StartServer();
  ConnectLink(server_->Port(), 1, "b.bin");
  State().RemoteMode = true;
  plugin_->Open();
  for (uint32_t lsn = 0; lsn < kRawSectors; lsn += 7) {
    auto raw = PatternSector(lsn, 2352);
    ASSERT_EQ(plugin_->ReadTrack(lsn, 0), 0);
    ASSERT_EQ(Buffer(2352), raw);
    ASSERT_EQ(plugin_->ReadTrack(lsn, 1), 0);
    ASSERT_EQ(Buffer(2340), std::vector<uint8_t>(raw.begin() + 12, raw.end()));
    ASSERT_EQ(plugin_->ReadTrack(lsn, 3), 0);
    ASSERT_EQ(Buffer(2048), std::vector<uint8_t>(raw.begin() + 24, raw.begin() + 24 + 2048));
  }
  // A new plugin (the emulator restarted) loads the cache and reads it without the server.
  size_t cached = plugin_->Cache().Index().Count();
  plugin_ = std::make_unique<Plugin>(trace_);
  State().RemoteMode = true;
  State().SelectedDiscName = "b.bin";
  plugin_->Open();
  EXPECT_EQ(plugin_->Cache().Index().Count(), cached);
  ASSERT_EQ(plugin_->ReadTrack(7, 1), 0);  // a hit: there is no link at all
  auto raw = PatternSector(7, 2352);
  EXPECT_EQ(Buffer(2340), std::vector<uint8_t>(raw.begin() + 12, raw.end()));
}

TEST_F(RemotePlayTest, FirstReadWaitsForTheLinkThatIsStillLoggingIn) {
  StartServer();
  State().SelectedDiscIndex = 1;
  State().SelectedDiscName = "b.bin";
  ServerSocket& socket = plugin_->CreatePluginSocket();
  socket.client.SetHost("127.0.0.1");
  socket.client.SetPortNumber(server_->Port());
  socket.Activate({"", "", 1, "b.bin"});  // and at once, with no event delivered yet:
  State().RemoteMode = true;
  plugin_->Open();  // its disc selection is lost: the link is not connected yet
  ASSERT_EQ(plugin_->ReadTrack(5, 0), 0) << trace_.Text();
  EXPECT_EQ(Buffer(2352), PatternSector(5, 2352));  // disc 1, chosen at the prompt
  EXPECT_NE(trace_.Text().find("Disk Set to 1 on server you my now run"), std::string::npos);
}

// Each read that needs a server gone away tries to connect again within its bound; the
// attempts are spaced, so the host's retries in between fail at once.
TEST_F(RemotePlayTest, ServerThatGoesAwayFailsReadsWithinTheBound) {
  StartServer(16);
  ConnectLink(server_->Port(), 0, "a.iso");
  State().RemoteMode = true;
  plugin_->Open();
  ASSERT_EQ(plugin_->ReadTrack(0, 3), 0);
  server_->Stop();
  plugin_->SetReplyStallLimitForTests(300);
  std::vector<uint8_t> before = Buffer(2352);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(plugin_->ReadTrack(500, 3), -1);
  for (int retry = 0; retry < 256; ++retry) {
    auto each = std::chrono::steady_clock::now();
    ASSERT_EQ(plugin_->ReadTrack(500, 3), -1);
    ASSERT_LT(std::chrono::steady_clock::now() - each, std::chrono::milliseconds(600));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(Buffer(2352), before);
  ASSERT_EQ(plugin_->ReadTrack(3, 3), 0);  // cached sectors still play
  EXPECT_EQ(Buffer(2048), PatternSector(3, 2048));
}

TEST_F(RemotePlayTest, ServerThatNeverAnswersFailsTheReadAndClosesTheLink) {
  test::LoopbackServer silent;  // accepts, reads, never answers
  State().SelectedDiscName = "a.iso";
  ServerSocket& socket = plugin_->CreatePluginSocket();
  socket.client.SetHost("127.0.0.1");
  socket.client.SetPortNumber(silent.Port());
  socket.client.Activate();
  PumpUntil([&] { return socket.client.IsConnected(); });
  plugin_->SetReplyStallLimitForTests(300);
  State().RemoteMode = true;
  plugin_->Open();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(plugin_->ReadTrack(16, 3), -1);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_FALSE(socket.client.IsConnected());
  EXPECT_EQ(plugin_->ReadTrack(17, 3), -1);  // the retry fails at once
  EXPECT_LT(std::chrono::steady_clock::now() - start, waited + std::chrono::milliseconds(200));
  EXPECT_EQ(plugin_->Cache().Index().Count(), 0u);
}

}  // namespace
}  // namespace korvane
