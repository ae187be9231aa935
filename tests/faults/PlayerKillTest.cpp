// The player dies while it appends to the block cache, and is started again. A real
// player process (korvane_fault_player) is killed without warning at varied points of a
// play; after each kill a fresh plugin loads the index, its next append cuts a torn last
// line off, and every sector the index names must be the server's. A deterministic case
// cuts the files as a kill at the worst moments would, and resumes; another cuts the .Block
// short under a whole index.
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "FaultFixture.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::ReadWholeFile;

class PlayerKillTest : public test::FaultTest {
 protected:
  std::string MapPath() const { return (fs::path(GamesFolder()) / "b.bin.map").string(); }
  std::string BlockPath() const { return (fs::path(GamesFolder()) / "b.bin.Block").string(); }
  static void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }

  // A fresh plugin resumes: it loads the index, and its next append (of the first sector
  // missing in the player's order over modes) goes after the last whole line, a torn one
  // cut off. Returns false when nothing is missing any more.
  bool ResumeAndAppend(int port, size_t expectedEntries,
                       const std::vector<int32_t>& modes = {3, 0, 1}) {
    RestartPlugin();
    ConnectLink(port, 1, "b.bin");
    OpenRemote();
    EXPECT_EQ(plugin_->Cache().Index().Count(), expectedEntries);
    for (int32_t mode : modes) {
      for (uint32_t lsn = 0; lsn < test::kRawSectors; ++lsn) {
        if (plugin_->Cache().LookupCachedSector(lsn, mode) != CacheIndex::kNone) continue;
        std::string before = ReadWholeFile(MapPath());
        EXPECT_EQ(plugin_->ReadTrack(lsn, mode), 0) << trace_.Text().substr(0, 2000);
        EXPECT_EQ(Buffer(SectorBytesForMode(mode)), Expected("b.bin", lsn, mode));
        std::string after = ReadWholeFile(MapPath());
        // Whatever follows the last CR LF was never an entry: the new lines follow the
        // whole ones directly.
        size_t whole = before.rfind("\r\n");
        whole = whole == std::string::npos ? 0 : whole + 2;
        EXPECT_EQ(after.substr(0, whole), before.substr(0, whole)) << "the index was rewritten";
        EXPECT_GT(after.size(), whole) << "the index was not appended to";
        EXPECT_EQ(after.substr(after.size() - 2), "\r\n");
        // Everything indexed in memory is indexed in the file too.
        EXPECT_EQ(CheckCache("b.bin").entries, plugin_->Cache().Index().Count());
        return true;
      }
    }
    return false;
  }

  // Starts a player on port and kills it once the .Block has grown by growth bytes and
  // pauseMs more have passed; false when it played everything before that.
  bool PlayUntilGrown(int port, int64_t growth, int pauseMs) {
    std::error_code error;
    auto size = [&] { return static_cast<int64_t>(fs::file_size(BlockPath(), error)); };
    int64_t start = size();
    if (error) start = 0;
    test::ChildProcess player;
    EXPECT_TRUE(player.Start(test::ChildProcess::ProgramBesideThisOne("korvane_fault_player"),
                             {folder_.Path().string(), std::to_string(port), "1", "b.bin",
                              std::to_string(test::kRawSectors)},
                             folder_.PathOf("player.log")));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (!player.Wait(1, status)) {
      int64_t now = size();
      if (!error && now >= start + growth) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        player.Kill();
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the player makes no progress";
        return false;
      }
    }
    return false;
  }
};

// The player is a process of its own, killed as a crash would end it: SIGKILL natively,
// TerminateProcess on Windows.
TEST_F(PlayerKillTest, KilledAtVariedPointsOfItsAppendsThenRestarted) {
  for (bool single : {false, true}) {
    SCOPED_TRACE(single ? "single-sector replies" : "runs");
    fs::remove_all(GamesFolder());  // each kind of reply starts from an empty cache
    int port = StartServer([&](server::ServerConfig& c) {
      c.single = single;
      c.runMax = 32;
    });
    std::mt19937 random(single ? 11 : 7);
    int kills = 0;
    for (int round = 0; round < 5; ++round) {
      // Killed once the cache has grown by a varied amount, after a varied pause.
      int64_t growth = 1 + static_cast<int64_t>(random() % 250000);
      if (!PlayUntilGrown(port, growth, static_cast<int>(random() % 15))) break;
      ++kills;
      SCOPED_TRACE("kill " + std::to_string(kills));
      test::CacheReport report = CheckCache("b.bin");
      if (!ResumeAndAppend(port, report.entries)) break;
      CheckCache("b.bin");
      RestartPlugin();  // its link goes before the next player comes
    }
    EXPECT_GT(kills, 0) << ReadWholeFile(folder_.PathOf("player.log"));
    server_->Stop();
  }
}

