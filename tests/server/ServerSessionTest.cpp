// A real server on 127.0.0.1 talking to test clients: login, the disc list, sector runs in
// every mode from both kinds of image, run lengths, the end of the disc and the partial
// sector past it, single sectors, every request the server cannot serve, and images whose
// names hold any bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include "ServerTestSupport.h"
#include "server/LinkRate.h"

namespace korvane::server::test {
namespace {

constexpr size_t kSectorBytes[] = {2352, 2340, 0, 2048};

// Sectors of mode a run reply holds.
size_t SectorsIn(const Reply& run, int mode) {
  return run.bytes.size() / kSectorBytes[mode];
}

TEST_F(ServerTest, LoginBringsGreetingListAndPromptInSeparateReads) {
  Start();
  TestClient client(port_);
  ASSERT_TRUE(
      client.Send("\x01\x05"
                  "alice,se:cret"));
  const std::string greeting = client.ReadSome();
  EXPECT_EQ(greeting.front(), '\x01');
  EXPECT_EQ(greeting.back(), '\n');
  EXPECT_NE(greeting.find("2 discs"), std::string::npos) << greeting;
  EXPECT_EQ(client.ReadSome(), "\x02,12,a.iso,b.bin,");
  EXPECT_EQ(client.ReadSome(), "\x06");
}

TEST_F(ServerTest, ASizeQueryTellsEveryListedDiscsSizeAndNothingIsSelected) {
  Start();
  TestClient client(port_);
  ASSERT_TRUE(client.LogIn());
  client.Send("\x07");
  EXPECT_EQ(client.Next().bytes, "Disc sizes: 81920/2048 94080/2352");
  client.Send("\x04\x03"
              "0");  // the query selected no disc: the request is refused
  EXPECT_EQ(client.Next().kind, 1);
}

TEST_F(ServerTest, RefusedLoginsGetATextThenTheConnectionCloses) {
  Start();
  for (std::string_view first : {"\x01\x05"
                                 "alice,secret",
                                 "\x01\x05"
                                 "mallory,se:cret",
                                 "\x04\x03"
                                 "16",
                                 "\x01\x04"
                                 "alice,se:cret"}) {
    TestClient client(port_);
    client.Send(first);
    EXPECT_EQ(client.Next().kind, 1) << testing::PrintToString(first);
    EXPECT_TRUE(client.ClosedWithin(2000)) << testing::PrintToString(first);
  }
}

TEST_F(ServerTest, RunsInEveryModeHoldTheImageBytes) {
  Start();
  TestClient client(port_);
  ASSERT_TRUE(client.LogIn());
  for (int disc : {0, 1}) {
    client.Select(disc);
    const std::string& image = disc == 0 ? iso_ : raw_;
    for (int mode : {0, 1, 3}) {
      const Reply run = client.Request(mode, 7);
      ASSERT_EQ(run.kind, 5) << "disc " << disc << " mode " << mode;
      EXPECT_TRUE(run.streamOk);
      ASSERT_EQ(SectorsIn(run, mode), 16u);
      EXPECT_TRUE(run.bytes == ExpectedSectors(image, disc == 1, mode, 7, 16))
          << "disc " << disc << " mode " << mode;
    }
  }
}

TEST_F(ServerTest, RunsGrowWhileReadingOnAndStopAtTheDiscEnd) {
  Start([](ServerConfig& config) {
    config.runMin = 2;
    config.runMax = 8;
  });
  TestClient client(port_);
  ASSERT_TRUE(client.LogInTo(0));
  const struct {
    int mode;
    uint32_t lsn;
    size_t sectors;
  } steps[] = {{3, 0, 2},
               {3, 2, 4},
               {3, 6, 8},
               {3, 14, 8},
               {3, 22, 8},
               {3, 5, 2},
               {3, 7, 4},
               {0, 11, 2},
               {3, 35, 2},
               {3, 37, 3},
               {3, 39, 1},
               // 40 sectors of 2048 bytes hold 34 whole sectors of 2352.
               {0, 30, 2},
               {0, 32, 2},
               {1, 33, 1}};
  for (const auto& step : steps) {
    const Reply run = client.Request(step.mode, step.lsn);
    ASSERT_EQ(run.kind, 5) << step.lsn;
    EXPECT_EQ(SectorsIn(run, step.mode), step.sectors)
        << "mode " << step.mode << " lsn " << step.lsn;
    EXPECT_TRUE(run.bytes == ExpectedSectors(iso_, false, step.mode, step.lsn, step.sectors));
  }
}

TEST_F(ServerTest, LoopbackClientsGetStoredBlocksUnlessALevelIsSet) {
  for (const int level : {kLevelAuto, 1}) {
    Start([level](ServerConfig& config) { config.level = level; });
    TestClient client(port_);
    ASSERT_TRUE(client.LogInTo(1));
    const Reply run = client.Request(0, 4);
    const std::string expected = ExpectedSectors(raw_, true, 0, 4, 16);
    ASSERT_TRUE(run.bytes == expected) << level;
    ASSERT_GT(run.stream.size(), 3u);
    // After the two header bytes, the low three bits of the first block say its kind.
    const int blockType = (static_cast<uint8_t>(run.stream[2]) >> 1) & 3;
    if (level == kLevelAuto) {
      EXPECT_EQ(blockType, 0) << "stored";
      EXPECT_GE(run.stream.size(), expected.size());
      EXPECT_LE(run.stream.size(), expected.size() + 64);
    } else {
      EXPECT_NE(blockType, 0);
      EXPECT_LT(run.stream.size(), expected.size() / 4);
    }
  }
}

// Behind a balancer, so that the server sees clients that are not on this machine, and with
// a link clock that the test steps: each reply takes its latency plus its bytes at its rate
// to come in, and the next request comes at once or after a pause of the reader's own.
TEST_F(ServerTest, RunsFitWhatARemoteLinkCarriesInTheTargetTimeAndNoPauseCutsThem) {
  // Random letters of a two-letter alphabet: a run of them compresses to the same few
  // hundred bytes a sector, however long it is.
  const std::string noise = SlowToCompressImage(0, 1200);
  folder_.Write("c.iso", noise);
  const auto micros = std::make_shared<std::atomic<int64_t>>(0);
  Start([micros](ServerConfig& config) {
    config.proxyProtocol = true;
    config.runMin = 4;
    config.runMax = 256;
    config.linkClock = [micros] {
      return std::chrono::steady_clock::time_point(std::chrono::microseconds(micros->load()));
    };
  });
  const auto play = [&](const char* address, double latency, double rate, int runs) {
    // The shortest gap, the first run's, stands for the round trip.
    double target = std::chrono::duration<double>(kRunTarget).count();
    TestClient client(port_);
    client.Send(std::string("PROXY TCP4 ") + address + " 127.0.0.1 5555 35000\r\n");
    EXPECT_TRUE(client.LogIn());
    client.Select(2);
    std::vector<size_t> lengths;
    uint32_t lsn = 0;
    for (int i = 0; i < runs; ++i) {
      const Reply run = client.Request(3, lsn);
      const size_t sectors = SectorsIn(run, 3);
      EXPECT_TRUE(run.bytes == ExpectedSectors(noise, false, 3, lsn, sectors)) << lsn;
      EXPECT_LT(run.stream.size(), run.bytes.size() / 2) << "runs to a slow link are compressed";
      const double bytes = run.stream.size() + std::to_string(run.stream.size()).size() + 2;
      if (i == 0) target = std::max(target, kRunRoundTrips * (latency + bytes / rate));
      if (i >= 4 && rate < 1e8) {
        EXPECT_LE(bytes / rate, target * 1.05) << "run " << i << " of " << sectors << " sectors";
        EXPECT_GE(bytes / rate, target / 2) << "run " << i << " of " << sectors << " sectors";
      }
      const double pause = i == 6 || i == 7 ? 2.0 : 0.0;
      *micros += static_cast<int64_t>((latency + bytes / rate + pause) * 1e6);
      lengths.push_back(sectors);
      lsn += static_cast<uint32_t>(sectors);
    }
    return lengths;
  };
  const std::vector<size_t> slow = play("192.0.2.7", 0.05, 1e5, 10);
  EXPECT_EQ(slow.front(), 4u);
  EXPECT_LT(slow.back(), 256u);
  const std::vector<size_t> fast = play("192.0.2.8", 0.001, 1e9, 8);
  EXPECT_EQ(fast.back(), 256u) << "a link too fast to time lets runs grow to the most";
  // From each reader's third run on, every run was made ahead: with the length its request got.
  EXPECT_EQ(server_->Stats().preparesUsed, 8u + 6u);
}

TEST_F(ServerTest, SequentialReadsGetTheRunsMadeAheadOfThem) {
  Start([](ServerConfig& config) {
    config.runMin = 2;
    config.runMax = 8;
  });
  TestClient client(port_);
  ASSERT_TRUE(client.LogIn());
  // Each disc from its start: runs of 2, 4 and 8, the last clipped; from the third on,
  // every run was made while the client took in the one before.
  const uint32_t starts[] = {0, 2, 6, 14, 22, 30, 38};
  const uint32_t lengths[] = {2, 4, 8, 8, 8, 8, 2};
  for (int disc : {0, 1}) {
    client.Select(disc);
    const int mode = disc == 0 ? 3 : 1;
    for (int i = 0; i < 7; ++i) {
      const Reply run = client.Request(mode, starts[i]);
      EXPECT_EQ(SectorsIn(run, mode), lengths[i]) << disc << " " << starts[i];
      EXPECT_TRUE(run.bytes ==
                  ExpectedSectors(disc == 0 ? iso_ : raw_, disc == 1, mode, starts[i], lengths[i]))
          << disc << " " << starts[i];
    }
  }
  const ServerStats stats = server_->Stats();
  EXPECT_EQ(stats.runsMade, 14u) << "no run made twice, none wasted";
  EXPECT_EQ(stats.preparesStarted, 10u);
  EXPECT_EQ(stats.preparesUsed, 10u);
  EXPECT_EQ(stats.preparesDropped, 0u);
}

TEST_F(ServerTest, ARunMadeAheadGoesOnlyToTheRequestItWasMadeFor) {
  Start([](ServerConfig& config) {
    config.runMin = 2;
    config.runMax = 8;
  });
  TestClient client(port_);
  ASSERT_TRUE(client.LogInTo(0));
  const struct {
    std::string send;  // sent before the request
    int mode;
    uint32_t lsn;
    uint32_t sectors;
    bool raw;
  } steps[] = {{"", 3, 0, 2, false},  {"", 3, 2, 4, false},
               {"", 0, 6, 2, false},  // where the run ahead starts, in another mode
               {"", 0, 8, 4, false},  {"", 0, 20, 2, false},          // a jump
               {"", 0, 22, 4, false}, {"\x03\x01", 0, 26, 2, true}};  // another disc
  for (const auto& step : steps) {
    client.Send(step.send);
    const Reply run = client.Request(step.mode, step.lsn);
    EXPECT_EQ(SectorsIn(run, step.mode), step.sectors) << step.lsn;
    EXPECT_TRUE(run.bytes == ExpectedSectors(step.raw ? raw_ : iso_, step.raw, step.mode, step.lsn,
                                             step.sectors))
        << step.lsn;
  }
  const ServerStats stats = server_->Stats();
  EXPECT_EQ(stats.preparesStarted, 3u);
  EXPECT_EQ(stats.preparesUsed, 0u);
  EXPECT_EQ(stats.preparesDropped, 3u);
}

TEST_F(ServerTest, ARunMadeAheadIsLetGoWhenItsRequestIsLateAndMadeAgainIfItComes) {
  Start([](ServerConfig& config) {
    config.runMin = 2;
    config.runMax = 8;
    config.preparedKeepMs = 200;
  });
  TestClient client(port_);
  ASSERT_TRUE(client.LogInTo(0));
  EXPECT_TRUE(client.Request(3, 0).bytes == ExpectedSectors(iso_, false, 3, 0, 2));
  EXPECT_TRUE(client.Request(3, 2).bytes == ExpectedSectors(iso_, false, 3, 2, 4));
  // The run for lsn 6 is made ahead; the player pauses past the time it is kept.
  WaitUntil(5000, [&] { return server_->Stats().preparesDropped != 0; });
  EXPECT_EQ(server_->Stats().preparesDropped, 1u);
  EXPECT_TRUE(client.Request(3, 6).bytes == ExpectedSectors(iso_, false, 3, 6, 8));
  EXPECT_TRUE(client.Request(3, 14).bytes == ExpectedSectors(iso_, false, 3, 14, 8));
  const ServerStats stats = server_->Stats();
  EXPECT_EQ(stats.preparesUsed, 1u) << "the run after the pause is made ahead again";
  EXPECT_EQ(stats.preparesDropped, 1u);
}

TEST_F(ServerTest, ARawImageEndsAtItsLastWholeSector) {
  // 2100 bytes past sector 39 hold sector 40 of mode 3 (24 + 2048 bytes), not of 0 or 1.
  const std::string image = raw_ + std::string(2100, '\x7F');
  folder_.Write("b.bin", image);
  Start();
  TestClient client(port_);
  ASSERT_TRUE(client.LogInTo(1));
  EXPECT_EQ(SectorsIn(client.Request(1, 30), 1), 10u);
  EXPECT_TRUE(client.Request(3, 39).bytes == ExpectedSectors(image, true, 3, 39, 2));
  EXPECT_EQ(client.Request(0, 40).kind, 1);
  EXPECT_EQ(client.Next().bytes, "") << "an empty run follows the text";
}

TEST_F(ServerTest, ATailRequestGetsThePartialLastSectorPaddedWhileSectorRequestsStopBefore) {
  const std::string iso = iso_ + std::string(1000, '\x5A'), raw = raw_ + std::string(2100, '\x7F');
  folder_.Write("a.iso", iso);
  folder_.Write("b.bin", raw);
  folder_.Write("c.iso", iso_);
  Start();
  TestClient client(port_);
  ASSERT_TRUE(client.LogIn());
  client.Send("\x08");
  EXPECT_EQ(client.Next().bytes, "Tail request refused: no disc selected");
  EXPECT_EQ(client.Next().bytes, "") << "an empty run follows the text";
  client.Select(0);
  EXPECT_EQ(client.Request(3, 40).kind, 1) << "the sector request is refused as ever";
  EXPECT_EQ(client.Next().bytes, "");
  client.Send("\x08");
  Reply tail = client.Next();
  ASSERT_EQ(tail.kind, 5);
  EXPECT_TRUE(tail.bytes == iso.substr(81920) + std::string(1048, '\0'));
  client.Select(1);
  EXPECT_EQ(client.Request(0, 40).kind, 1);
  EXPECT_EQ(client.Next().bytes, "");
  client.Send("\x08");
  tail = client.Next();
  ASSERT_EQ(tail.kind, 5);
  EXPECT_TRUE(tail.bytes == raw.substr(94080) + std::string(252, '\0'));
  client.Select(2);
  client.Send("\x08");
  EXPECT_EQ(client.Next().bytes, "Tail request refused: c.iso ends at a whole sector");
  EXPECT_EQ(client.Next().bytes, "");
}

TEST_F(ServerTest, SingleRepliesCarryOneRawSector) {
  Start([](ServerConfig& config) { config.single = true; });
  TestClient client(port_);
  ASSERT_TRUE(client.LogInTo(1));
  for (int mode : {0, 1, 3}) {
    const Reply sector = client.Request(mode, 39, kSectorBytes[mode]);
    ASSERT_EQ(sector.kind, 4);
    EXPECT_TRUE(sector.bytes == ExpectedSectors(raw_, true, mode, 39, 1)) << mode;
  }
  EXPECT_EQ(client.ReadSome(100), "");
}

TEST_F(ServerTest, EverySectorReplyWaitsTheSetDelay) {
  Start([](ServerConfig& config) { config.delayMs = 150; });
  TestClient client(port_);
  ASSERT_TRUE(client.LogIn());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Request(3, 0).kind, 1) << "refused: no disc yet";
  EXPECT_EQ(client.Next().bytes, "") << "the empty run of the refusal";
  client.Select(0);
  EXPECT_EQ(client.Request(3, 0).kind, 5);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(ServerTest, UnservableRequestsGetATextAndAnEmptyRunInOneWrite) {
  Start();
  TestClient client(port_);
  ASSERT_TRUE(client.LogIn());
  const std::string requests[] = {
      "\x04\x03"
      "0",  // no disc selected yet
      std::string("\x03\x00", 2) +
          "\x04\x02"
          "0",
      "\x04\xFF"
      "0",
      "\x04\x03"
      "40",
      std::string("\x04\x00"
                  "34",
                  4),
      "\x04\x03"
      "12345678901",
      "\x04\x03"
      "4294967296"};
  for (const std::string& request : requests) {
    client.Send(request);
    const std::string reply = client.ReadSome();
    ASSERT_FALSE(reply.empty()) << testing::PrintToString(request);
    const size_t end = reply.find('\n');
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(reply[0], '\x01');
    // The empty run comes in the same read; on loopback it is one empty stored block,
    // eleven bytes with the zlib header and check value.
    EXPECT_EQ(reply.substr(end + 1, 4),
              "\x05"
              "11:")
        << reply;
    EXPECT_EQ(reply.size(), end + 1 + 4 + 11) << testing::PrintToString(request);
  }
  client.Select(0);
  EXPECT_EQ(client.Request(3, 1).kind, 5);
  client.Select(2);
  EXPECT_EQ(client.Next().bytes,
            "There is no disc 2: the list has 2; no disc is selected until one of the list is");
  EXPECT_EQ(client.Request(3, 1).kind, 1) << "nothing is served from the disc chosen before";
  EXPECT_EQ(client.Next().kind, 5) << "the refusal's empty run";
  client.Select(0);
  EXPECT_EQ(client.Request(3, 1).kind, 5) << "the session goes on";
}

TEST_F(ServerTest, AnImageIsTheEntryListedWhateverBytesItsNameHolds) {
  // Served: the folder d, beside which lies outside.iso, and below which lies sub/inner.iso.
  const std::string outside = PatternImage(2, 2048), inner = PatternImage(3, 2048);
  const std::string slashed = PatternImage(4, 2048);
  folder_.Write("outside.iso", outside);
  std::filesystem::create_directories(folder_.PathOf("d/sub"));
  folder_.Write("d/sub/inner.iso", inner);
  folder_.Write("d/..\\outside.iso", "");
  folder_.Write("d/sub\\inner.iso", "");
  folder_.Write("d/back\\slash.img", slashed);
  std::filesystem::create_symlink("../outside.iso", folder_.PathOf("d/link.iso"));
  Start([this](ServerConfig& config) { config.folder = folder_.PathOf("d"); });
  TestClient client(port_);
  client.Send("\x01\x05"
              "alice,se:cret");
  client.Next();
  EXPECT_EQ(client.Next().bytes, "..\\outside.iso,back\\slash.img,link.iso,sub\\inner.iso,");
  client.Next();
  // The empty files are empty discs: a request gets a refusal, not another file's bytes.
  for (const char* emptyOne : {"\x03\x00", "\x03\x03"}) {
    client.Send(std::string(emptyOne, 2));
    EXPECT_EQ(client.Request(3, 0).kind, 1) << emptyOne[1] + 0;
    EXPECT_EQ(client.Next().bytes, "") << "the refusal's empty run";
  }
  client.Select(1);
  EXPECT_TRUE(client.Request(3, 0).bytes == ExpectedSectors(slashed, false, 3, 0, 4));
  client.Select(2);
  EXPECT_TRUE(client.Request(3, 0).bytes == outside) << "a link the operator made is followed";
}

}  // namespace
}  // namespace korvane::server::test
