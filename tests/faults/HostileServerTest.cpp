// A hostile disc server on real sockets: garbage, broken message heads, lengths that lie,
// zlib bombs and texts of every byte value. Every read it should fail fails, cleanly and
// within its bound; what it should deliver arrives intact; memory stays bounded; and the
// cache holds nothing the honest image does not. Last, a strict server that sends each
// reply in halves and catches any request that comes before a reply is whole: requests
// sent ahead of need never overlap a reply.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "FaultFixture.h"
#include "HostileServer.h"
#include "core/link/RemoteDisc.h"
#include "protocol/ServerStream.h"

namespace korvane {
namespace {

using test::HostilePeer;
using test::HostileServer;
using test::MsSince;
using test::TextsOfEveryByte;

constexpr int kStallMs = 500;
constexpr int64_t kMiB = 1 << 20;

// A compressed run of count bytes of zeros, made a piece at a time so that the test never
// holds the payload itself.
std::string ZerosRun(size_t count) {
  z_stream z{};
  deflateInit(&z, 9);
  std::string zeros(kMiB, '\0'), stream, out(64 * 1024, '\0');
  for (size_t left = count; left > 0 || z.avail_in > 0;) {
    size_t piece = std::min<size_t>(left, zeros.size());
    left -= piece;
    z.next_in = reinterpret_cast<Bytef*>(&zeros[0]);
    z.avail_in = static_cast<uInt>(piece);
    int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    int result = Z_OK;
    do {
      z.next_out = reinterpret_cast<Bytef*>(&out[0]);
      z.avail_out = static_cast<uInt>(out.size());
      result = deflate(&z, flush);
      stream.append(out.data(), out.size() - z.avail_out);
    } while (z.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    if (flush == Z_FINISH) break;
  }
  deflateEnd(&z);
  return "\x05" + std::to_string(stream.size()) + ":" + stream;
}

// The honest reply to a request: a run of count sectors of the image from lsn.
std::string HonestRun(const std::string& image, uint32_t lsn, int32_t mode, uint32_t count) {
  std::string payload;
  for (uint32_t n = lsn; n < lsn + count; ++n) {
    std::vector<uint8_t> sector = test::ImageSector(image, n, mode);
    payload.append(sector.begin(), sector.end());
  }
  return test::RunReply(payload);
}

class HostileServerTest : public test::FaultTest {
 protected:
  HostileServerTest() { plugin_->SetReplyStallLimitForTests(kStallMs); }
  void TearDown() override {
    test::FaultTest::TearDown();
    ExpectResidentGrowthBelow(200 * kMiB);
  }

  // A new link to the server, a read of lsn that must fail within its bound, and nothing
  // stored.
  void ExpectReadFails(HostileServer& server, uint32_t lsn, const std::string& what) {
    SCOPED_TRACE(what);
    ConnectLink(server.Port(), 0, "a.iso");
    OpenRemote();
    std::vector<uint8_t> before = Buffer(2352);
    size_t indexed = plugin_->Cache().Index().Count();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(plugin_->ReadTrack(lsn, kModeData2048), -1);
    EXPECT_LT(MsSince(start), 2 * kStallMs + 5000);
    EXPECT_EQ(Buffer(2352), before);
    EXPECT_EQ(plugin_->Cache().Index().Count(), indexed);
  }
};

// Replies that are broken from their first byte or their head, and random bytes: each
// too short for any reply to be whole by chance.
std::vector<std::string> GarbageSamples() {
  std::vector<std::string> samples = {
      "\x07junk",
      std::string("\x00", 1),
      "\xFF\xFE",
      "\x04" + std::string(1500, 'x'),
      "\x05"
      "12x:",
      "\x05:",
      "\x05"
      "-1:",
      "\x05"
      "+5:",
      "\x05"
      "7:not zlib",
      "\x02,",
      "\x02,xx,",
      "\x02,-4,",
      "\x02,9,abc",
      "\x01no end",
      "\x06\x06\x06",
  };
  // Random bytes, at most 2000 of them: too few for any reply to be whole by chance.
  std::mt19937 random(20261207);
  const char kinds[] = {0x00, 0x03, 0x04, 0x05, 0x01, 0x02, 0x06, 0x7F};
  for (int n = 0; n < 24; ++n) {
    std::string blob(1 + random() % 2000, '\0');
    for (char& c : blob) c = static_cast<char>(random());
    blob[0] = kinds[n % sizeof kinds];
    samples.push_back(blob);
  }
  return samples;
}

TEST_F(HostileServerTest, GarbageAndBrokenHeadsFailEachReadCleanly) {
  const std::vector<std::string> samples = GarbageSamples();
  HostileServer server([&](HostilePeer& peer) {
    int mode = 0;
    uint32_t lsn = 0;
    if (!peer.LogIn() || !peer.TakeRequest(mode, lsn) || lsn < 100) return;
    // By the read's LSN: a link made again within the read gets the same sample.
    peer.Send(samples[std::min<size_t>(lsn - 100, samples.size() - 1)]);  // then hangs up
  });
  for (size_t n = 0; n < samples.size(); ++n) {
    ExpectReadFails(server, static_cast<uint32_t>(100 + n), "sample " + std::to_string(n));
  }
  EXPECT_NE(trace_.Text().find("Server sent no sector reply (first byte 0x07), LSN[100] not read"),
            std::string::npos);
  EXPECT_NE(trace_.Text().find("'12x' is not a valid integer value"), std::string::npos);
  EXPECT_NE(trace_.Text().find("Compressed run does not inflate"), std::string::npos);
}

TEST_F(HostileServerTest, LyingLengthsAndZlibBombsAreRefusedInBoundedMemory) {
  const std::vector<std::string> samples = {
      "\x05"
      "33554433:" +
          std::string(4096, '\0'),  // one byte over the stream bound
      "\x05"
      "99999999999999999999:",
      "\x05"
      "2147483648:",
      "\x05"
      "33554432:" +
          std::string(65536, '\0'),              // at the bound, and then it hangs up
      "\x02,2000000," + std::string(1000, 'n'),  // a disc list over its bound
      ZerosRun(64 * kMiB),                       // a bomb
      ZerosRun(kMaxRunPayloadBytes + 1),         // one byte past the payload bound
  };
  const size_t kList = 4, kBomb = 5;
  const std::string image = ImagePath("a.iso");
  HostileServer server([&](HostilePeer& peer) {
    int mode = 0;
    uint32_t lsn = 0;
    if (!peer.LogIn() || !peer.TakeRequest(mode, lsn) || lsn < 200) return;
    const size_t n = std::min<size_t>((lsn - 200) / 20, samples.size() - 1);
    peer.Send(samples[n]);
    // After a bomb the stream is still in step: the next request gets an honest run.
    if (n == kBomb && peer.TakeRequest(mode, lsn)) peer.Send(HonestRun(image, lsn, mode, 8));
    // After the refused list it goes silent: the read fails at once, the link closed.
    if (n == kBomb || n == kList) peer.IdleUntilClosed();
  });
  for (size_t n = 0; n < samples.size(); ++n) {
    const uint32_t lsn = static_cast<uint32_t>(200 + 20 * n);
    ExpectReadFails(server, lsn, "sample " + std::to_string(n));
    if (n != kBomb) continue;
    ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), 0) << trace_.Text();
    EXPECT_EQ(Buffer(2048), Expected("a.iso", lsn, kModeData2048));
    EXPECT_EQ(plugin_->Cache().Index().Count(), 8u);
  }
  const std::string& t = trace_.Text();
  EXPECT_NE(t.find("Compressed run of 33554433 bytes refused"), std::string::npos);
  EXPECT_NE(t.find("Compressed run refused: it inflates to more than 33554432 bytes"),
            std::string::npos);
  EXPECT_NE(t.find("Disc list of 2000000 bytes refused (at most 1048576), link closed, "
                   "LSN[280] not read"),
            std::string::npos);
}

TEST_F(HostileServerTest, TextsOfEveryByteValueAroundRepliesLeaveTheSectorsIntact) {
  const std::string image = ImagePath("a.iso");
  const std::string texts = TextsOfEveryByte();
  HostileServer server([&](HostilePeer& peer) {
    if (!peer.LogIn(texts)) return;
    peer.Send(texts);  // while the link is idle
    int mode = 0;
    uint32_t lsn = 0;
    for (int replies = 0; peer.TakeRequest(mode, lsn, 10000); ++replies) {
      // Texts before the reply, in its batch and after it; single sectors and runs.
      std::vector<uint8_t> sector = test::ImageSector(image, lsn, mode);
      std::string reply = replies % 2 ? HonestRun(image, lsn, mode, 4)
                                      : "\x04" + std::string(sector.begin(), sector.end());
      peer.Send(texts + reply + texts);
    }
  });
  ConnectLink(server.Port(), 0, "a.iso");
  OpenRemote();
  PumpUntil([&] { return trace_.Text().find("ended by \n") != std::string::npos; }, 2000);
  for (uint32_t lsn = 0; lsn < 60; ++lsn) {
    ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), 0) << lsn << trace_.Text().substr(0, 3000);
    ASSERT_EQ(Buffer(2048), Expected("a.iso", lsn, kModeData2048)) << lsn;
  }
  std::string everyHighByte = texts.substr(1, 0xFF - 0x0B + 1);
  EXPECT_NE(trace_.Text().find("SrvMsg:" + everyHighByte + "\n\r\n"), std::string::npos);
  EXPECT_NE(trace_.Text().find(std::string("SrvMsg:ended by ") + '\0' + "\r\n"), std::string::npos);
}

