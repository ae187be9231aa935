// The .map index format: what the loader accepts, skips and drops, what the writer writes,
// and that every file this project writes reads back the same through a reader that takes
// the format to the letter (fields ended by "/" or CR, one character dropped after field 3).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "core/MapFile.h"

namespace korvane {
namespace {

std::vector<CacheEntry> Parse(const std::string& text, size_t* skipped = nullptr,
                              bool* torn = nullptr) {
  MapParser parser;
  std::vector<CacheEntry> entries;
  size_t bad = 0;
  for (char c : text) {
    MapParser::Step step = parser.Feed(c);
    if (step == MapParser::Step::kComplete) entries.push_back(parser.Entry());
    if (step == MapParser::Step::kBad) ++bad;
  }
  if (skipped) *skipped = bad;
  if (torn) *torn = parser.InLine();
  return entries;
}

bool Same(const std::vector<CacheEntry>& a, const std::vector<CacheEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].lsn != b[i].lsn || a[i].mode != b[i].mode || a[i].offset != b[i].offset) return false;
  }
  return true;
}

TEST(MapFile, ReadsWellFormedLinesInOrder) {
  auto entries = Parse("16/3/0\r\n17/3/2048\r\n-1/0/4096\r\n0/-5/2147483647\r\n");
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[1].lsn, 17u);
  EXPECT_EQ(entries[1].mode, 3);
  EXPECT_EQ(entries[1].offset, 2048);
  EXPECT_EQ(entries[2].lsn, 4294967295u);
  EXPECT_EQ(entries[3].mode, -5);
  EXPECT_EQ(entries[3].offset, 2147483647);
}

TEST(MapFile, AcceptsLfAloneCrAloneAndBlankLines) {
  size_t skipped = 0;
  auto entries = Parse("1/3/0\n2/3/2048\r3/3/4096\r\n\r\n\n4/3/6144\r\n", &skipped);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[3].lsn, 4u);
  EXPECT_EQ(skipped, 0u);
}

TEST(MapFile, SkipsMalformedLinesAndKeepsTheRest) {
  const char* bad[] = {"1/3\r\n",
                       "1/3/0/0\r\n",
                       "1//0\r\n",
                       "/3/0\r\n",
                       "1/3/\r\n",
                       "a/3/0\r\n",
                       "1/3/0x\r\n",
                       "1 /3/0\r\n",
                       "1/3/-2048\r\n",
                       "1/-/0\r\n",
                       "1/3/--1\r\n",
                       "1/3/1-1\r\n",
                       "4294967296/3/0\r\n",
                       "-2147483649/3/0\r\n",
                       "1/2147483648/0\r\n",
                       "1/3/99999999999999999999\r\n",
                       "1/3/9223372036854775808\r\n"};
  for (const char* line : bad) {
    size_t skipped = 0;
    auto entries = Parse(std::string("7/3/0\r\n") + line + "8/3/2048\r\n", &skipped);
    ASSERT_EQ(entries.size(), 2u) << line;
    EXPECT_EQ(entries[1].lsn, 8u) << line;
    EXPECT_EQ(skipped, 1u) << line;
  }
  // The extremes that are in range.
  auto edge = Parse("4294967295/2147483647/9223372036854775807\r\n-2147483648/-2147483648/0\r\n");
  ASSERT_EQ(edge.size(), 2u);
  EXPECT_EQ(edge[0].offset, INT64_MAX);
  EXPECT_EQ(edge[1].lsn, 2147483648u);
}

TEST(MapFile, DropsOnlyATornLastLine) {
  bool torn = false;
  auto entries = Parse("16/3/0\r\n17/3/20", nullptr, &torn);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(torn);
  entries = Parse("16/3/0\r\n17/3/2048\r", nullptr, &torn);  // the LF alone is missing
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_FALSE(torn);
}

TEST(MapFile, WritesSignedLsnAndSixtyFourBitOffsets) {
  std::string text;
  AppendMapLine({3, 16, 4096}, text);
  AppendMapLine({0, 4294967295u, 0}, text);
  AppendMapLine({-7, 2147483648u, 5000000000}, text);
  EXPECT_EQ(text, "16/3/4096\r\n-1/0/0\r\n-2147483648/-7/5000000000\r\n");
}

// The length up to the last CR LF of text, as the loader and the append see it.
uint64_t Complete(const std::string& text) {
  return CompleteLinesLength(
      [&](uint64_t at, char* dest, size_t count) {
        size_t n = at < text.size() ? std::min(count, text.size() - static_cast<size_t>(at)) : 0;
        std::copy_n(text.data() + at, n, dest);
        return n;
      },
      text.size());
}

