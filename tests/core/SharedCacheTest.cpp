// One disc's cache files shared by two programs at once, each with an index of its own
// (here two disc sessions of one process, which share nothing but the files), and runs the
// files cannot take at all.
#include "CacheTestFixture.h"
#include "core/session/DiscSession.h"
#include "core/cache/MapFile.h"

namespace korvane {
namespace {

using test::PatternSector;

class SharedCacheTest : public test::CacheTest {
 protected:
  SharedCacheTest() {
    for (DiscSession* session : {&a_, &b_}) {
      session->Describe({"Games", "s.iso", 0, ""});
      session->OpenRemote();
    }
  }

  // Stores sectors first..first+count-1 of the pattern disc as one run through session.
  static size_t StoreRun(DiscSession& session, uint32_t first, uint32_t count) {
    std::vector<uint8_t> run;
    for (uint32_t lsn = first; lsn < first + count; ++lsn) {
      auto sector = PatternSector(lsn, 2048);
      run.insert(run.end(), sector.begin(), sector.end());
    }
    return session.RemoteStore().Append(first, kModeData2048, run.data(), run.size(), 2048);
  }

  // Reads lsn from session's cache alone: served with the pattern disc's bytes, or not.
  static ReadResult ReadCached(DiscSession& session, uint32_t lsn) {
    SectorBytes into;
    ReadResult result = session.Cached().Read(lsn, kModeData2048, into);
    if (result == ReadResult::kServed) {
      EXPECT_EQ(std::vector<uint8_t>(into.Data(), into.Data() + 2048), PatternSector(lsn, 2048))
          << "sector " << lsn;
    }
    return result;
  }

  test::RecordedErrors errors_;
  DiscSession a_{plugin_->Tracer(), errors_};
  DiscSession b_{plugin_->Tracer(), errors_};
};

TEST_F(SharedCacheTest, TwoProgramsAppendingToOneCacheServeOnlyTheirSectorsBytes) {
  ASSERT_EQ(StoreRun(a_, 0, 10), 10u);
  // b's index knew nothing of a's run: its append takes it in first, stores only 10..14,
  // at the .Block's real end, and a finds those before it counts them missing.
  ASSERT_EQ(StoreRun(b_, 5, 10), 10u);
  for (uint32_t lsn = 0; lsn < 15; ++lsn) {
    EXPECT_EQ(ReadCached(a_, lsn), ReadResult::kServed);
    EXPECT_EQ(ReadCached(b_, lsn), ReadResult::kServed);
  }
  EXPECT_EQ(ReadCached(a_, 15), ReadResult::kMissing);
  ASSERT_EQ(StoreRun(a_, 12, 8), 8u);  // a's turn again, after b's lines
  EXPECT_EQ(ReadCached(b_, 19), ReadResult::kServed);
  EXPECT_EQ(a_.Cache().Index().Count(), 20u);

  // What any later program loads is exact: one line per sector, each with its own bytes.
  CacheIndex loaded;
  MapLoadResult result = LoadMapFile("Games/s.iso.map", 20 * 2048, loaded);
  EXPECT_EQ(result.entries, 20u);
  EXPECT_EQ(result.stale, 0u);
  const std::string block = ReadText("Games/s.iso.Block");
  ASSERT_EQ(block.size(), 20u * 2048);
  for (uint32_t lsn = 0; lsn < 20; ++lsn) {
    const CacheEntry& entry = loaded.At(loaded.Find(lsn, kModeData2048));
    auto expected = PatternSector(lsn, 2048);
    EXPECT_EQ(block.substr(static_cast<size_t>(entry.offset), 2048),
              std::string(expected.begin(), expected.end()))
        << "sector " << lsn;
  }
}

TEST_F(SharedCacheTest, RunsTheFilesCannotTakeAreServedFromMemoryTheLastTwo) {
  WriteText("Games", "a file where the folder should be");
  trace_.Clear();
  auto store = [&](uint32_t first) {
    std::vector<uint8_t> run;
    for (uint32_t lsn = first; lsn < first + 4; ++lsn) {
      auto sector = PatternSector(lsn, 2048);
      run.insert(run.end(), sector.begin(), sector.end());
    }
    SectorRun sectors{first, kModeData2048, 2048, run.data(), run.size()};
    a_.RemoteStore().Store(sectors);
  };
  store(100);
  store(200);
  for (uint32_t lsn : {100u, 103u, 200u, 203u}) {
    EXPECT_EQ(ReadCached(a_, lsn), ReadResult::kServed);
  }
  store(300);  // the oldest run held gives way
  EXPECT_EQ(ReadCached(a_, 100), ReadResult::kMissing);
  EXPECT_EQ(ReadCached(a_, 302), ReadResult::kServed);
  // Said once, though three stores failed.
  EXPECT_EQ(trace_.Text(),
            "KorvaneCDVD OutPut: Cannot create folder Games: sectors not cached\r\n");
}

}  // namespace
}  // namespace korvane
