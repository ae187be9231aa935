// The disc server's limits, in-process on loopback: the caps on connections (in all, per
// address, not yet logged in in all and per address), each refusing with a text and giving
// its place back when a connection ends; a full pool of connections logging in making room
// for a newcomer from another address; the idle timeout of logged-in sessions; and the login throttle, which
// slows the answers to an address that failed logins and to no other; and behind a
// balancer, the client its PROXY header names as the one these apply to.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ServerTestSupport.h"
#include "protocol/ClientMessages.h"

namespace korvane::server::test {
namespace {

using Clock = std::chrono::steady_clock;

// A client from source (any loopback address when null) that sends first, if anything,
// and must be refused with text and closed.
void ExpectRefused(uint16_t port, const char* source, const std::string& text,
                   const std::string& first = "") {
  TestClient client(port, source);
  ASSERT_TRUE(client.Connected());
  if (!first.empty()) client.Send(first);
  const Reply reply = client.Next();
  const char* from = source ? source : "loopback";
  EXPECT_EQ(reply.kind, 1) << from;
  EXPECT_EQ(reply.bytes, text) << from;
  EXPECT_TRUE(client.ClosedWithin(2000)) << from;
}

// A client from source that logged in, trying again for about a second while the server
// still counts a place just given back (the last try's client, logged in or not).
std::unique_ptr<TestClient> LogInWithin(uint16_t port, const char* source) {
  std::unique_ptr<TestClient> client;
  for (int i = 0; i < 50 && !(client && client->LogIn()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    client = std::make_unique<TestClient>(port, source);
  }
  return client;
}

TEST_F(ServerTest, EachCapRefusesWithATextAndAClosedConnectionGivesItsPlaceBack) {
  Start([](ServerConfig& config) {
    config.maxConnections = 4;
    config.maxPerAddress = 2;
    config.maxLoggingIn = 2;
  });
  std::vector<std::unique_ptr<TestClient>> held;
  const auto hold = [&](const char* source) {
    held.push_back(std::make_unique<TestClient>(port_, source));
    return held.back().get();
  };
  hold("127.0.0.1");
  hold("127.0.0.1");
  ExpectRefused(port_, "127.0.0.1", "Too many connections from your address, closing this one");
  // No address then holds more connections logging in than a newcomer by two: a full pool
  // refuses it rather than close one of them.
  ASSERT_TRUE(held[1]->LogIn());
  TestClient* second = hold("127.0.0.2");
  ExpectRefused(port_, "127.0.0.3", "Too many connections are logging in, please try again later");
  ASSERT_TRUE(second->LogIn());
  TestClient* fourth = hold("127.0.0.3");
  ASSERT_TRUE(fourth->LogIn());
  ExpectRefused(port_, "127.0.0.4", "The server is full, please try again later");
  ExpectRefused(port_, "127.0.0.2", "The server is full, please try again later");

  held.front().reset();  // one of 127.0.0.1's, not logged in
  std::unique_ptr<TestClient> late = LogInWithin(port_, "127.0.0.4");
  EXPECT_TRUE(late && late->Connected()) << "the closed connection's place was not given back";
  EXPECT_EQ(late->Request(3, 0).kind, 1) << "no disc selected yet, but served";
}

TEST_F(ServerTest, SilentCrowdsFromTwoAddressesLeaveRoomForPlayersFromAThird) {
  Start([](ServerConfig& config) {
    config.maxLoggingIn = 8;
    config.maxLoggingInPerAddress = 4;
  });
  std::vector<std::unique_ptr<TestClient>> silent = Clients(port_, 4, "127.0.0.11");
  for (auto& client : Clients(port_, 4, "127.0.0.12")) silent.push_back(std::move(client));
  ExpectRefused(port_, "127.0.0.11",
                "Too many connections from your address are logging in, please try again later");
  // The pool is full; a player from elsewhere takes the place of the oldest silent
  // connection of an address holding the most, which is told why and closed.
  std::unique_ptr<TestClient> player = LogInWithin(port_, "127.0.0.13");
  ASSERT_TRUE(player && player->Connected()) << "the player was kept out";
  EXPECT_EQ(player->Request(3, 0).kind, 1) << "no disc selected yet, but served";
  size_t closed = 0;
  for (size_t oldest : {size_t{0}, size_t{4}}) {
    const Reply reply = silent[oldest]->Next(2048, 300);
    if (reply.bytes.empty()) continue;
    EXPECT_EQ(reply.bytes, "Too many connections are logging in, closing this silent one");
    EXPECT_TRUE(silent[oldest]->ClosedWithin(2000));
    ++closed;
  }
  EXPECT_EQ(closed, 1u);
  for (size_t kept : {size_t{1}, size_t{5}}) EXPECT_FALSE(silent[kept]->ClosedWithin(100));
}

TEST_F(ServerTest, ClientsThatAskAndNeverReadHoldNoMoreThanTheReplyBudget) {
  folder_.Write("c.iso", PatternImage(20000, 2048));
  constexpr uint64_t kBudget = 8 << 20;
  Start([](ServerConfig& config) {
    config.replyBudgetBytes = kBudget;
    config.runMax = 4096;
    config.messageGapMs = 1;
  });
  std::string doubling;
  for (uint32_t lsn = 0, length = 16; lsn < 16000; lsn += length, length *= 2) {
    doubling += korvane::wire::BuildSectorRequest(3, lsn);
  }
  std::vector<std::unique_ptr<TestClient>> hoarders;
  for (int i = 0; i < 20; ++i) {
    hoarders.push_back(std::make_unique<TestClient>(port_));
    ASSERT_TRUE(hoarders.back()->LogIn());
    hoarders.back()->Send(std::string("\x03\x02", 2) + doubling);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  // Past the budget, each holds a run of the minimum length (16 sectors) at most.
  EXPECT_LE(server_->HeldReplyBytes(), kBudget + 20 * 16 * 2352 + 64 * 1024);
  // A player who reads is served all the same, if in shorter runs.
  TestClient player(port_);
  ASSERT_TRUE(player.LogInTo(2));
  uint32_t lsn = 0;
  for (int i = 0; i < 40 && lsn < 16000; ++i) {
    const Reply reply = player.Request(3, lsn);
    ASSERT_EQ(reply.kind, 5) << "request " << i;
    ASSERT_GE(reply.bytes.size(), 2048u);
    ASSERT_EQ(reply.bytes.size() % 2048, 0u);
    lsn += static_cast<uint32_t>(reply.bytes.size() / 2048);
  }
}

TEST_F(ServerTest, ALoggedInSessionThatAsksForNothingIsClosedAndAReaderIsNot) {
  Start([](ServerConfig& config) {
    config.idleTimeoutMs = 400;
    config.messageGapMs = 1;
  });
  TestClient idle(port_), reader(port_);
  ASSERT_TRUE(idle.LogIn());
  ASSERT_TRUE(reader.LogInTo(0));
  const auto start = Clock::now();
  while (MillisecondsSince(start) < 1200) {
    ASSERT_EQ(reader.Request(3, 5).kind, 5) << "a reader was closed as idle";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const Reply text = idle.Next();
  EXPECT_EQ(text.bytes, "Closing the connection: nothing was asked for too long");
  EXPECT_TRUE(idle.ClosedWithin(2000));
}

TEST_F(ServerTest, FailedLoginsDelayTheNextCheckFromTheirAddressOnly) {
  Start([](ServerConfig& config) {
    config.maxLoginDelayMs = 400;
    config.messageGapMs = 1;
  });
  // Each refusal takes the delay its address earned so far (0, 100, 200, 400, 400 ms), less
  // the moments the client took to see the last refusal and connect again.
  const long earned[] = {0, 100, 200, 400, 400};
  for (long delay : earned) {
    TestClient guesser(port_, "127.0.0.5");
    const auto start = Clock::now();
    EXPECT_FALSE(guesser.LogIn("alice", "guess"));
    EXPECT_GE(MillisecondsSince(start), delay - 50);
    EXPECT_TRUE(guesser.ClosedWithin(2000));
  }
  // Guesses sent at once take turns 400 ms apart: no faster than one after another.
  const auto start = Clock::now();
  for (auto& client : Clients(port_, 3, "127.0.0.5", wire::BuildLogin("alice", "guess")))
    EXPECT_TRUE(client->ClosedWithin(5000));
  EXPECT_GE(MillisecondsSince(start), 2 * 400 - 50);

  TestClient other(port_, "127.0.0.6");
  ASSERT_TRUE(other.LogIn()) << "another address was slowed";
  TestClient owner(port_, "127.0.0.5");
  EXPECT_TRUE(owner.LogIn()) << "the right password is still let in, only later";
}

TEST_F(ServerTest, ANeighbourGuessingOneAccountHoldsUpNoOtherButGuessingManySharesALine) {
  Start([](ServerConfig& config) {
    config.maxLoginDelayMs = 1600;
    config.messageGapMs = 1;
  });
  // Ten guesses at one account kept in flight from a household's address...
  const auto guesses = Clients(port_, 10, "127.0.0.21", wire::BuildLogin("mallory", "guess"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // ...and its players, on another account, get their prompts at once.
  for (int i = 0; i < 5; ++i) {
    const auto start = Clock::now();
    TestClient player(port_, "127.0.0.21");
    EXPECT_TRUE(player.LogIn());
    EXPECT_LT(MillisecondsSince(start), 1000) << "player " << i << " waited behind the guesses";
  }
  // Guesses at four accounts put every login from the address in one line, whose delay
  // then doubles with each failure whatever account it names.
  for (const char* user : {"u1", "u2", "u3", "u4"}) {
    TestClient guesser(port_, "127.0.0.22");
    EXPECT_FALSE(guesser.LogIn(user, "guess"));
  }
  const auto start = Clock::now();
  for (const char* user : {"u5", "u6", "u7"}) {
    TestClient guesser(port_, "127.0.0.22");
    EXPECT_FALSE(guesser.LogIn(user, "guess"));
  }
  TestClient owner(port_, "127.0.0.22");
  EXPECT_TRUE(owner.LogIn());
  EXPECT_GE(MillisecondsSince(start), 100 + 200 + 400) << "guesses at many accounts ran free";
}

TEST_F(ServerTest, BehindABalancerTheClientItsHeaderNamesIsTheOneLimitedAndServed) {
  Start([](ServerConfig& config) {
    config.proxyProtocol = true;
    config.maxPerAddress = 1;
  });
  TestClient player(port_);
  player.Send("PROXY TCP4 192.0.2.7 127.0.0.1 5555 35000\r\n");
  ASSERT_TRUE(player.LogInTo(0));
  const Reply run = player.Request(3, 4);
  EXPECT_TRUE(run.bytes == ExpectedSectors(iso_, false, 3, 4, 16));
  EXPECT_LT(run.stream.size(), run.bytes.size() / 4) << "not compressed as for a remote client";

  // Header and login in one write, as the balancer passes on what the client sent at once.
  ExpectRefused(port_, nullptr, "Too many connections from your address, closing this one",
                "PROXY TCP4 192.0.2.7 127.0.0.1 5556 35000\r\n\x01\x05"
                "alice,se:cret");
  TestClient check(port_);
  check.Send("PROXY UNKNOWN\r\n");
  EXPECT_TRUE(check.LogIn()) << "the balancer's own connection";
  ExpectRefused(port_, nullptr, "Expected the PROXY header of a balancer, closing the connection",
                wire::BuildLogin("alice", "se:cret"));
}

TEST_F(ServerTest, AbandonedLoginsLeaveTheLineAndRightPasswordsDoNotWaitOnEachOther) {
  Start([](ServerConfig& config) {
    config.maxLoginDelayMs = 400;
    config.messageGapMs = 1;
  });
  // A typist behind the players' shared address: the address's delay is 400 ms now.
  for (int i = 0; i < 4; ++i) {
    TestClient typist(port_, "127.0.0.7");
    EXPECT_FALSE(typist.LogIn("alice", "se:cert"));
  }
  Clients(port_, 20, "127.0.0.7", wire::BuildLogin("mallory", "guess"));  // each abandoned at once
  auto start = Clock::now();
  TestClient player(port_, "127.0.0.7");
  EXPECT_TRUE(player.LogIn());
  EXPECT_LT(MillisecondsSince(start), 1000) << "behind the 20 abandoned logins' turns";

  // The typist again, then eight players at once: each waits for the typist's delay, not
  // for the others' turns.
  TestClient typist(port_, "127.0.0.7");
  EXPECT_FALSE(typist.LogIn("alice", "se:cert"));
  start = Clock::now();
  for (auto& each : Clients(port_, 8, "127.0.0.7", wire::BuildLogin("alice", "se:cret")))
    EXPECT_EQ(each->Next(2048, 5000).kind, 1);
  EXPECT_LT(MillisecondsSince(start), 1200);
}

TEST_F(ServerTest, OnlyTheBalancersNamedMayNameAClientAndTheirHealthChecksCountUnderThem) {
  Start([](ServerConfig& config) {
    config.proxyProtocol = true;
    config.proxyFrom = {"127.0.0.8/31"};
    config.maxPerAddress = 1;
  });
  ExpectRefused(port_, "127.0.0.10",
                "This server takes connections through its balancer only, closing this one",
                "PROXY TCP4 192.0.2.7 127.0.0.1 5555 35000\r\n");
  TestClient player(port_, "127.0.0.9");
  player.Send("PROXY TCP4 192.0.2.7 127.0.0.1 5555 35000\r\n");
  EXPECT_TRUE(player.LogIn());
  TestClient check(port_, "127.0.0.8");
  check.Send("PROXY UNKNOWN\r\n");
  EXPECT_TRUE(check.LogIn());
  ExpectRefused(port_, "127.0.0.8", "Too many connections from your address, closing this one",
                "PROXY UNKNOWN\r\n");
}

}  // namespace
}  // namespace korvane::server::test
