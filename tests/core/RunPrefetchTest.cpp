// The prefetch's rules, over a remote disc and a cache that only record and answer: when
// the request ahead goes out and for which sector, what a read waits for, and what is
// stored. The end-to-end tests see their effect on a real link; these pin the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/link/RunPrefetch.h"
#include "core/base/ReadMode.h"

namespace korvane {
namespace {

constexpr int32_t kMode = kModeData2048;

// Answers every request with a run of runLength sectors; a request sent ahead arrives when
// the test says so, or when a read waits for it.
class RecordedRemote final : public AheadRunSource {
 public:
  bool FetchRun(uint32_t lsn, int32_t mode, SectorRun& run, RunSink&) override {
    fetched.push_back(lsn);
    return Answer(lsn, mode, run);
  }
  bool RequestAhead(uint32_t lsn, int32_t mode) override {
    if (out) return false;
    out = true;
    outLsn = lsn;
    outMode = mode;
    requested.push_back(lsn);
    return true;
  }
  Ahead TakeAhead(Wait wait, SectorRun& run) override {
    if (!out) return Ahead::kNone;
    waits.push_back(wait);
    if (wait == Wait::kNo && !arrived) return Ahead::kPending;
    out = arrived = false;
    if (failNext) return Ahead::kFailed;
    Answer(outLsn, outMode, run);
    return Ahead::kArrived;
  }

  uint32_t runLength = 16;
  bool out = false, arrived = false, failNext = false;
  uint32_t outLsn = 0;
  int32_t outMode = 0;
  std::vector<uint32_t> fetched, requested;
  std::vector<Wait> waits;

 private:
  bool Answer(uint32_t lsn, int32_t mode, SectorRun& run) {
    uint64_t count = std::min<uint64_t>(runLength, uint64_t{UINT32_MAX} - lsn + 1);
    bytes_.assign(count * 2048, 0);
    run = SectorRun{lsn, mode, 2048, bytes_.data(), bytes_.size()};
    return true;
  }
  std::vector<uint8_t> bytes_;
};

// The cache above, as the prefetch sees it: what it holds, and the runs handed up to it.
class RecordedStore final : public RunSink {
 public:
  bool Holds(uint32_t lsn, int32_t mode) override { return held.count({lsn, mode}) > 0; }
  void Fill(const SectorRun& run) override { Store(run); }
  void Store(const SectorRun& run) {
    stored.push_back(run.lsn);
    for (size_t at = 0; at < run.length; at += run.pieceSize) {
      held.insert({static_cast<uint32_t>(run.lsn + at / run.pieceSize), run.mode});
    }
  }
  const std::string& Files() override { return name; }

  std::set<std::pair<uint32_t, int32_t>> held;
  std::vector<uint32_t> stored;
  std::string name = "Games\\a.iso.Block";
};

class RunPrefetchTest : public ::testing::Test {
 protected:
  // One read as the cache makes it: told first, then fetched and stored on a miss.
  void Read(uint32_t lsn, int32_t mode = kMode) {
    ahead_.Reading(lsn, mode, store_);
    if (store_.Holds(lsn, mode)) return;
    SectorRun run;
    ASSERT_TRUE(ahead_.FetchRun(lsn, mode, run, store_));
    store_.Store(run);
  }
  void ReadRange(uint32_t first, uint32_t end) {
    for (uint32_t lsn = first; lsn < end; ++lsn) Read(lsn);
  }

