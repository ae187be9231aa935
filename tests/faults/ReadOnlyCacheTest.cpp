// A games folder the plugin cannot write: a regular file stands where the folder "Games"
// should be, or (natively) the folder and its cache are read-only. Sectors still reach the
// host from the server, nothing is indexed that was not written, the cache already there
// is left as it was, and the trace says why.
#include <filesystem>
#include <fstream>

#include "FaultFixture.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::ReadWholeFile;

class ReadOnlyCacheTest : public test::FaultTest {
 protected:
  // Plays count sectors from 0 of a.iso in mode 3; each must reach the host.
  void PlayAll(uint32_t count) {
    for (uint32_t lsn = 0; lsn < count; ++lsn) {
      ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), 0) << lsn << trace_.Text().substr(0, 2000);
      ASSERT_EQ(Buffer(2048), Expected("a.iso", lsn, kModeData2048)) << lsn;
    }
  }
};

TEST_F(ReadOnlyCacheTest, FileWhereTheGamesFolderShouldBe) {
  std::ofstream(folder_.PathOf("Games"), std::ios::binary) << "not a folder";
  int port = StartServer([](server::ServerConfig& c) { c.runMax = 64; });
  ConnectLink(port, 0, "a.iso");
  OpenRemote();
  PlayAll(300);
  EXPECT_EQ(plugin_->Cache().Index().Count(), 0u);  // nothing written, nothing indexed
  EXPECT_EQ(ReadWholeFile(folder_.PathOf("Games")), "not a folder");
  EXPECT_NE(
      trace_.Text().find("KorvaneCDVD OutPut: Cannot create folder Games: sectors not cached\r\n"),
      std::string::npos);
  test::CacheReport report = CheckCache("a.iso");
  EXPECT_FALSE(report.mapExists);
}

#ifndef _WIN32
// Natively only: Windows folders have no permission bits that stop a file being created.
//
// Root passes every permission check, and these tests run as root on CI. For root the
// test drops its file system identity on this thread alone (setfsuid, which also drops the
// capabilities that override permissions), so the plugin's appends, made on this thread,
// meet the permissions as any user would; the server's threads keep theirs.
class FileSystemIdentity final {
 public:
  FileSystemIdentity() {
    if (::geteuid() == 0) {
      ::setfsuid(65534);  // nobody
      dropped_ = true;
    }
  }
  ~FileSystemIdentity() {
    if (dropped_) ::setfsuid(0);
  }

 private:
  bool dropped_ = false;
};

TEST_F(ReadOnlyCacheTest, ReadOnlyGamesFolderWithACacheInIt) {
  int port = StartServer([](server::ServerConfig& c) { c.runMax = 32; });
  ConnectLink(port, 0, "a.iso");
  OpenRemote();
  PlayAll(40);
  const std::string filesBefore = CacheFiles("a.iso");
  const size_t cached = plugin_->Cache().Index().Count();
  for (const char* name : {"a.iso.Block", "a.iso.map"}) {
    fs::permissions(fs::path(GamesFolder()) / name,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }
  fs::permissions(GamesFolder(), fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
  {
    FileSystemIdentity asAnyUser;
    if (std::ofstream(fs::path(GamesFolder()) / "probe").is_open()) {
      fs::remove(fs::path(GamesFolder()) / "probe");
      fs::permissions(GamesFolder(), fs::perms::owner_all, fs::perm_options::add);
      GTEST_SKIP() << "this process may write into a read-only folder here: no case to make";
    }
    RestartPlugin();
    ConnectLink(port, 0, "a.iso");
    OpenRemote();  // the index is read
    EXPECT_EQ(plugin_->Cache().Index().Count(), cached);
    PlayAll(200);  // hits from the cache, the rest from the server
    EXPECT_EQ(plugin_->Cache().Index().Count(), cached);
  }
  fs::permissions(GamesFolder(), fs::perms::owner_all, fs::perm_options::add);
  EXPECT_EQ(CacheFiles("a.iso"), filesBefore);
  EXPECT_NE(trace_.Text().find("KorvaneCDVD OutPut: Cannot write Games\\a.iso.Block "
                               "(Permission denied): sectors not cached\r\n"),
            std::string::npos);
  EXPECT_EQ(CheckCache("a.iso").entries, cached);
}

// A full disk, natively: a limit on the size of files this process writes (RLIMIT_FSIZE,
// with SIGXFSZ ignored so that the write fails instead) stops the .Block in the middle of
// a run. Only the sectors written whole are indexed; the rest are still delivered.
TEST_F(ReadOnlyCacheTest, DiskThatFillsUpInTheMiddleOfARun) {
  int port = StartServer([](server::ServerConfig& c) { c.runMax = 64; });
  ConnectLink(port, 0, "a.iso");
  OpenRemote();
  PlayAll(20);
  rlimit before{};
  ::getrlimit(RLIMIT_FSIZE, &before);
  auto previous = ::signal(SIGXFSZ, SIG_IGN);
  rlimit full = before;
  full.rlim_cur =
      static_cast<rlim_t>(fs::file_size(fs::path(GamesFolder()) / "a.iso.Block") + 50000);
  ::setrlimit(RLIMIT_FSIZE, &full);
  PlayAll(400);
  size_t indexed = plugin_->Cache().Index().Count();
  ::setrlimit(RLIMIT_FSIZE, &before);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(fs::file_size(fs::path(GamesFolder()) / "a.iso.Block"), full.rlim_cur);
  EXPECT_NE(
      trace_.Text().find("Short write to Games\\a.iso.Block (File too large): sectors not cached"),
      std::string::npos);
  test::CacheReport report = CheckCache("a.iso");
  EXPECT_EQ(report.entries, indexed);
  EXPECT_LT(indexed, 400u);
  EXPECT_EQ(report.blockBytes, static_cast<int64_t>(full.rlim_cur));
}
#endif

// The index alone cannot be written (a folder stands in its place): sectors are kept in
// the .Block and indexed in memory, so they play until the next CDVDopen; the files on
// disk then index nothing, which is consistent, and a later play fetches them again.
TEST_F(ReadOnlyCacheTest, IndexThatCannotBeWrittenIndexesNothingOnDisk) {
  fs::create_directories(fs::path(GamesFolder()) / "a.iso.map");
  int port = StartServer([](server::ServerConfig& c) { c.runMax = 32; });
  ConnectLink(port, 0, "a.iso");
  OpenRemote();
  PlayAll(100);
  EXPECT_GT(plugin_->Cache().Index().Count(), 0u);
  EXPECT_NE(
      trace_.Text().find("Cannot write Games\\a.iso.map ("),
      std::string::npos);
  EXPECT_NE(trace_.Text().find("): sectors cached until the next CDVDopen"),
      std::string::npos);
  OpenRemote();
  EXPECT_EQ(plugin_->Cache().Index().Count(), 0u);
  PlayAll(10);
  fs::remove(fs::path(GamesFolder()) / "a.iso.map");
  EXPECT_FALSE(CheckCache("a.iso").mapExists);
}

}  // namespace
}  // namespace korvane
