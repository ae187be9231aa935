// The server program under load, as a child process on 127.0.0.1: two hundred players read
// different ranges of two discs at once, run after run as the plugin does, while one client
// says nothing and another stalls half way through a request. Every sector is checked; the
// bounds on time only show that nobody hangs or starves, and the bound on the program's
// peak memory follows from what a session may hold. Once the players have gone, the program
// gives the memory of their runs back.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "LoadClients.h"
#include "ServerTestSupport.h"

namespace korvane::server::test {
namespace {

constexpr int kPlayers = 200;
constexpr uint32_t kRangeSectors = 1024;
constexpr uint32_t kRangeStep = 61;  // each player starts this far after the one before
constexpr uint32_t kRunMax = 64;     // sectors in a run at most (--run-max)
constexpr uint32_t kDiscSectors = kPlayers * kRangeStep + kRangeSectors + kRunMax;
// As many workers as quiet clients: a session that held a worker while its client says
// nothing would stop the whole program. The pool making runs has as many.
constexpr int kWorkers = 2;

// PatternImage's sectors repeat every 256; each of these also holds its own LSN, so a run
// from the wrong place of the disc (another player's, say) cannot pass for the right one.
std::string StampedImage(uint32_t sectors, size_t sectorSize) {
  std::string image = PatternImage(sectors, sectorSize);
  for (uint32_t lsn = 0; lsn < sectors; ++lsn) {
    std::memcpy(&image[lsn * sectorSize + sectorSize - 8], &lsn, sizeof lsn);
  }
  return image;
}

// The most the program may hold at its peak, in KiB. A session keeps one reply (a stored run
// of kRunMax raw sectors, as loopback clients get), the bytes of one unfinished message and
// its read chunk; a worker of either pool keeps the raw sectors and the stream of the run it
// makes and a deflate state. Twice that covers the allocator's slack; 96 MiB more the program
// itself, its thread stacks and, under AddressSanitizer, its shadow and the quarantine set below.
// That is under 200 MiB, where a program that kept what it sent would pass 450.
long PeakMemoryBoundKiB(int sessions) {
  const long run = kRunMax * 2352 + 4096;
  const long session = run + ServerConfig{}.pendingLimit + 8192 + 16384;
  const long worker = 2 * run + 512 * 1024;
  return (96L << 20) / 1024 + 2 * (sessions * session + 2 * kWorkers * worker) / 1024;
}

// Players in pairs: the first of each reads disc 0 in mode 3, the second disc 1 in mode 0,
// each from kRangeStep sectors after the one before.
std::vector<load::PlayPlan> Plans(int players) {
  std::vector<load::PlayPlan> plans;
  for (int i = 0; i < players; ++i) {
    const bool raw = i % 2 == 1;
    plans.push_back({uint8_t{raw}, uint8_t(raw ? 0 : 3), i * kRangeStep, kRangeSectors,
                     size_t{raw ? 2352u : 2048u}});
  }
  return plans;
}

class ProgramLoadTest : public ProgramTest {
 protected:
  ProgramLoadTest()
      : ProgramTest(10),
        iso_(StampedImage(kDiscSectors, 2048)),
        raw_(StampedImage(kDiscSectors, 2352)) {
    folder_.Write("a.iso", iso_);
    folder_.Write("b.bin", raw_);
  }

  // Starts the program with two workers in each pool, the extra arguments and a small
  // quarantine, which keeps freed runs from counting as held memory under AddressSanitizer.
  void StartForPlayers(std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"--allow-anyone", "--threads", std::to_string(kWorkers),
                                 "--compress-threads", std::to_string(kWorkers)});
    StartProgram(extra, {"ASAN_OPTIONS=quarantine_size_mb=16"});
  }

  // Plays every plan at once, checking each run against the images.
  load::LoadOutcome Play(const std::vector<load::PlayPlan>& plans) {
    load::LoadSettings settings;
    settings.port = program_.Port();
    // Long past the plugin's own 10 s, short enough to fail well inside the test's time.
    settings.replyTimeoutMs = 15000;
    return load::PlayAll(settings, plans,
                         [this](const load::PlayPlan& plan, uint32_t lsn, const uint8_t* bytes,
                                size_t size) { return Matches(plan.disc, lsn, bytes, size); });
  }

  // True when bytes are the sectors of disc from lsn on (mode 3 of disc 0, mode 0 of disc 1).
  bool Matches(uint8_t disc, uint32_t lsn, const uint8_t* bytes, size_t size) const {
    const std::string& image = disc == 0 ? iso_ : raw_;
    const size_t at = size_t{lsn} * (disc == 0 ? 2048 : 2352);
    return at + size <= image.size() && std::memcmp(image.data() + at, bytes, size) == 0;
  }

  // Waits up to 5 s until the program has logged sessions disconnections.
  void AwaitDisconnections(size_t sessions) {
    WaitUntil(5000, [&] { return Count(program_.Log(), "disconnected (") >= sessions; });
    EXPECT_EQ(Count(program_.Log(), "disconnected ("), sessions);
  }