TEST_F(PlayerKillTest, TornIndexLineAndCutSectorAreRepairedOnResume) {
  int port = StartServer([](server::ServerConfig& c) { c.runMax = 16; });
  ConnectLink(port, 1, "b.bin");
  OpenRemote();
  for (uint32_t lsn = 0; lsn < 40; ++lsn) ASSERT_EQ(plugin_->ReadTrack(lsn, kModeRaw2352), 0);
  const std::string map = ReadWholeFile(MapPath());
  const std::string block = ReadWholeFile(BlockPath());
  const size_t entries = plugin_->Cache().Index().Count();
  const CacheEntry last = plugin_->Cache().Index().At(entries);
  const size_t lastLine = map.rfind("\r\n", map.size() - 3) + 2;
  const size_t lastOffset = static_cast<size_t>(last.offset);

  struct Cut {
    const char* what;
    size_t mapSize;
    size_t blockSize;  // beyond the file: bytes of a sector never indexed are added
    bool lastLineLost;
  };
  const Cut cuts[] = {
      {"index cut one digit into the last line", lastLine + 1, lastOffset + 100, true},
      {"index cut after the LSN, sector cut in half",
       lastLine + std::to_string(last.lsn).size() + 1, lastOffset + 1176, true},
      {"index cut before the offset's last digit, sector one byte short", map.size() - 3,
       lastOffset + 2351, true},
      {"index cut between CR and LF", map.size() - 1, block.size(), true},
      {"a sector written in half, its line never", map.size(), block.size() + 1000, false},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.what);
    Write(MapPath(), map.substr(0, cut.mapSize));
    Write(BlockPath(), cut.blockSize <= block.size() ? block.substr(0, cut.blockSize)
                                                     : block + std::string(1000, '\x5A'));
    test::CacheReport torn = CheckCache("b.bin");
    EXPECT_EQ(torn.tornLastLine, cut.lastLineLost);
    ASSERT_TRUE(ResumeAndAppend(port, cut.lastLineLost ? entries - 1 : entries, {kModeRaw2352}));
    if (cut.lastLineLost) {
      EXPECT_NE(plugin_->Cache().LookupCachedSector(last.lsn, kModeRaw2352), CacheIndex::kNone);
    }
    test::CacheReport resumed = CheckCache("b.bin");
    EXPECT_FALSE(resumed.tornLastLine);
    EXPECT_EQ(resumed.skipped, 0u);
    Write(MapPath(), map);
    Write(BlockPath(), block);
  }
}

TEST_F(PlayerKillTest, ABlockCutShortUnderAWholeIndexIsFetchedOnceAndNeverServedWrong) {
  const int port = StartServer([](server::ServerConfig& c) { c.runMax = 16; });
  ConnectLink(port, 1, "b.bin");
  OpenRemote();
  PlayWithoutPrefetch("b.bin", 0, 64, kModeRaw2352);
  const std::string block = ReadWholeFile(BlockPath());
  const size_t cut = block.size() / 3 + 1000;  // in the middle of a sector
  Write(BlockPath(), block.substr(0, cut));
  // Two openings, each reading every sector twice: what was lost is fetched again once, in
  // the first, and every sector is the server's, then and ever after.
  std::vector<uintmax_t> sizes;
  for (int opening = 0; opening < 2; ++opening) {
    RestartPlugin();
    ConnectLink(port, 1, "b.bin");
    OpenRemote();
    for (int pass = 0; pass < 2; ++pass) {
      PlayWithoutPrefetch("b.bin", 0, 64, kModeRaw2352);
      sizes.push_back(fs::file_size(BlockPath()));
    }
  }
  EXPECT_GT(sizes[0], cut);
  EXPECT_LE(sizes[0] - cut, block.size()) << "refetched more than was lost";
  EXPECT_EQ(sizes, std::vector<uintmax_t>(4, sizes[0])) << "fetched again after the first pass";
}

}  // namespace
}  // namespace korvane