  RecordedRemote remote_;
  RecordedStore store_;
  RunPrefetch ahead_{remote_};
};

TEST_F(RunPrefetchTest, SequentialReadsKeepOneRequestOutAndWaitOnlyWhenTheyCatchUp) {
  Read(0);  // a first read is no sequence: its run is fetched, nothing more
  EXPECT_EQ(remote_.fetched, std::vector<uint32_t>{0});
  EXPECT_TRUE(remote_.requested.empty());
  Read(1);  // within the margin of the frontier at 16
  EXPECT_EQ(remote_.requested, std::vector<uint32_t>{16});
  ReadRange(2, 16);  // still on its way: nothing waits, nothing more goes out
  EXPECT_EQ(remote_.requested.size(), 1u);
  EXPECT_EQ(std::count(remote_.waits.begin(), remote_.waits.end(), AheadRunSource::Wait::kForRead), 0);
  Read(16);  // caught up: the read waits for the run, and the next request goes out
  EXPECT_EQ(remote_.waits.back(), AheadRunSource::Wait::kForRead);
  EXPECT_EQ(store_.stored, (std::vector<uint32_t>{0, 16}));
  EXPECT_EQ(remote_.requested, (std::vector<uint32_t>{16, 32}));
  remote_.arrived = true;
  Read(17);  // an arrived run is taken in without waiting
  EXPECT_EQ(store_.stored.back(), 32u);
  EXPECT_EQ(remote_.fetched, std::vector<uint32_t>{0});
  EXPECT_EQ(ahead_.Edge().lsn, 48u);
}

TEST_F(RunPrefetchTest, ASeekTakesInTheRunOutThenFetchesItsOwn) {
  ReadRange(0, 3);
  ASSERT_TRUE(remote_.out);
  Read(500);
  EXPECT_EQ(store_.stored, (std::vector<uint32_t>{0, 16, 500}));
  EXPECT_EQ(remote_.fetched, (std::vector<uint32_t>{0, 500}));
  EXPECT_FALSE(remote_.out);  // a seek is no sequence: nothing goes out after it
  Read(501);
  EXPECT_EQ(remote_.requested.back(), 516u);
  // Reads in another mode, of sectors stored before: no request is ever sent ahead in a
  // mode other than the frontier's.
  store_.held.insert({{502, kModeRaw2352}, {503, kModeRaw2352}});
  remote_.arrived = true;
  Read(502, kModeRaw2352);
  Read(503, kModeRaw2352);
  EXPECT_EQ(remote_.requested.size(), 2u);
}

TEST_F(RunPrefetchTest, TheFrontierStepsOverStoredSectorsOnlyAsTheReadsComeNear) {
  for (uint32_t lsn = 16; lsn < 200; ++lsn) store_.held.insert({lsn, kMode});
  ReadRange(0, 2);
  // 64 stored sectors stepped over by the read of 1; none was asked for.
  EXPECT_TRUE(remote_.requested.empty());
  EXPECT_EQ(ahead_.Edge().lsn, 80u);
  ReadRange(2, 16);  // the frontier is still past the margin
  EXPECT_EQ(ahead_.Edge().lsn, 80u);
  Read(16);  // just within it
  EXPECT_EQ(ahead_.Edge().lsn, 144u);
  ReadRange(17, 140);
  EXPECT_EQ(remote_.requested, std::vector<uint32_t>{200});
  EXPECT_EQ(remote_.fetched, std::vector<uint32_t>{0});
}

TEST_F(RunPrefetchTest, ARunForAnotherDiscsFilesOrAFailureLeavesTheFrontierForgotten) {
  ReadRange(0, 2);
  store_.name = "Games\\b.iso.Block";  // another disc is named while the request is out
  Read(2);
  Read(16);
  EXPECT_EQ(store_.stored, (std::vector<uint32_t>{0, 16}));  // b's own fetch; a's run dropped
  EXPECT_EQ(remote_.fetched, (std::vector<uint32_t>{0, 16}));

  ReadRange(17, 20);
  ASSERT_TRUE(remote_.out);
  remote_.failNext = true;
  remote_.arrived = true;
  Read(20);  // the request ahead failed: nothing more is asked until a fetch
  ReadRange(21, 32);
  EXPECT_EQ(remote_.requested.size(), 2u);
  EXPECT_FALSE(ahead_.Edge().known);
}

TEST_F(RunPrefetchTest, AReaderOfShortSpansReadsOnOnlyAfterALongerSequence) {
  ahead_.SetReadingOnAfter(3);
  for (uint32_t first : {0u, 100u, 200u}) ReadRange(first, first + 3);  // three 3-sector reads
  EXPECT_TRUE(remote_.requested.empty());
  EXPECT_EQ(remote_.fetched, (std::vector<uint32_t>{0, 100, 200}));
  Read(203);  // the fourth in a row
  EXPECT_EQ(remote_.requested, std::vector<uint32_t>{216});
}

TEST_F(RunPrefetchTest, NothingIsAskedPastTheLastLsnNorAfterTheHostStops) {
  Read(UINT32_MAX - 10);
  Read(UINT32_MAX - 9);  // the run reached the last LSN: there is no frontier past it
  EXPECT_FALSE(ahead_.Edge().known);
  EXPECT_TRUE(remote_.requested.empty());

  ReadRange(0, 2);
  ASSERT_TRUE(remote_.out);
  ahead_.Settle(store_);  // the run out is taken in and stored, and nothing more goes out
  EXPECT_FALSE(remote_.out);
  EXPECT_EQ(remote_.waits.back(), AheadRunSource::Wait::kQuietly);
  EXPECT_EQ(store_.stored.back(), 16u);
  EXPECT_EQ(remote_.requested.size(), 1u);
}

}  // namespace
}  // namespace korvane