TEST(MapFile, ATornTailIsCutSoEveryReaderReadsTheWholeLinesOnly) {
  for (std::string torn : {"", "1", "17", "17/", "17/3", "17/3/", "17/3/20", "17/3/2048",
                           "17/3/2048\r", "17/3/40/", "-", "\r", "\n"}) {
    std::string text = "16/3/0\r\n" + torn;
    EXPECT_EQ(Complete(text), 8u) << torn;
    text.resize(Complete(text));  // what the next append does first
    AppendMapLine({3, 18, 4096}, text);
    std::vector<CacheEntry> strict;
    ASSERT_TRUE(test::StrictMapRead(text, strict)) << torn;
    EXPECT_TRUE(Same(strict, Parse(text))) << torn;
    ASSERT_EQ(strict.size(), 2u) << torn;
    EXPECT_EQ(strict[1].lsn, 18u) << torn;
  }
  EXPECT_EQ(Complete("no line end at all"), 0u);
  std::string long_(10000, '7');  // a CR LF that two backward reads meet across
  long_.replace(5904, 2, "\r\n");
  EXPECT_EQ(Complete(long_), 5906u);
}

TEST(MapFile, WhatWeWriteAStrictReaderReadsTheSame) {
  std::string text;
  std::vector<CacheEntry> written;
  for (int64_t i = 0; i < 3000; ++i) {
    CacheEntry e{static_cast<int32_t>(i % 5 == 4 ? 7 : i % 4),
                 static_cast<uint32_t>(i * 2654435761u), i * 2351};
    written.push_back(e);
    AppendMapLine(e, text);
  }
  std::vector<CacheEntry> strict;
  ASSERT_TRUE(test::StrictMapRead(text, strict));
  EXPECT_TRUE(Same(strict, written));
  EXPECT_TRUE(Same(Parse(text), written));
}

TEST(MapFile, LoadsAFileAfterWhatTheIndexHolds) {
  test::ScratchFolder folder;
  std::string text = "16/3/0\r\n17/3/2048\r\nbad\r\n18/3/40";
  std::string path = folder.MakeFile("x.map", std::vector<uint8_t>(text.begin(), text.end()));
  CacheIndex index;
  index.Add({0, 99, 0});
  MapLoadResult result = LoadMapFile(path, 1 << 20, index);
  EXPECT_TRUE(result.opened);
  EXPECT_EQ(result.entries, 2u);
  EXPECT_EQ(result.skipped, 1u);
  EXPECT_TRUE(result.tornLastLine);
  EXPECT_EQ(index.Count(), 3u);
  EXPECT_EQ(index.Find(17, 3), 3u);
  EXPECT_FALSE(LoadMapFile(folder.PathOf("absent.map"), 1 << 20, index).opened);
}

TEST(MapFile, EntriesWhoseBytesAreGoneOrWrittenAgainAreNotLoaded) {
  test::ScratchFolder folder;
  auto load = [&](const std::string& text, int64_t blockSize) {
    std::string path = folder.MakeFile("d.map", std::vector<uint8_t>(text.begin(), text.end()));
    CacheIndex index;
    MapLoadResult result = LoadMapFile(path, blockSize, index);
    std::string kept;
    for (size_t n = 1; n <= index.Count(); ++n) kept += std::to_string(index.At(n).lsn) + " ";
    return kept + "/" + std::to_string(result.stale);
  };
  const std::string three = "0/3/0\r\n1/3/2048\r\n2/3/4096\r\n";
  EXPECT_EQ(load(three, 6144), "0 1 2 /0");
  EXPECT_EQ(load(three, 6143), "0 1 /1");  // the last sector is a byte short
  EXPECT_EQ(load(three, -1), "/3");        // no .Block at all
  // The .Block was cut to 3000 bytes and written on from there: the entries whose place
  // was written anew (the sector that crossed 3000 too) are gone for good; the earliest
  // entry whose bytes are there wins as ever.
  EXPECT_EQ(load(three + "2/3/3000\r\n1/3/5048\r\n1/3/7096\r\n", 9144), "0 2 1 1 /2");
  // Deleted and written anew: nothing before the restart survives.
  EXPECT_EQ(load(three + "1/3/0\r\n", 9144), "1 /3");
}

}  // namespace
}  // namespace korvane
