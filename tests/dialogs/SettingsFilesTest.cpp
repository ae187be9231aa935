// The settings files' bytes: defaults, field numbering, dropped tails, the history with
// empty entries and repeats, I/O errors as the user sees them, and a failed rewrite that
// leaves the old file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "dialogs/SettingsFiles.h"
#include "platform/WholeFile.h"

namespace korvane {
namespace {

class SettingsFilesTest : public ::testing::Test {
 protected:
  std::string Folder() const { return (scratch_.Path() / "Games").string(); }
  void Write(const char* name, const std::string& bytes) {
    std::filesystem::create_directories(Folder());
    std::ofstream(Folder() + "/" + name, std::ios::binary) << bytes;
  }
  std::string Read(const char* name) {
    std::ifstream in(Folder() + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  test::ScratchFolder scratch_;
};

TEST(CommaFields, SplitAndJoin) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommaFields("127.0.0.1,35000,,,"), (V{"127.0.0.1", "35000", "", ""}));
  EXPECT_EQ(SplitCommaFields("host,35000"), V{"host"});  // no final comma: port dropped
  EXPECT_EQ(SplitCommaFields("a,,a,"), (V{"a", "", "a"}));
  EXPECT_EQ(SplitCommaFields(""), V{});
  EXPECT_EQ(SplitCommaFields("1,2,3,4,5,6,7,", 5), (V{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(SplitCommaFields("line\r\nbreak,"), V{"line\r\nbreak"});
  EXPECT_EQ(JoinCommaFields({"a", "", "p,w"}), "a,,p,w,");
}

TEST_F(SettingsFilesTest, MissingFileIsCreatedWithTheDefaultAndNothingApplied) {
  bool existed = true;
  EXPECT_FALSE(ReadSettingsFile(Folder(), existed).address);
  EXPECT_FALSE(existed);
  EXPECT_EQ(Read(kSettingsFileName), "127.0.0.1,35000,,,");
  EXPECT_EQ(Read(kSettingsFileName).size(), 18u);
  DialogSettings fields = ReadSettingsFile(Folder(), existed);
  EXPECT_TRUE(existed);
  EXPECT_EQ(fields.address, "127.0.0.1");
  EXPECT_EQ(fields.port, "35000");
  EXPECT_EQ(fields.password, "");
  EXPECT_FALSE(fields.localFile) << "the default file has four fields: the fifth is absent";
  EXPECT_TRUE(ReadServerList(Folder()).empty());
  EXPECT_FALSE(std::filesystem::exists(Folder() + "/" + kServerListFileName));
}

TEST_F(SettingsFilesTest, SaveAndLoadRoundTripAndACommaInAValueShiftsTheRest) {
  std::filesystem::create_directories(Folder());
  WriteSettingsFile(Folder(), {"10.0.0.1", "4000", "ann", "p,w", "D:\\g.iso"});
  EXPECT_EQ(Read(kSettingsFileName), "10.0.0.1,4000,ann,p,w,D:\\g.iso,");
  bool existed = false;
  DialogSettings read = ReadSettingsFile(Folder(), existed);
  EXPECT_EQ(read.password, "p");
  EXPECT_EQ(read.localFile, "w");
  WriteServerList(Folder(), {"a", "", "a"});
  EXPECT_EQ(Read(kServerListFileName), "a,,a,");
  EXPECT_EQ(ReadServerList(Folder()), (std::vector<std::string>{"a", "", "a"}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Folder()), {}), 2);  // no leftovers
}

TEST_F(SettingsFilesTest, ARewriteThatFailsLeavesTheOldFileWhole) {
  Write(kSettingsFileName, "10.0.0.1,4000,ann,pw,D:\\g.iso,");
  // A folder where the new contents would be written first.
  std::filesystem::create_directory(platform::TemporaryPathOf(Folder() + "/" + kSettingsFileName));
  try {
    WriteSettingsFile(Folder(), {"127.0.0.1", "35000", "", "", ""});
    ADD_FAILURE() << "no error";
  } catch (const IoError& e) {
    EXPECT_STREQ(e.what(), "File access denied");
  }
  EXPECT_EQ(Read(kSettingsFileName), "10.0.0.1,4000,ann,pw,D:\\g.iso,");
}

TEST_F(SettingsFilesTest, FailuresCarryTheTextTheUserSees) {
  EXPECT_STREQ(IoError(5).what(), "File access denied");
  EXPECT_STREQ(IoError(32).what(), "I/O error 32");
  Write(kSettingsFileName, "x,");
  std::filesystem::permissions(Folder() + "/" + kSettingsFileName,
                               std::filesystem::perms::owner_read,
                               std::filesystem::perm_options::replace);
  bool existed = false;
  bool rootCanWriteAnyway = false;
  try {
    ReadSettingsFile(Folder(), existed);
    rootCanWriteAnyway = true;  // the superuser ignores permission bits
  } catch (const IoError& e) {
    EXPECT_STREQ(e.what(), "File access denied");
  }
  (void)rootCanWriteAnyway;
  std::filesystem::create_directories(Folder() + "/" + kServerListFileName);  // a folder
  EXPECT_THROW(WriteServerList(Folder(), {"a"}), IoError);
  // A file where the folder should be: creating the default file fails.
  std::string blocked = (scratch_.Path() / "Blocked").string();
  std::ofstream(blocked) << "file";
  EXPECT_THROW(ReadSettingsFile(blocked, existed), IoError);
}

}  // namespace
}  // namespace korvane
