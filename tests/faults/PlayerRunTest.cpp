// The player, as each kind of host, plays a disc of the real disc server through the DLL
// made for that kind, configured in the dialog as a user does: the oldest hosts (no title
// to CDVDopen, reads on the dialog's thread) with KorvaneCDVD.dll, and the later hosts (the
// title passed and removed, reads on an emulation thread) with KorvaneCDVD-titled.dll. The
// player checks the stack pointer around every export call and checks every sector.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "FaultFixture.h"

namespace korvane {
namespace {

struct Road {
  const char* dll;
  const char* disc;
  const char* mode;
  uint32_t sectors;
  std::vector<std::string> host;  // how its hosts call the plugin
};

class PlayerRunTest : public test::FaultTest {};

TEST_F(PlayerRunTest, EachDllPlaysTheServersDiscAsItsHostsCallIt) {
  const int port = StartServer();
  const std::string player = test::ChildProcess::ProgramBesideThisOne("KorvanePlayer");
  const std::string bin = player.substr(0, player.find_last_of("\\/") + 1);
  const Road roads[] = {{"KorvaneCDVD.dll", "a.iso", "3", test::kIsoSectors, {}},
                        {"KorvaneCDVD-titled.dll",
                         "b.bin",
                         "0",
                         test::kRawSectors,
                         {"--host-abi", "titled", "--reader-thread"}}};
  for (const Road& road : roads) {
    SCOPED_TRACE(road.dll);
    std::vector<std::string> args = {bin + road.dll,
                                     "--connect",
                                     "127.0.0.1:" + std::to_string(port),
                                     "--disc",
                                     road.disc,
                                     "--verify",
                                     ImagePath(road.disc),
                                     "--mode",
                                     road.mode,
                                     "--no-iso",
                                     "--no-progress"};
    args.insert(args.end(), road.host.begin(), road.host.end());
    const std::string log = std::string(road.disc) + ".log";
    test::ChildProcess play;
    ASSERT_TRUE(play.Start(player, args, log));
    int status = -1;
    ASSERT_TRUE(play.Wait(120000, status));
    const std::string n = std::to_string(road.sectors);
    EXPECT_NE(test::ReadWholeFile(log).find("summary: " + n + " reads, " + n + " ok, 0 failed, " +
                                            "0 null buffers, " + n + " verified, 0 mismatched"),
              std::string::npos)
        << test::ReadWholeFile(log);
    EXPECT_EQ(status, 0);
  }
}

}  // namespace
}  // namespace korvane
