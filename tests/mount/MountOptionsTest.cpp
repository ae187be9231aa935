// The mount's parts that need no mount: its command line (with the -o options of fstab lines),
// where the password comes from, and how a server's list and size answer become files.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "mount/MountOptions.h"
#include "mount/ServerCatalog.h"
#include "protocol/ServerMessages.h"

namespace korvane::mount {
namespace {

OptionsOutcome Parse(std::vector<const char*> args, MountOptions& options, std::string& error,
                     const char* environmentPassword = nullptr) {
  args.insert(args.begin(), "korvane-mount");
  return ParseMountOptions(static_cast<int>(args.size()), args.data(), environmentPassword,
                           options, error);
}

TEST(MountOptionsTest, TheServerTheMountPointAndThePasswordFromWhereverItIsGiven) {
  MountOptions options;
  std::string error;
  ASSERT_EQ(Parse({"host.lan:4000", "/mnt/discs", "--user", "ann", "--password", "pw"}, options,
                  error, "from the environment"),
            OptionsOutcome::kRun)
      << error;
  EXPECT_EQ(options.host, "host.lan");
  EXPECT_EQ(options.port, 4000);
  EXPECT_EQ(options.mountpoint, "/mnt/discs");
  EXPECT_EQ(options.password, "pw");  // the command line wins
  EXPECT_EQ(options.cacheFolder, "Games");

  options = {};
  ASSERT_EQ(Parse({"host.lan", "m", "--user", "ann"}, options, error, "env pw"), OptionsOutcome::kRun);
  EXPECT_EQ(options.port, 35000);
  EXPECT_EQ(options.password, "env pw");

  test::ScratchFolder folder;
  const std::string file = folder.Write("pw.txt", "from: a file\r\nsecond line\n");
  options = {};
  ASSERT_EQ(Parse({"h:1", "m", "--password-file", file.c_str()}, options, error, "env"),
            OptionsOutcome::kRun);
  EXPECT_EQ(options.password, "from: a file");

  // As mount.fuse3 runs it for an fstab line: the mount's own settings taken, FUSE's options
  // handed on in order, mount(8)'s words and what changes nothing here left out.
  const std::string fstab =
      "rw,_netdev,noauto,nofail,defaults,user,x-systemd.automount,"
      "allow_other,login=ann,password_file=" +
      file + ",cache=/var/cache/k,relatime,fsname=ps2,uid=1000,umask=022,dev,suid";
  options = {};
  ASSERT_EQ(Parse({"h:1", "/mnt/ps2", "-o", fstab.c_str(), "-onoexec"}, options, error, "env"),
            OptionsOutcome::kRun)
      << error;
  EXPECT_EQ(options.user, "ann");
  EXPECT_EQ(options.password, "from: a file");
  EXPECT_EQ(options.cacheFolder, "/var/cache/k");
  EXPECT_EQ(options.fuseOptions, (std::vector<std::string>{"allow_other", "fsname=ps2", "uid=1000",
                                                           "umask=022", "dev", "suid", "noexec"}));
  EXPECT_FALSE(options.offline || options.foreground);

  options = {};
  ASSERT_EQ(Parse({"--offline", "--cache", "c", "m", "--debug"}, options, error), OptionsOutcome::kRun);
  EXPECT_TRUE(options.offline && options.foreground);
  EXPECT_EQ(options.mountpoint, "m");
  options = {};
  ASSERT_EQ(Parse({"none", "m", "-o", "offline,cache=c", "-o", "debug"}, options, error),
            OptionsOutcome::kRun)
      << error;
  EXPECT_TRUE(options.offline && options.foreground);
  EXPECT_EQ(options.mountpoint, "m");
  EXPECT_EQ(options.cacheFolder, "c");
  EXPECT_EQ(Parse({"--help"}, options, error), OptionsOutcome::kHelp);
  EXPECT_NE(MountHelpText().find("--password-file"), std::string::npos);
}

TEST(MountOptionsTest, MistakesAreOneLineEach) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{"host:0", "m"}, "'host:0' is no HOST:PORT address"},
      {{"host:99999", "m"}, "'host:99999' is no HOST:PORT address"},
      {{":35000", "m"}, "':35000' is no HOST:PORT address"},
      {{"host:1"}, "a mount point is needed"},
      {{"--offline", "--cache", "c", "h:1", "m"}, "--offline takes no server address"},
      {{"h:1", "m", "--password", "a", "--password-file", "f"},
       "--password and --password-file (-o password= and password_file=) exclude each other"},
      {{"h:1", "m", "-o", "password=a,password_file=f"},
       "--password and --password-file (-o password= and password_file=) exclude each other"},
      {{"h:1", "m", "-o", "ro,user_allow_other"}, "unknown -o option 'user_allow_other'"},
      {{"h:1", "m", "-o", "login"}, "-o login needs a value: login=NAME"},
      {{"h:1", "m", "-o", "cache="}, "-o cache needs a value: cache=DIR"},
      {{"h:1", "m", "-o", "offline=yes"}, "-o offline takes no value"},
      {{"h:1", "m", "-o", "allow_other=1"}, "-o allow_other takes no value"},
      {{"h:1", "m", "-o", "uid=ann"}, "-o uid=ann: uid takes a number"},
      {{"h:1", "m", "-o", "umask=0778"}, "-o umask=0778: umask takes an octal number"},
      {{"h:1", "m", "-o", "allow_other", "-o", "allow_root"},
       "-o allow_other and allow_root exclude each other"},
      {{"h:1", "m", "--password-file", "/no/such/file"},
       "cannot read the password file /no/such/file"},
  };
  for (const auto& [args, expected] : cases) {
    MountOptions options;
    std::string error;
    EXPECT_EQ(Parse(args, options, error), OptionsOutcome::kError) << expected;
    EXPECT_EQ(error, expected);
  }
}

