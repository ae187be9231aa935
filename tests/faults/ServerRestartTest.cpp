// The link's connection goes away while a game plays and the game goes on by itself: the
// server program is killed and started again on the same port with another disc listed
// before the one played; the server closes a paused game's link on its idle limit; the
// server stays away longer than a read's bound; the server comes back with the player's
// password changed. No dialog is opened again in any of them.
// Every sector the host gets is checked against the image, and the fixture checks the cache.
#include <atomic>
#include <chrono>
#include <thread>

#include "FaultFixture.h"
#include "LinkShaper.h"
#include "core/link/LinkReconnector.h"

namespace korvane {
namespace {

using test::MsSince;

class ServerRestartTest : public test::FaultTest {
 protected:
  // Reads lsn in mode and checks the sector; false (with a failure) when either fails.
  bool ReadChecked(const std::string& disc, uint32_t lsn, int32_t mode) {
    int result = plugin_->ReadTrack(lsn, mode);
    EXPECT_EQ(result, 0) << "LSN " << lsn << TraceTail();
    if (result != 0) return false;
    bool same = Buffer(SectorBytesForMode(mode)) == Expected(disc, lsn, mode);
    EXPECT_TRUE(same) << "LSN " << lsn;
    return same;
  }

  // Plays lsn first to end in mode at one sector per stepUs, as a game paced by its drive.
  void PlayPaced(const std::string& disc, uint32_t first, uint32_t end, int32_t mode, int stepUs) {
    auto due = std::chrono::steady_clock::now();
    for (uint32_t lsn = first; lsn < end; ++lsn) {
      due += std::chrono::microseconds(stepUs);
      if (!ReadChecked(disc, lsn, mode)) return;
      std::this_thread::sleep_until(due);
    }
  }

  // The first sector from lsn on that the cache does not hold in mode.
  uint32_t FirstMissing(uint32_t lsn, int32_t mode) {
    while (plugin_->Cache().LookupCachedSector(lsn, mode) != CacheIndex::kNone) ++lsn;
    return lsn;
  }

  std::string TraceTail() const {
    const std::string& t = trace_.Text();
    return "\n" + t.substr(t.size() - std::min<size_t>(t.size(), 2000));
  }
};

TEST_F(ServerRestartTest, PlayGoesOnAcrossARestartThatListsTheDiscElsewhere) {
  const std::vector<std::string> options{"--run-max", "32"};
  test::ChildProcess first, second;
  const int port = StartServerProgram(first, options);
  ASSERT_NE(port, 0);
  ConnectLink(port, 0, "a.iso");
  OpenRemote();
  std::atomic<bool> restarted{false};
  std::thread restart([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    first.Kill();
    // Listed first from now on, so a.iso moves to index 1. Its sectors differ from a.iso's.
    folder_.MakeImage("discs/0.bin", 300, 2352);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<std::string> again = options;
    again.insert(again.end(), {"--port", std::to_string(port)});
    restarted = StartServerProgram(second, again) == port;
  });
  PlayPaced("a.iso", 0, test::kIsoSectors, kModeData2048, 2000);
  restart.join();
  ASSERT_TRUE(restarted);
  const std::string& trace = trace_.Text();
  EXPECT_NE(trace.find("Server link to 127.0.0.1:" + std::to_string(port) + " lost ("),
            std::string::npos)
      << TraceTail();
  EXPECT_NE(trace.find("connected again at attempt "), std::string::npos) << TraceTail();
  EXPECT_NE(trace.find(", disc a.iso selected again as 1"), std::string::npos) << TraceTail();
  const size_t failed = trace.find("not read");
  EXPECT_EQ(failed, std::string::npos)
      << trace.substr(failed - std::min<size_t>(failed, 2500), 2600);
  EXPECT_EQ(CheckCache("a.iso").entries, test::kIsoSectors);
}

TEST_F(ServerRestartTest, IdleLimitClosesAPausedGamesLinkAndTheNextReadsAreServed) {
  test::ChildProcess server;
  const int port = StartServerProgram(server, {"--run-max", "64", "--idle-minutes", "0.01"});
  ASSERT_NE(port, 0);
  ConnectLink(port, 1, "b.bin");
  OpenRemote();
  PlayPaced("b.bin", 0, 150, kModeRaw2352, 0);
  // Paused over dinner: the server closes the link after 0.6 s of nothing asked.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  PlayPaced("b.bin", 150, test::kRawSectors, kModeRaw2352, 0);
  EXPECT_NE(trace_.Text().find("SrvMsg:Closing the connection: nothing was asked for too long"),
            std::string::npos)
      << TraceTail();
  EXPECT_NE(trace_.Text().find("connected again at attempt 1, disc b.bin selected again as 1"),
            std::string::npos)
      << TraceTail();
}

TEST_F(ServerRestartTest, OutageLongerThanTheBoundFailsReadsInItAndRetriesWithinTheBackoff) {
  constexpr int kBoundMs = 1000;
  constexpr int kOutageMs = 6000;
  const std::vector<std::string> options{"--run-max", "16"};
  test::ChildProcess before, after;
  const int port = StartServerProgram(before, options);
  ASSERT_NE(port, 0);
  test::LinkShaper line(port, {2, 0, ""});  // counts each connection the plugin makes
  plugin_->SetReplyStallLimitForTests(kBoundMs);
  ConnectLink(line.Port(), 0, "a.iso");
  OpenRemote();
  PlayPaced("a.iso", 0, 100, kModeData2048, 0);
  plugin_->Close();  // a reply already on its way is taken in, so the next read needs the server
  before.Kill();

  // Each read that needs the server fails within the bound, and none fails for good.
  const int acceptedBefore = line.Accepted();
  auto down = std::chrono::steady_clock::now();
  int failed = 0;
  while (MsSince(down) < kOutageMs) {
    const uint32_t lsn = FirstMissing(100, kModeData2048);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), -1) << TraceTail();
    ASSERT_LT(MsSince(start), kBoundMs + 300);
    ++failed;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Attempts at 0, 0.25, 0.75, 1.75 and 3.75 s; the next would be at 7.75 s.
  const int attempts = line.Accepted() - acceptedBefore;
  EXPECT_GE(attempts, 4) << failed << " reads failed";
  EXPECT_LE(attempts, 6) << failed << " reads failed";