// An honest server that logs every request and answers it with a run of 16 sectors, sent
// in two halves pauseMs(lsn) apart; it counts the requests that came while a reply was not
// yet whole (pipelined behind it).
class LoggingServer final {
 public:
  LoggingServer(std::string image, std::function<int(uint32_t lsn)> pauseMs)
      : image_(std::move(image)),
        pauseMs_(std::move(pauseMs)),
        server_([this](HostilePeer& peer) { Serve(peer); }) {}

  int Port() const { return server_.Port(); }
  std::vector<uint32_t> Requests() {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }
  int Pipelined() const { return pipelined_; }

 private:
  void Serve(HostilePeer& peer) {
    int mode = 0;
    uint32_t lsn = 0;
    if (!peer.LogIn()) return;
    while (peer.TakeRequest(mode, lsn, 10000)) {
      {
        std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(lsn);
      }
      const std::string reply = HonestRun(image_, lsn, mode, 16);
      const size_t heard = peer.Received().size();
      peer.Send(reply.substr(0, reply.size() / 2));
      if (peer.ReceiveUntil([&](const std::string& all) { return all.size() > heard; },
                            pauseMs_(lsn))) {
        ++pipelined_;
      }
      peer.Send(reply.substr(reply.size() / 2));
    }
  }

  const std::string image_;
  const std::function<int(uint32_t)> pauseMs_;
  std::mutex lock_;
  std::vector<uint32_t> requests_;
  std::atomic<int> pipelined_{0};
  HostileServer server_;  // last: its threads stop before the members they use go
};

