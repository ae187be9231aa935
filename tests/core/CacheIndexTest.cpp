// The cache index: earliest entry wins, both fields must match, and it holds millions of
// entries in bounded memory.
#include <gtest/gtest.h>

#include "core/cache/CacheIndex.h"

namespace korvane {
namespace {

TEST(CacheIndex, EarliestEntryWinsAndBothFieldsMustMatch) {
  CacheIndex index;
  EXPECT_EQ(index.Find(0, 3), CacheIndex::kNone);
  EXPECT_EQ(index.Add({3, 11, 0}), 1u);
  EXPECT_EQ(index.Add({3, 10, 2048}), 2u);
  EXPECT_EQ(index.Add({3, 11, 4096}), 3u);
  EXPECT_EQ(index.Add({0, 10, 6144}), 4u);
  EXPECT_EQ(index.Find(10, 3), 2u);
  // Entry 3 follows the last hit and has the key, but entry 1 came first.
  EXPECT_EQ(index.Find(11, 3), 1u);
  EXPECT_EQ(index.Find(10, 0), 4u);
  EXPECT_EQ(index.Find(10, 1), CacheIndex::kNone);
  EXPECT_EQ(index.Find(12, 3), CacheIndex::kNone);
  EXPECT_EQ(index.At(3).offset, 4096);
  EXPECT_LE(index.MemoryBytes(), size_t{4096});  // a small index starts small
}

TEST(CacheIndex, LsnZeroAndEntriesAfterItAreFound) {
  CacheIndex index;
  index.Add({3, 0, 0});
  index.Add({3, 1, 2048});
  index.Add({3, 4294967295u, 4096});
  EXPECT_EQ(index.Find(0, 3), 1u);
  EXPECT_EQ(index.Find(1, 3), 2u);
  EXPECT_EQ(index.Find(4294967295u, 3), 3u);
}

TEST(CacheIndex, ClearForgetsEverything) {
  CacheIndex index;
  for (uint32_t i = 0; i < 5000; ++i) index.Add({3, i, i * 2048});
  index.Clear();
  EXPECT_EQ(index.Count(), 0u);
  EXPECT_EQ(index.Find(7, 3), CacheIndex::kNone);
  index.Add({3, 7, 99});
  EXPECT_EQ(index.Find(7, 3), 1u);
}

TEST(CacheIndex, HoldsADvdOfEntriesInAtMostThirtyTwoBytesEach) {
  constexpr uint32_t kEntries = 4200000;
  CacheIndex index;
  for (uint32_t i = 0; i < kEntries; ++i) {
    index.Add({3, i, int64_t{i} * 2048});
  }
  for (uint32_t i = 0; i < 1000; ++i) index.Add({3, i * 7, 1});  // duplicates change nothing
  EXPECT_EQ(index.Count(), kEntries + 1000u);
  for (uint32_t lsn : {0u, 1u, 2097151u, 4199999u}) {
    size_t n = index.Find(lsn, 3);
    ASSERT_EQ(n, lsn + 1u);
    EXPECT_EQ(index.At(n).offset, int64_t{lsn} * 2048);
  }
  EXPECT_EQ(index.Find(4200000, 3), CacheIndex::kNone);
  EXPECT_LE(index.MemoryBytes(), size_t{32} * index.Count());
}

}  // namespace
}  // namespace korvane