  std::vector<std::string> again = options;
  again.insert(again.end(), {"--port", std::to_string(port)});
  ASSERT_EQ(StartServerProgram(after, again), port);
  // Served again once the next attempt finds it: within the longest pause and a bound.
  auto back = std::chrono::steady_clock::now();
  const uint32_t lsn = FirstMissing(100, kModeData2048);
  while (plugin_->ReadTrack(lsn, kModeData2048) != 0) {
    ASSERT_LT(MsSince(back), kLongestRetryMs + 2 * kBoundMs) << TraceTail();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  PlayPaced("a.iso", lsn, test::kIsoSectors, kModeData2048, 0);
  EXPECT_EQ(CheckCache("a.iso").entries, test::kIsoSectors);
}

TEST_F(ServerRestartTest, RefusedLoginIsTracedOnceAndTriedAgainNoFasterThanTheLongestPause) {
  constexpr int kBoundMs = 1000;
  constexpr int kRefusedForMs = 11000;
  const std::string accounts = folder_.Write("accounts", "player:secret\n");
  const std::vector<std::string> options{"--accounts", accounts};
  test::ChildProcess before, after;
  const int port = StartServerProgram(before, options);
  ASSERT_NE(port, 0);
  test::LinkShaper line(port, {2, 0, ""});
  plugin_->SetReplyStallLimitForTests(kBoundMs);
  ConnectLink(line.Port(), 0, "a.iso");
  OpenRemote();
  PlayPaced("a.iso", 0, 50, kModeData2048, 0);
  plugin_->Close();  // a reply already on its way is taken in, so the next read needs the server
  before.Kill();
  folder_.Write("accounts", "player:changed\n");
  std::vector<std::string> again = options;
  again.insert(again.end(), {"--port", std::to_string(port)});
  ASSERT_EQ(StartServerProgram(after, again), port);

  const int acceptedBefore = line.Accepted();
  auto refused = std::chrono::steady_clock::now();
  while (MsSince(refused) < kRefusedForMs) {
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(plugin_->ReadTrack(FirstMissing(50, kModeData2048), kModeData2048), -1);
    ASSERT_LT(MsSince(start), kBoundMs + 300);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // At 0, 5 and 10 s.
  const int attempts = line.Accepted() - acceptedBefore;
  EXPECT_GE(attempts, 2);
  EXPECT_LE(attempts, 3);
  const std::string& trace = trace_.Text();
  const std::string line1 =
      "Login refused by the server (Login refused: unknown user or wrong "
      "password), trying again every 5 s";
  const size_t first = trace.find(line1);
  EXPECT_NE(first, std::string::npos) << TraceTail();
  EXPECT_EQ(trace.find(line1, first + 1), std::string::npos) << "traced once" << TraceTail();
}

}  // namespace
}  // namespace korvane
