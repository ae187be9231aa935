// The disc server program dies in the middle of a reply: of a compressed run, and of a
// single sector (--single). The read in progress must fail within its bound with nothing
// of the reply stored (the relay that stood for the server takes no new connection, so
// the link cannot be made again), every read after it must fail within the bound too, and
// a server that comes back must find the cache as sound as before.
//
// The server runs as a child process and is killed for real (SIGKILL natively,
// TerminateProcess under Wine). The cut relay in front of it decides where in the reply
// the plugin's bytes end, so that each run of the test kills at the same point.
#include <chrono>

#include "CutRelay.h"
#include "FaultFixture.h"
#include "core/link/RemoteDisc.h"

namespace korvane {
namespace {

using test::CutRelay;
using test::MsSince;

// A read's bound, short so that the reads that try to connect again end soon, and long
// enough for a killed server's close to reach the plugin (Wine takes a while to kill).
constexpr int kBoundMs = 3000;

class ServerKillTest : public test::FaultTest {
 protected:
  ServerKillTest() { plugin_->SetReplyStallLimitForTests(kBoundMs); }

  // Starts the program with options and connects the plugin, which reads in mode, to it
  // through a relay.
  void StartBehindRelay(const std::vector<std::string>& options, int32_t disc,
                        const std::string& name, int32_t mode) {
    int port = StartServerProgram(serverProcess_, options);
    ASSERT_NE(port, 0) << "korvane-server did not come up";
    relay_ = std::make_unique<CutRelay>(port, SectorBytesForMode(mode));
    ConnectLink(relay_->Port(), disc, name);
    OpenRemote();
  }

  // Plays count sectors from 0 in mode; returns the first LSN after them not yet cached.
  uint32_t WarmUp(const std::string& disc, uint32_t count, int32_t mode) {
    PlayWithoutPrefetch(disc, 0, count, mode);
    uint32_t next = count;
    while (plugin_->Cache().LookupCachedSector(next, mode) != CacheIndex::kNone) ++next;
    return next;
  }

  // The read of lsn while the server dies at fraction of its reply: -1 within the bound,
  // nothing stored, the buffer as it was, and every retry fails within the bound.
  void ExpectKillFailsTheRead(const std::string& disc, uint32_t lsn, int32_t mode,
                              double fraction) {
    std::string filesBefore = CacheFiles(disc);
    size_t indexedBefore = plugin_->Cache().Index().Count();
    std::vector<uint8_t> bufferBefore = Buffer(2352);
    relay_->CutNextReply(fraction, [&] { serverProcess_.Kill(); });

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(plugin_->ReadTrack(lsn, mode), -1);
    EXPECT_LT(MsSince(start), kBoundMs + 1000);  // its bound and slack
    EXPECT_TRUE(relay_->CutMade());
    EXPECT_NE(trace_.Text().find("Server link closed while waiting for the reply, LSN[" +
                                 std::to_string(lsn) + "] not read"),
              std::string::npos)
        << trace_.Text().substr(trace_.Text().size() - std::min<size_t>(trace_.Text().size(), 600));
    EXPECT_EQ(CacheFiles(disc), filesBefore);
    EXPECT_EQ(plugin_->Cache().Index().Count(), indexedBefore);
    EXPECT_EQ(Buffer(2352), bufferBefore);

    // The host retries: no retry waits past its bound for a server that is gone.
    for (uint32_t retry = 0; retry < 3; ++retry) {
      auto each = std::chrono::steady_clock::now();
      ASSERT_EQ(plugin_->ReadTrack(lsn + retry % 5, mode), -1);
      ASSERT_LT(MsSince(each), kBoundMs + 1000) << "retry " << retry << " waited";
    }
    EXPECT_EQ(CacheFiles(disc), filesBefore);
    ASSERT_EQ(plugin_->ReadTrack(1, mode), 0);  // what is cached still plays
    EXPECT_EQ(Buffer(SectorBytesForMode(mode)), Expected(disc, 1, mode));
  }

  // A server started anew: the read that failed now succeeds and is stored.
  void ExpectRecoveryAfterRestart(const std::string& disc, int32_t index, uint32_t lsn,
                                  int32_t mode, const std::vector<std::string>& options) {
    test::ChildProcess again;
    int port = StartServerProgram(again, options);
    ASSERT_NE(port, 0);
    ConnectLink(port, index, disc);
    ASSERT_EQ(plugin_->ReadTrack(lsn, mode), 0) << trace_.Text().substr(0, 2000);
    EXPECT_EQ(Buffer(SectorBytesForMode(mode)), Expected(disc, lsn, mode));
    EXPECT_NE(plugin_->Cache().LookupCachedSector(lsn, mode), CacheIndex::kNone);
    test::CacheReport report = CheckCache(disc);
    EXPECT_EQ(report.entries, plugin_->Cache().Index().Count());
  }

  test::ChildProcess serverProcess_;
  std::unique_ptr<CutRelay> relay_;
};

TEST_F(ServerKillTest, DeathInTheMiddleOfACompressedRun) {
  const std::vector<std::string> options{"--run-max", "64", "--level", "1"};
  StartBehindRelay(options, 0, "a.iso", kModeData2048);
  uint32_t next = WarmUp("a.iso", 150, kModeData2048);
  ExpectKillFailsTheRead("a.iso", next, kModeData2048, 0.5);
  ExpectRecoveryAfterRestart("a.iso", 0, next, kModeData2048, options);
}

TEST_F(ServerKillTest, DeathInTheMiddleOfASingleSectorSeenAsAReset) {
  const std::vector<std::string> options{"--single"};
  StartBehindRelay(options, 1, "b.bin", kModeRaw2352);
  relay_->ResetOnClose(true);
  uint32_t next = WarmUp("b.bin", 30, kModeRaw2352);
  // Half a raw sector: not 2048 or 2340 bytes, which a short-sector reply may end at.
  ExpectKillFailsTheRead("b.bin", next, kModeRaw2352, 0.5);
  ExpectRecoveryAfterRestart("b.bin", 1, next, kModeRaw2352, options);
}

TEST_F(ServerKillTest, DeathRightAfterTheHeadOfARunAndBeforeItsLastByte) {
  const std::vector<std::string> options{"--run-max", "32"};
  StartBehindRelay(options, 1, "b.bin", kModeRaw2340);
  uint32_t next = WarmUp("b.bin", 40, kModeRaw2340);
  // 0.01: just past the run's head; 0.999: one chunk short of a whole run.
  ExpectKillFailsTheRead("b.bin", next, kModeRaw2340, 0.999);
  ExpectRecoveryAfterRestart("b.bin", 1, next, kModeRaw2340, options);
  relay_ = std::make_unique<CutRelay>(StartServerProgram(serverProcess_, options), 2340);
  ConnectLink(relay_->Port(), 1, "b.bin");
  uint32_t later = next;
  while (plugin_->Cache().LookupCachedSector(later, kModeRaw2340) != CacheIndex::kNone) ++later;
  ExpectKillFailsTheRead("b.bin", later, kModeRaw2340, 0.01);
}

}  // namespace
}  // namespace korvane
