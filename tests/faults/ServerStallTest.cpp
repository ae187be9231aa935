// The disc server stops answering: its replies are swallowed whole or stop halfway (a relay
// in front of the real server holds them back), it accepts and never reads, or (natively)
// its process is frozen. The read fails once its stall limit has passed, the link is closed,
// the host's retries fail within the bound while the server stays silent, and nothing is
// stored; a frozen server that wakes up serves the play again with no new link made by hand.
#include <chrono>
#include <thread>

#include "CutRelay.h"
#include "FaultFixture.h"
#include "HostileServer.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace korvane {
namespace {

using test::MsSince;

// Short, so that the tests need not wait the product's 10 s.
constexpr int kStallMs = 400;

class ServerStallTest : public test::FaultTest {
 protected:
  // The read of lsn meets a silent server: -1 after the stall limit, the link closed,
  // nothing stored, and retries fail within the bound.
  void ExpectStallFailsTheRead(const std::string& disc, uint32_t lsn, int32_t mode) {
    std::string filesBefore = CacheFiles(disc);
    size_t indexedBefore = plugin_->Cache().Index().Count();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(plugin_->ReadTrack(lsn, mode), -1) << TraceTail();
    int64_t waited = MsSince(start);
    EXPECT_GE(waited, kStallMs - 50);  // it did wait for the server
    EXPECT_LT(waited, 3 * kStallMs + 5000);
    EXPECT_NE(trace_.Text().find("No reply from the server within " + std::to_string(kStallMs) +
                                 " ms, link closed, LSN[" + std::to_string(lsn) + "] not read"),
              std::string::npos);
    EXPECT_FALSE(plugin_->CurrentPluginSocket()->client.IsConnected());
    for (int retry = 0; retry < 5; ++retry) {
      auto each = std::chrono::steady_clock::now();
      ASSERT_EQ(plugin_->ReadTrack(lsn, mode), -1);
      ASSERT_LT(MsSince(each), kStallMs + 600) << "retry " << retry << " waited";
    }
    EXPECT_EQ(CacheFiles(disc), filesBefore);
    EXPECT_EQ(plugin_->Cache().Index().Count(), indexedBefore);
  }

  std::string TraceTail() const {
    const std::string& t = trace_.Text();
    return t.substr(t.size() - std::min<size_t>(t.size(), 1500));
  }

  uint32_t FirstMissing(uint32_t from, int32_t mode) {
    while (plugin_->Cache().LookupCachedSector(from, mode) != CacheIndex::kNone) ++from;
    return from;
  }
};

TEST_F(ServerStallTest, RepliesHeldBackWholeOrHalfwayByARelay) {
  int port = StartServer([](server::ServerConfig& c) { c.runMax = 64; });
  plugin_->SetReplyStallLimitForTests(kStallMs);
  uint32_t first = 0;
  for (double fraction : {0.0, 0.3, 0.97}) {
    SCOPED_TRACE("fraction " + std::to_string(fraction));
    test::CutRelay relay(port, 2048);
    ConnectLink(relay.Port(), 0, "a.iso");
    OpenRemote();  // the index is loaded again from the files each time
    PlayWithoutPrefetch("a.iso", first, 100, kModeData2048);
    uint32_t next = FirstMissing(first + 100, kModeData2048);
    relay.CutNextReply(fraction, nullptr);  // and then nothing: the stall
    ExpectStallFailsTheRead("a.iso", next, kModeData2048);
    EXPECT_TRUE(relay.CutMade());
    first = next;
  }
  // The real server, reached directly, still serves what the stalls lost.
  ConnectLink(port, 0, "a.iso");
  PlayWithoutPrefetch("a.iso", first, 50, kModeData2048);
}

TEST_F(ServerStallTest, ServerThatAcceptsAndNeverReadsFailsTheFirstRead) {
  test::HostileServer deaf([](test::HostilePeer& peer) {
    while (!peer.Stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  plugin_->SetReplyStallLimitForTests(kStallMs);
  State().SelectedDiscName = "a.iso";
  ServerSocket& socket = plugin_->CreatePluginSocket();
  socket.client.SetHost("127.0.0.1");
  socket.client.SetPortNumber(deaf.Port());
  socket.client.Activate();
  OpenRemote();  // at once, as a host does after the dialog: the login never completes
  // The read first waits (bounded) for the login, then for the reply.
  ExpectStallFailsTheRead("a.iso", 16, kModeData2048);
  EXPECT_EQ(deaf.Accepted(), 1);
  EXPECT_EQ(plugin_->Cache().Index().Count(), 0u);
}

#ifndef _WIN32
// A frozen process: the kernel still accepts and buffers, the server answers nothing.
// Natively only: Windows has no plain way to freeze a process.
TEST_F(ServerStallTest, FrozenServerProcessFailsTheReadAndCanBeResumedLater) {
  test::ChildProcess process;
  int port = StartServerProgram(process, {"--run-max", "32"});
  ASSERT_NE(port, 0);
  plugin_->SetReplyStallLimitForTests(kStallMs);
  ConnectLink(port, 1, "b.bin");
  OpenRemote();
  PlayWithoutPrefetch("b.bin", 0, 60, kModeRaw2352);
  uint32_t next = FirstMissing(60, kModeRaw2352);
  ASSERT_TRUE(process.Suspend());
  ExpectStallFailsTheRead("b.bin", next, kModeRaw2352);
  ASSERT_TRUE(process.Resume());
  // The link is made again by the reads themselves, once an attempt is due.
  auto resumed = std::chrono::steady_clock::now();
  while (plugin_->ReadTrack(next, kModeRaw2352) != 0) {
    ASSERT_LT(MsSince(resumed), 10000) << TraceTail();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  PlayWithoutPrefetch("b.bin", next, 40, kModeRaw2352);
}
#endif

}  // namespace
}  // namespace korvane