  // Stops the program and checks that it exits cleanly, having logged no failure.
  void StopProgram() {
    EXPECT_TRUE(program_.Stop(10000));
    const std::string log = program_.Log();
    EXPECT_EQ(log.find("worker caught"), std::string::npos) << log;
    EXPECT_EQ(log.find("accept failed"), std::string::npos) << log;
  }

  std::string iso_;
  std::string raw_;
};

TEST_F(ProgramLoadTest, TwoHundredPlayersBesideASilentAndAStalledClient) {
  ASSERT_NO_FATAL_FAILURE(StartForPlayers({"--run-max", std::to_string(kRunMax)}));
  const long startKiB = program_.MemoryKiB("VmRSS");
  load::WireConnection silent, stalled;
  std::string error;
  ASSERT_TRUE(silent.Connect(program_.Port()));
  ASSERT_TRUE(stalled.Connect(program_.Port()));
  ASSERT_TRUE(load::LogInAndChoose(stalled, "late", "x", 0, 10000, error)) << error;
  ASSERT_TRUE(stalled.Send("\x04\x03"));  // a request whose LSN has not come yet

  const load::LoadOutcome outcome = Play(Plans(kPlayers));
  double slowest = 0, longestWait = 0;
  for (int i = 0; i < kPlayers; ++i) {
    const load::PlayResult& result = outcome.results[i];
    EXPECT_TRUE(result.ok) << "player " << i << ": " << result.error;
    EXPECT_GE(result.sectors, kRangeSectors) << "player " << i;
    slowest = std::max(slowest, result.seconds);
    longestWait = std::max(longestWait, result.longestWaitSeconds);
  }
  // The plugin gives up a read after 10 s without a byte: no reply may take that long.
  EXPECT_LT(longestWait, 10.0);
  EXPECT_LT(slowest, 40.0);

  // The stalled session waited all along and carries on where its message does.
  ASSERT_TRUE(stalled.Send("77"));
  load::WireMessage reply;
  std::string sectors;
  ASSERT_TRUE(stalled.Read(reply, 10000, error)) << error;
  ASSERT_EQ(reply.kind, 0x05) << reply.body;
  ASSERT_TRUE(load::InflateRun(reply.body, sectors));
  EXPECT_EQ(sectors.size(), 16u * 2048);
  EXPECT_TRUE(Matches(0, 77, reinterpret_cast<const uint8_t*>(sectors.data()), sectors.size()));

  const long peakKiB = program_.MemoryKiB("VmHWM");
  EXPECT_GT(peakKiB, 0);
  EXPECT_LT(peakKiB, PeakMemoryBoundKiB(kPlayers + 2)) << "at start: " << startKiB << " KiB";
  StopProgram();
}

TEST_F(ProgramLoadTest, MemoryGoesBackOnceEveryClientHasLeft) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer's allocator keeps what it frees in its own way";
#endif
  // Runs of up to 1024 sectors, as served by default: glibc keeps blocks of that size in its
  // arenas once they are freed rather than unmap them.
  ASSERT_NO_FATAL_FAILURE(StartForPlayers({}));
  const long startKiB = program_.MemoryKiB("VmRSS");
  const load::LoadOutcome outcome = Play(Plans(kPlayers));
  for (const load::PlayResult& result : outcome.results) EXPECT_TRUE(result.ok) << result.error;
  AwaitDisconnections(kPlayers);
  // Far below the peak of some hundreds of MiB, a little above the start. The last session
  // object may outlive its log line by a moment.
  const long bound = startKiB + 32 * 1024;
  for (int i = 0; i < 40 && program_.MemoryKiB("VmRSS") >= bound; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_LT(program_.MemoryKiB("VmRSS"), bound) << "peak " << program_.MemoryKiB("VmHWM") << " KiB";
  StopProgram();
}

TEST_F(ProgramLoadTest, OutOfDescriptorsItRefusesWithATextInsteadOfSpinning) {
  // Silent connections from one address fill the descriptors, not that address's share.
  ASSERT_NO_FATAL_FAILURE(StartForPlayers({"--max-logging-in-per-address", "0"}));
  // Its connection cap follows the limit it started with; lowered now, accepting runs out.
  const rlimit low{48, 48};
  ASSERT_EQ(prlimit(program_.Pid(), RLIMIT_NOFILE, &low, nullptr), 0);
  std::vector<std::unique_ptr<TestClient>> held = Clients(program_.Port(), 60);
  const Reply refusal = held.back()->Next();
  EXPECT_EQ(refusal.bytes, "The server is full, please try again later");
  EXPECT_TRUE(held.back()->ClosedWithin(2000));
  const std::string log = program_.Log();
  EXPECT_NE(log.find("refused a connection from 127.0.0.1 (server full"), std::string::npos) << log;

  held.erase(held.begin(), held.begin() + 10);
  AwaitDisconnections(10);
  TestClient late(program_.Port());
  EXPECT_TRUE(late.LogIn()) << "a place given back is taken again";
  held.clear();
  StopProgram();
}

}  // namespace
}  // namespace korvane::server::test