TEST(ServerCatalogTest, ListedDiscsBecomeFilesNamedAsThePluginNamesTheirCaches) {
  const std::vector<std::string> names = {"D:\\games\\one.iso", "two.bin", "x\\one.iso",
                                          "con.iso", "odd.img", ".."};
  const std::string sizes =
      wire::DiscSizesText({{4096, 2048}, {4704, 2352}, {2048, 2048}, {2048, 2048},
                           {100, 2340}, {2048, 2048}}) + "\n";
  std::vector<ListedDisc> discs;
  std::vector<std::string> skipped;
  std::string why;
  ASSERT_TRUE(NameListedDiscs(names, sizes, discs, skipped, why)) << why;
  ASSERT_EQ(discs.size(), 3u);
  EXPECT_EQ(discs[0].fileName, "one.iso");
  EXPECT_EQ(discs[0].discName, "one.iso");
  EXPECT_EQ(discs[0].bytes, 4096u);
  EXPECT_EQ(discs[1].sectorSize, 2352u);
  EXPECT_EQ(discs[1].index, 1);
  EXPECT_EQ(discs[2].fileName, "_con.iso");  // safe as the plugin makes it
  EXPECT_EQ(discs[2].index, 3);              // its place in the server's list
  EXPECT_EQ(skipped, (std::vector<std::string>{"x\\one.iso", "odd.img", ".."}));

  discs.clear();
  EXPECT_FALSE(NameListedDiscs(names, "Ignored 1 bytes: unknown message kind", discs, skipped, why));
  EXPECT_NE(why.find("does not tell its discs' sizes"), std::string::npos);
  EXPECT_FALSE(NameListedDiscs(names, wire::DiscSizesText({{1, 2048}}), discs, skipped, why));
  std::vector<wire::DiscSize> parsed;
  for (const char* bad : {"Disc sizes: 1/2048 x/2048", "Disc sizes: 1/4000",
                          "Disc sizes: 99999999999999999999/2048", "Disc sizes:1/2048"}) {
    EXPECT_FALSE(wire::ParseDiscSizesText(bad, parsed)) << bad;
  }
}

}  // namespace
}  // namespace korvane::mount