TEST_F(HostileServerTest, SequentialPlaySendsRequestsAheadOneAtATime) {
  LoggingServer server(ImagePath("a.iso"), [](uint32_t) { return 20; });
  ConnectLink(server.Port(), 0, "a.iso");
  OpenRemote();
  for (uint32_t lsn = 0; lsn < 320; ++lsn) {
    ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), 0) << lsn << trace_.Text().substr(0, 2000);
    ASSERT_EQ(Buffer(2048), Expected("a.iso", lsn, kModeData2048)) << lsn;
  }
  auto furthest = [&] {
    std::vector<uint32_t> asked = server.Requests();
    return asked.empty() ? 0u : *std::max_element(asked.begin(), asked.end());
  };
  for (int wait = 0; wait < 500 && furthest() < 320; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GE(furthest(), 320u) << "nothing was asked for ahead of the reads";
  EXPECT_EQ(server.Pipelined(), 0);
}

// A sequential play ended by CDVDclose while a reply sent ahead is on its way: CDVDclose
// takes that reply in and stores it, and asks for nothing more. Every run the server sent
// is then in the cache, and no request is left out.
TEST_F(HostileServerTest, CloseStoresTheReplyOnItsWayAndLeavesNoRequestOut) {
  LoggingServer server(ImagePath("a.iso"), [](uint32_t) { return 150; });
  ConnectLink(server.Port(), 0, "a.iso");
  OpenRemote();
  for (uint32_t lsn = 0; lsn < 40; ++lsn) ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), 0);
  plugin_->Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // time for a stray request
  const std::vector<uint32_t> requests = server.Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(plugin_->Cache().Index().Count(), 16 * requests.size());
  for (uint32_t first : requests) {
    for (uint32_t lsn = first; lsn < first + 16; ++lsn) {
      EXPECT_NE(plugin_->Cache().LookupCachedSector(lsn, kModeData2048), CacheIndex::kNone) << lsn;
    }
  }
}

TEST_F(HostileServerTest, ASeekWhileAReplyIsOnItsWayStoresThatReplyThenFetchesItsOwn) {
  // The request sent ahead is answered slowly: the seek comes while it is on its way.
  LoggingServer server(ImagePath("a.iso"), [](uint32_t lsn) { return lsn == 16 ? 300 : 0; });
  ConnectLink(server.Port(), 0, "a.iso");
  OpenRemote();
  for (uint32_t lsn : {0u, 1u}) ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), 0);
  for (int wait = 0; wait < 500 && server.Requests().size() < 2; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(plugin_->ReadTrack(900, kModeData2048), 0) << trace_.Text().substr(0, 2000);
  EXPECT_EQ(Buffer(2048), Expected("a.iso", 900, kModeData2048));
  EXPECT_EQ(server.Requests(), (std::vector<uint32_t>{0, 16, 900}));
  EXPECT_EQ(server.Pipelined(), 0);
  for (uint32_t lsn = 16; lsn < 32; ++lsn) {
    EXPECT_NE(plugin_->Cache().LookupCachedSector(lsn, kModeData2048), CacheIndex::kNone) << lsn;
  }
}

}  // namespace
}  // namespace korvane
