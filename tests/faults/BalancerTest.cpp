// Two disc server programs over one folder behind the HAProxy balancer in TCP mode, set up
// as docs/deploy.md sets them up: the PROXY header naming each client, health checks, least
// connections, a redispatched retry.
// The plugin plays a whole disc through the balancer, every sector checked; then the server
// that carries its link is killed while a read waits for its reply. The link is made again
// through the balancer, which sends it to the other server, and that read and the rest of
// the play are served from there, with no action by the user. Natively only: the balancer
// is a Linux program. Both servers and the balancer are stopped by the fixture's
// members, whatever the test's outcome.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "FaultFixture.h"
#include "TestSockets.h"
#include "core/link/RemoteDisc.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::MsSince;
using test::ReadWholeFile;

const char kBalancer[] = "/usr/sbin/haproxy";

// Every reply is held this long, so that the kill lands while a read waits for one.
constexpr int kReplyDelayMs = 300;

class BalancerTest : public test::FaultTest {
 protected:
  // Starts both servers and the balancer in front of them; returns the balancer's port, or
  // 0 when something did not come up.
  int StartBalancedPair() {
    for (int i = 0; i < 2; ++i) {
      ports_[i] = StartServerProgram(
          servers_[i], {"--delay-ms", std::to_string(kReplyDelayMs), "--proxy-protocol"});
      if (ports_[i] == 0) return 0;
    }
    int port = 0;
    test::sock::Close(test::sock::Listen(port));  // a port nobody listens on now
    std::string config = folder_.PathOf("haproxy.cfg");
    std::ofstream(config) << BalancerConfig(port);
    if (!balancer_.Start(kBalancer, {"-db", "-f", config}, folder_.PathOf("haproxy.log"))) {
      return 0;
    }
    // Until it listens; each probe reaches a server and is closed at once.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      test::sock::Socket probe = test::sock::Connect(port);
      if (probe != test::sock::kNoSocket) {
        test::sock::Close(probe);
        return port;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
  }

  std::string BalancerConfig(int port) const {
    std::string text =
        "global\n  maxconn 100\n"
        "defaults\n  mode tcp\n  timeout connect 500ms\n  timeout client 30m\n"
        "  timeout server 30m\n  retries 3\n  option redispatch\n"
        "frontend players\n  bind 127.0.0.1:" +
        std::to_string(port) +
        "\n  default_backend discs\n"
        "backend discs\n  balance leastconn\n";
    for (int i = 0; i < 2; ++i) {
      text += "  server disc" + std::to_string(i) + " 127.0.0.1:" + std::to_string(ports_[i]) +
              " send-proxy check inter 200ms fall 2 rise 2 check-send-proxy\n";
    }
    return text;
  }

  // The log of server i: the fixture's log file whose opening line names its port.
  std::string ServerLog(int i) const {
    const std::string marker = "on 127.0.0.1:" + std::to_string(ports_[i]) + " ";
    for (const auto& entry : fs::directory_iterator(folder_.Path())) {
      std::string name = entry.path().filename().string();
      if (name.rfind("server-", 0) != 0) continue;
      std::string text = ReadWholeFile(entry.path().string());
      if (text.find(marker) != std::string::npos) return text;
    }
    return std::string();
  }

  // The server whose log holds line, or -1 when none does.
  int ServerThatLogged(const std::string& line) const {
    for (int i = 0; i < 2; ++i) {
      if (ServerLog(i).find(line) != std::string::npos) return i;
    }
    return -1;
  }

  // Plays lsn first to end in mode, each sector checked against the image.
  void Play(const std::string& disc, uint32_t first, uint32_t end, int32_t mode) {
    for (uint32_t lsn = first; lsn < end; ++lsn) {
      ASSERT_EQ(plugin_->ReadTrack(lsn, mode), 0) << lsn << TraceTail();
      ASSERT_EQ(Buffer(SectorBytesForMode(mode)), Expected(disc, lsn, mode)) << lsn;
    }
  }

  // Server i dies while the read of lsn waits for its reply: the read is served all the
  // same, within its bound, by the server the balancer sends the new connection to.
  void ExpectKillIsCarriedOver(int i, uint32_t lsn) {
    std::thread killer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(kReplyDelayMs / 3));
      servers_[i].Kill();
    });
    auto start = std::chrono::steady_clock::now();
    int result = plugin_->ReadTrack(lsn, kModeRaw2352);
    int64_t waited = MsSince(start);
    killer.join();
    EXPECT_EQ(result, 0) << TraceTail();
    EXPECT_EQ(Buffer(2352), Expected("b.bin", lsn, kModeRaw2352));
    EXPECT_LT(waited, kReplyStallMs) << TraceTail();
    EXPECT_NE(trace_.Text().find("lost (closed while waiting for the reply), connecting again"),
              std::string::npos)
        << TraceTail();
  }

  std::string TraceTail() const {
    const std::string& t = trace_.Text();
    return t.substr(t.size() - std::min<size_t>(t.size(), 1500)) + "\nbalancer:\n" +
           ReadWholeFile(folder_.PathOf("haproxy.log"));
  }

  int ports_[2] = {0, 0};
  test::ChildProcess servers_[2];
  test::ChildProcess balancer_;  // declared last: it is stopped first
};

TEST_F(BalancerTest, PlayFinishesThroughTheOtherServerWhenItsServerIsKilled) {
  if (!fs::exists(kBalancer)) GTEST_SKIP() << kBalancer << " is not installed (package haproxy)";
  int port = StartBalancedPair();
  ASSERT_NE(port, 0) << "the servers or the balancer did not come up" << TraceTail();

  ConnectLink(port, 0, "a.iso");
  OpenRemote();
  Play("a.iso", 0, test::kIsoSectors, kModeData2048);
  EXPECT_EQ(plugin_->Cache().Index().Count(), test::kIsoSectors);

  // The second disc, to the middle, on whichever server the balancer chose.
  ConnectLink(port, 1, "b.bin");
  OpenRemote();
  Play("b.bin", 0, 100, kModeRaw2352);
  const int carrier = ServerThatLogged("selected disc 1 b.bin");
  ASSERT_GE(carrier, 0) << ServerLog(0) << ServerLog(1);
  EXPECT_NE(ServerLog(carrier).find("by the balancer's header, runs at level 0"),
            std::string::npos)
      << "the client's own address, from the balancer's header" << ServerLog(carrier);
  uint32_t next = 100;
  while (plugin_->Cache().LookupCachedSector(next, kModeRaw2352) != CacheIndex::kNone) ++next;
  ASSERT_LT(next, test::kRawSectors);

  ExpectKillIsCarriedOver(carrier, next);

  // No Connect and Close again: the whole disc plays, what was cached before and what the
  // other server sends.
  Play("b.bin", 0, test::kRawSectors, kModeRaw2352);
  EXPECT_NE(ServerLog(1 - carrier).find("selected disc 1 b.bin"), std::string::npos)
      << ServerLog(1 - carrier);
  test::CacheReport report = CheckCache("b.bin");
  EXPECT_EQ(report.entries, plugin_->Cache().Index().Count());
  EXPECT_EQ(report.entries, test::kRawSectors);
}

}  // namespace
}  // namespace korvane
