// A real server on 127.0.0.1 talking to test clients: login, the disc list, sector runs in
// every mode from both kinds of image, run lengths, the end of the disc, single sectors and
// every request the server cannot serve.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ServerTestSupport.h"

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
    client.Send(std::string{'\x03', static_cast<char>(disc)});
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
  ASSERT_TRUE(client.LogIn());
  client.Send(std::string("\x03\x00", 2));
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

TEST_F(ServerTest, ARawImageEndsAtItsLastWholeSector) {
  // 2100 bytes past sector 39 hold sector 40 of mode 3 (24 + 2048 bytes), not of 0 or 1.
  const std::string image = raw_ + std::string(2100, '\x7F');
  folder_.Write("b.bin", image);
  Start();
  TestClient client(port_);
  ASSERT_TRUE(client.LogIn());
  client.Send("\x03\x01");
  EXPECT_EQ(SectorsIn(client.Request(1, 30), 1), 10u);
  EXPECT_TRUE(client.Request(3, 39).bytes == ExpectedSectors(image, true, 3, 39, 2));
  EXPECT_EQ(client.Request(0, 40).kind, 1);
  EXPECT_EQ(client.Next().bytes, "") << "an empty run follows the text";
}

TEST_F(ServerTest, SingleRepliesCarryOneRawSector) {
  Start([](ServerConfig& config) { config.single = true; });
  TestClient client(port_);
  ASSERT_TRUE(client.LogIn());
  client.Send("\x03\x01");
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
  client.Send(std::string("\x03\x00", 2));
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
    // The empty run comes in the same read; an empty stream is eight bytes at this level.
    EXPECT_EQ(reply.substr(end + 1, 3),
              "\x05"
              "8:")
        << reply;
    EXPECT_EQ(reply.size(), end + 1 + 3 + 8) << testing::PrintToString(request);
  }
  client.Send("\x03\x02");
  EXPECT_EQ(client.Next().kind, 1) << "disc 2 is not in the list";
  EXPECT_EQ(client.Request(3, 1).kind, 5) << "the session goes on";
}

TEST_F(ServerTest, MessagesSplitOrTogetherAndGarbage) {
  Start();
  TestClient client(port_);
  ASSERT_TRUE(client.LogIn());
  client.Send(std::string("\x03\x00\x04\x03", 4) + "12");
  EXPECT_TRUE(client.Next().bytes == ExpectedSectors(iso_, false, 3, 12, 16));
  client.Send("\x04\x03");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  client.Send("20");
  EXPECT_TRUE(client.Next().bytes == ExpectedSectors(iso_, false, 3, 20, 16));
  client.Send(
      "\x06"
      "echoed prompt");
  EXPECT_EQ(client.ReadSome(100), "");
  client.Send(
      std::string("\xFF\x00"
                  "garbage",
                  9));
  EXPECT_EQ(client.Next().kind, 1);
  client.Send(
      "\x01\x05"
      "alice,se:cret");
  EXPECT_EQ(client.Next().kind, 1);
  EXPECT_TRUE(client.Request(1, 3).bytes == ExpectedSectors(iso_, false, 1, 3, 16));
  EXPECT_EQ(client.ReadSome(100), "");
}

}  // namespace
}  // namespace korvane::server::test
