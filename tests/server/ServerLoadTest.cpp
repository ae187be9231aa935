// The server under clients that misbehave or come in numbers, and under slow work: split,
// coalesced, garbled and oversized messages and what follows bytes thrown away, stalled
// messages, silent connections, a login deadline, a couple of hundred clients reading at
// once, runs made ahead that take long, and stopping, both in-process and of the program by
// signal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ServerTestSupport.h"
#include "protocol/ClientMessages.h"

namespace korvane::server::test {
namespace {

using Clock = std::chrono::steady_clock;

TEST_F(ServerTest, OversizedMessagesCloseTheConnectionWithAText) {
  Start();
  TestClient endless(port_);
  endless.Send("\x01\x05" + std::string(70000, 'x'));
  EXPECT_EQ(endless.Next().kind, 1);
  EXPECT_TRUE(endless.ClosedWithin(2000));
  // A flood of garbage is dropped as it comes, with a text for each part read.
  TestClient flood(port_);
  ASSERT_TRUE(flood.LogIn());
  flood.Send("\x03\x01" + std::string(200000, 'y'));
  int texts = 0;
  while (texts < 100 && flood.Next(0, 300).kind == 1) ++texts;
  EXPECT_GT(texts, 0);
  EXPECT_TRUE(flood.Request(0, 1).bytes == ExpectedSectors(raw_, true, 0, 1, 16));
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
  EXPECT_EQ(client.Next().bytes,
            "Ignored 9 bytes: " +
                std::string(wire::DescribeBadInput(wire::BadInput::kUnknownKind)));
  // What a served request or a following message brought in the same write is not counted.
  client.Send(
      std::string("\x04\x03"
                  "30"
                  "\x01\x05"
                  "alice,se:cret"
                  "\x03\x00",
                  21));
  EXPECT_TRUE(client.Next().bytes == ExpectedSectors(iso_, false, 3, 30, 10));
  EXPECT_EQ(client.Next().bytes, "Ignored 15 bytes: already logged in");
  EXPECT_TRUE(client.Request(1, 3).bytes == ExpectedSectors(iso_, false, 1, 3, 16));
  EXPECT_EQ(client.ReadSome(100), "");
}

TEST_F(ServerTest, BytesAfterInputThrownAwayNeverSelectADisc) {
  Start();
  TestClient client(port_);
  ASSERT_TRUE(client.LogInTo(0));
  // A request cut after its kind byte by garbage in front: what comes next is its rest.
  client.Send("\xFF\x04");
  EXPECT_EQ(client.Next().bytes, "Ignored 2 bytes: unknown message kind");
  client.Send("\x03"
              "12");
  EXPECT_EQ(client.Next().bytes, "Ignored 3 bytes: the rest of a sector request");
  // So too after a request without its number, in the same write.
  client.Send("\x04\x03\x03"
              "5");
  EXPECT_EQ(client.Next().bytes,
            "Sector request refused: " +
                std::string(wire::DescribeBadInput(wire::BadInput::kNoDigits)));
  EXPECT_EQ(client.Next().kind, 5);
  EXPECT_EQ(client.Next().bytes, "Ignored 2 bytes: the rest of a sector request");
  EXPECT_TRUE(client.Request(3, 7).bytes == ExpectedSectors(iso_, false, 3, 7, 16))
      << "disc 0 is still the one selected";
  client.Send("\x03"
              "9");
  EXPECT_EQ(client.Next().bytes,
            "There is no disc 57: the list has 2; no disc is selected until one of the list is")
      << "after a message that was one, a selection is one";
}

TEST_F(ServerTest, SilentAndStalledClientsHoldNobodyElse) {
  Start([](ServerConfig& config) { config.threads = 1; });
  TestClient silent(port_);
  TestClient halfLogin(port_);
  halfLogin.Send(
      "\x01\x05"
      "ali");
  TestClient halfRequest(port_);
  ASSERT_TRUE(halfRequest.LogIn());
  halfRequest.Send("\x03\x01\x04\x03");
  TestClient reader(port_);
  const auto start = Clock::now();
  ASSERT_TRUE(reader.LogInTo(1));
  for (uint32_t lsn = 0; lsn < 20; ++lsn) {
    EXPECT_TRUE(reader.Request(3, lsn).bytes == ExpectedSectors(raw_, true, 3, lsn, 16));
  }
  EXPECT_LT(MillisecondsSince(start), 3000);
  halfRequest.Send("5");
  EXPECT_TRUE(halfRequest.Next().bytes == ExpectedSectors(raw_, true, 3, 5, 16));
}

TEST_F(ServerTest, ClientThatStopsTakingInRepliesIsClosedAfterTheWriteLimit) {
  Start([](ServerConfig& config) {
    config.level = 0;
    config.writeTimeoutMs = 500;
  });
  TestClient hoarder(port_);
  ASSERT_TRUE(hoarder.LogInTo(1));
  // 300 requests for 40-sector raw runs: some 28 MB of replies, far more than the socket
  // buffers hold while nobody reads them.
  std::string requests;
  for (int n = 0; n < 300; ++n) requests += std::string("\x04\x00", 2) + "0";
  ASSERT_TRUE(hoarder.Send(requests));
  TestClient reader(port_);
  ASSERT_TRUE(reader.LogInTo(0));
  EXPECT_TRUE(reader.Request(3, 7).bytes == ExpectedSectors(iso_, false, 3, 7, 16));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  // What the buffers held arrives, then the close: the rest of the replies never do.
  EXPECT_TRUE(hoarder.ClosedWithin(5000));
  EXPECT_TRUE(reader.Request(3, 8).bytes == ExpectedSectors(iso_, false, 3, 8, 16));
}

TEST_F(ServerTest, ConnectionsWithoutALoginCloseAtTheDeadline) {
  Start([](ServerConfig& config) { config.loginTimeoutMs = 300; });
  TestClient silent(port_);
  TestClient halfLogin(port_);
  halfLogin.Send(
      "\x01\x05"
      "ali");
  EXPECT_EQ(silent.Next().kind, 1);
  EXPECT_TRUE(silent.ClosedWithin(2000));
  EXPECT_TRUE(halfLogin.ClosedWithin(2000));
}

TEST_F(ServerTest, TwoHundredClientsReadAtOnce) {
  Start([](ServerConfig& config) {
    config.messageGapMs = 1;
    config.maxPerAddress = 0;  // all of them come from 127.0.0.1
  });
  constexpr int kThreads = 8, kClientsEach = 25, kReads = 3;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::unique_ptr<TestClient>> clients;
      for (int i = 0; i < kClientsEach; ++i) {
        clients.push_back(std::make_unique<TestClient>(port_));
        if (clients.back()->LogIn()) clients.back()->Send(std::string{'\x03', char(i % 2)});
      }
      for (int round = 0; round < kReads; ++round) {
        for (int i = 0; i < kClientsEach; ++i) {
          const uint32_t lsn = (t * 7 + i * 3 + round * 5) % 16;
          const int mode = round == 1 ? 1 : 3;
          const std::string expected = ExpectedSectors(i % 2 ? raw_ : iso_, i % 2, mode, lsn, 16);
          if (clients[i]->Request(mode, lsn).bytes == expected) ++good;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(good.load(), kThreads * kClientsEach * kReads);
}

TEST_F(ServerTest, StopClosesEveryConnection) {
  Start();
  TestClient silent(port_);
  TestClient stalled(port_);
  ASSERT_TRUE(stalled.LogIn());
  stalled.Send("\x04\x03");
  const auto start = Clock::now();
  server_->Stop();
  EXPECT_LT(MillisecondsSince(start), 2000);
  EXPECT_TRUE(silent.ClosedWithin(1000));
  EXPECT_TRUE(stalled.ClosedWithin(1000));
  EXPECT_FALSE(TestClient(port_).Connected());
  server_->Stop();
}

TEST_F(ServerTest, ARunStillBeingMadeAheadIsAwaitedOrDropped) {
  // At level 9 the 256 slow sectors take about a second to compress, the 512 after them two.
  const std::string slow = SlowToCompressImage(192, 1024);
  folder_.Write("c.iso", slow);
  Start([](ServerConfig& config) {
    config.level = 9;
    config.runMin = 64;
    config.runMax = 2048;
  });
  TestClient client(port_);
  ASSERT_TRUE(client.LogInTo(2));
  EXPECT_TRUE(client.Request(3, 0).bytes == ExpectedSectors(slow, false, 3, 0, 64));
  EXPECT_TRUE(client.Request(3, 64).bytes == ExpectedSectors(slow, false, 3, 64, 128));
  // Asked for while it is being made: the session waits for it rather than make it again.
  client.Send(wire::BuildSectorRequest(3, 192));
  EXPECT_TRUE(client.Next(0, 30000).bytes == ExpectedSectors(slow, false, 3, 192, 256));
  EXPECT_EQ(server_->Stats().preparesUsed, 1u);
  EXPECT_EQ(server_->Stats().runsMade, 3u);
  // The run from 448 is now under way. Another request is answered meanwhile, with its own
  // sectors, and the run ahead is given up.
  const auto start = Clock::now();
  EXPECT_TRUE(client.Request(3, 10).bytes == ExpectedSectors(slow, false, 3, 10, 64));
  EXPECT_LT(MillisecondsSince(start), 1000);
  WaitUntil(2000, [&] { return server_->Stats().preparesGivenUp >= 1; });
  EXPECT_EQ(server_->Stats().preparesGivenUp, 1u);
  EXPECT_EQ(server_->Stats().preparesDropped, 1u);
  EXPECT_EQ(server_->Stats().runsMade, 4u);
  EXPECT_EQ(client.ReadSome(100), "");
}

TEST_F(ServerTest, StopGivesUpARunBeingMadeAhead) {
  // The run made ahead, 2048 slow sectors at level 9, would take several seconds.
  folder_.Write("c.iso", SlowToCompressImage(1536, 2048));
  Start([](ServerConfig& config) {
    config.level = 9;
    config.runMin = 512;
    config.runMax = 2048;
  });
  TestClient client(port_);
  ASSERT_TRUE(client.LogInTo(2));
  EXPECT_EQ(client.Request(3, 0).bytes.size(), 512u * 2048);
  EXPECT_EQ(client.Request(3, 512).bytes.size(), 1024u * 2048);
  client.Send(wire::BuildSectorRequest(3, 1536));  // waits for the run under way
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = Clock::now();
  server_->Stop();
  // Far less than the run would take; the bound is loose for loaded machines.
  EXPECT_LT(MillisecondsSince(start), 4000);
  EXPECT_TRUE(client.ClosedWithin(3000));
  const ServerStats stats = server_->Stats();
  EXPECT_EQ(stats.preparesStarted, 1u);
  EXPECT_EQ(stats.preparesGivenUp, 1u);
  EXPECT_EQ(stats.runsMade, 2u);
}

TEST_F(ServerTest, TheProgramStopsOnSigtermWithStatusZero) {
  load::ServerProcess program;
  ASSERT_NO_FATAL_FAILURE(StartServerProgram(program, folder_.Path().string(),
                                             {"--allow-anyone", "--message-gap-ms", "10"}));
  TestClient client(program.Port());
  EXPECT_TRUE(client.LogIn("anyone", "at all"));
  EXPECT_TRUE(program.Stop(5000)) << "no exit with status 0 within 5 s of SIGTERM";
  EXPECT_TRUE(client.ClosedWithin(1000));
}

}  // namespace
}  // namespace korvane::server::test
