// The .map index format: what the loader accepts, skips and drops, what the writer writes,
// and that every file this project writes reads back the same through a reader that takes
// the format to the letter (fields ended by "/" or CR, one character dropped after field 3).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "core/cache/MapFile.h"
#include "core/base/ReadMode.h"

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

TEST(MapFile, ReadsTheSameLinesWhereverItsBlocksAreCut) {
  const std::string text =
      "16/3/0\r\n-1/0/4096\r\n\r\n\n1/3\r\nx/3/0\n7/3/99999999999999999999\r"
      "18/2/9223372036854775807\r\n4294967295/2147483647/5\n\r123456789012/3/0\r\n"
      "-2147483648/-2147483648/0\r\n1/3/0/0\r\n--1/3/0\r\n1//0\r\n19/2/20";
  size_t skipped = 0;
  bool torn = false;
  const std::vector<CacheEntry> byByte = Parse(text, &skipped, &torn);
  ASSERT_EQ(byByte.size(), 5u);
  ASSERT_EQ(skipped, 7u);
  ASSERT_TRUE(torn);
  // Three blocks cut at every pair of places: inside a number, between a CR and its LF,
  // inside a malformed line; empty, or one byte long.
  for (size_t a = 0; a <= text.size(); ++a) {
    for (size_t b = a; b <= text.size(); ++b) {
      MapParser parser;
      std::vector<CacheEntry> entries;
      size_t bad = 0;
      for (auto [from, to] :
           {std::pair{size_t{0}, a}, std::pair{a, b}, std::pair{b, text.size()}}) {
        bad += parser.Feed(text.data() + from, to - from,
                           [&](const CacheEntry& entry) { entries.push_back(entry); });
      }
      ASSERT_TRUE(Same(entries, byByte)) << "cut at " << a << " and " << b;
      ASSERT_EQ(bad, skipped) << "cut at " << a << " and " << b;
      ASSERT_EQ(parser.InLine(), torn) << "cut at " << a << " and " << b;
    }
  }
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

// The length up to the last line end of text, as the loader and the append see it.
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
                           "17/3/2048\r", "17/3/40/", "-", "\r"}) {
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

// A file of several read blocks, the first ending between a CR and its LF and the second
// inside a number, with malformed lines, a repeated key and a .Block written anew midway.
TEST(MapFile, LoadsAFileOfManyReadBlocksAsItsLinesOneByOne) {
  constexpr uint32_t kFirstRun = 70000, kRestart = 40000, kSecondRun = 60000;
  std::string text;
  std::vector<CacheEntry> expected;  // the lines whose bytes are there, in order
  size_t malformed = 0, stale = 0;
  size_t boundary = 0;  // read blocks whose end has been placed
  auto line = [&](uint32_t lsn, int64_t offset, bool kept) {
    std::string next;
    AppendMapLine({kModeData2048, lsn, offset}, next);
    // Blank lines put the end of the first read block just after this line's CR, the end
    // of the second just after the first digit of its offset.
    size_t at = (boundary + 1) * kMapReadBlockBytes;
    size_t cut = boundary == 0 ? next.size() - 1 : next.rfind('/') + 2;
    if (boundary < 2 && text.size() + next.size() + 64 > at) {
      text.append(at - cut - text.size(), '\n');
      ++boundary;
    }
    text += next;
    if (kept) {
      expected.push_back({kModeData2048, lsn, offset});
    } else {
      ++stale;
    }
  };
  for (uint32_t i = 0; i < kFirstRun; ++i) {
    if (i % 997 == 0) {
      text += "bad/line/0\r\n";
      ++malformed;
    }
    // Lines from the restart on have their places written anew by the second run.
    line(i % 1000 == 999 ? 7 : i, int64_t{i} * 2048, i < kRestart);
  }
  for (uint32_t j = 0; j < kSecondRun; ++j) {
    line(100000 + j, int64_t{kRestart + j} * 2048, j + 1 < kSecondRun);
  }
  text += "5/3/20";  // torn
  ASSERT_EQ(boundary, 2u);
  ASSERT_EQ(text.substr(kMapReadBlockBytes - 1, 2), "\r\n");
  ASSERT_EQ(Parse(text).size(), expected.size() + stale);

  test::ScratchFolder folder;
  std::string path = folder.Write("big.map", text);
  CacheIndex index;
  // The last sector of the second run is a byte short.
  MapLoadResult result = LoadMapFile(path, int64_t{kRestart + kSecondRun} * 2048 - 1, index);
  EXPECT_EQ(result.entries, expected.size());
  EXPECT_EQ(result.skipped, malformed);
  EXPECT_EQ(result.stale, stale);
  EXPECT_TRUE(result.tornLastLine);
  ASSERT_EQ(index.Count(), expected.size());
  std::map<std::pair<uint32_t, int32_t>, size_t> first;
  for (size_t n = 1; n <= index.Count(); ++n) {
    const CacheEntry& e = index.At(n);
    const CacheEntry& want = expected[n - 1];
    ASSERT_TRUE(e.lsn == want.lsn && e.mode == want.mode && e.offset == want.offset) << n;
    first.emplace(std::pair{e.lsn, e.mode}, n);
  }
  for (const auto& [key, n] : first) ASSERT_EQ(index.Find(key.first, key.second), n);
  EXPECT_EQ(index.Find(7, kModeData2048), 8u);  // the earliest of the repeated key
  EXPECT_EQ(index.Find(kRestart, kModeData2048), CacheIndex::kNone);
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
  // An offset so near the largest that its sector's end cannot be counted is past any file.
  EXPECT_EQ(load("5/3/9223372036854775000\r\n", INT64_MAX), "/1");
}

}  // namespace
}  // namespace korvane
