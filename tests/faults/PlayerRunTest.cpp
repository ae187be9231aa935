// The player, as each kind of host, plays a disc of the real disc server through the DLL
// made for that kind, configured in the dialog as a user does: the oldest hosts (no title
// to CDVDopen, reads on the dialog's thread) with KorvaneCDVD.dll, and the later hosts (the
// title passed and removed, reads on an emulation thread) with KorvaneCDVD-titled.dll. The
// player checks the stack pointer around every export call and checks every sector. Then a
// paced play on a reading thread goes on across a restart of the server program.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
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

class PlayerRunTest : public test::FaultTest {
 protected:
  // True once a log of a server program started by the fixture holds line, within 60 s.
  bool AwaitServerLogLine(const std::string& line) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
      for (const auto& entry : std::filesystem::directory_iterator(folder_.Path())) {
        if (entry.path().filename().string().rfind("server-", 0) != 0) continue;
        if (test::ReadWholeFile(entry.path().string()).find(line) != std::string::npos) {
          return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
};

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

// A cache whose index another tool rewrote with LF line ends is played on through the
// server, which appends to it, and then replayed whole offline: no line is lost.
TEST_F(PlayerRunTest, AnIndexWithLfLineEndsKeepsEveryLineThroughAnotherPlay) {
  // Short runs, so that the first play leaves most of the disc to the second.
  const int port = StartServer([](server::ServerConfig& config) { config.runMax = 16; });
  const std::string player = test::ChildProcess::ProgramBesideThisOne("KorvanePlayer");
  const std::string dll = player.substr(0, player.find_last_of("\\/") + 1) + "KorvaneCDVD.dll";
  auto play = [&](const std::vector<std::string>& source, uint32_t sectors) {
    std::vector<std::string> args = {dll, "--verify", ImagePath("a.iso"), "--mode", "3",
                                     "--no-iso", "--no-progress"};
    args.insert(args.end(), source.begin(), source.end());
    test::ChildProcess process;
    ASSERT_TRUE(process.Start(player, args, "play.log"));
    int status = -1;
    ASSERT_TRUE(process.Wait(120000, status));
    const std::string n = std::to_string(sectors), log = test::ReadWholeFile("play.log");
    EXPECT_NE(log.find("summary: " + n + " reads, " + n + " ok, 0 failed"), std::string::npos)
        << log;
  };
  const std::vector<std::string> remote = {"--connect", "127.0.0.1:" + std::to_string(port),
                                           "--disc", "a.iso"};
  std::vector<std::string> first = remote;
  first.insert(first.end(), {"--count", "40"});
  play(first, 40);
  const std::string map = (std::filesystem::path(GamesFolder()) / "a.iso.map").string();
  std::string edited = test::ReadWholeFile(map);
  for (size_t at; (at = edited.find("\r\n")) != std::string::npos;) edited.replace(at, 2, "\n");
  ASSERT_GE(edited.size(), 40u * 8);
  std::ofstream(map, std::ios::binary | std::ios::trunc) << edited;
  play(remote, test::kIsoSectors);
  const std::string after = test::ReadWholeFile(map);
  EXPECT_EQ(after.substr(0, edited.size()), edited);
  EXPECT_EQ(after.substr(after.size() - 2), "\r\n");
  play({"--cache", "a.iso.Block"}, test::kIsoSectors);
}

// The server program is killed while the player reads on a thread of its own, and started
// again on the same port with a disc listed before the one played: the DLL connects again
// by itself, names the disc where it is listed now, and every sector arrives intact.
TEST_F(PlayerRunTest, ReaderThreadPlayGoesOnAcrossAServerRestart) {
  const std::vector<std::string> options{"--run-max", "32"};
  test::ChildProcess first, second;
  const int port = StartServerProgram(first, options);
  ASSERT_NE(port, 0);
  const std::string player = test::ChildProcess::ProgramBesideThisOne("KorvanePlayer");
  const std::string dll = player.substr(0, player.find_last_of("\\/") + 1) + "KorvaneCDVD.dll";
  test::ChildProcess play;
  ASSERT_TRUE(play.Start(player,
                         {dll, "--connect", "127.0.0.1:" + std::to_string(port), "--disc", "a.iso",
                          "--verify", ImagePath("a.iso"), "--mode", "3", "--no-iso",
                          "--no-progress", "--reader-thread", "--pace-mbps", "1"},
                         "restart.log"));
  ASSERT_TRUE(AwaitServerLogLine("selected disc 0 a.iso")) << test::ReadWholeFile("restart.log");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  first.Kill();
  folder_.MakeImage("discs/0.bin", 300, 2352);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<std::string> again = options;
  again.insert(again.end(), {"--port", std::to_string(port)});
  ASSERT_EQ(StartServerProgram(second, again), port);

  int status = -1;
  ASSERT_TRUE(play.Wait(120000, status));
  const std::string log = test::ReadWholeFile("restart.log");
  const std::string n = std::to_string(test::kIsoSectors);
  EXPECT_NE(log.find("summary: " + n + " reads, " + n + " ok, 0 failed, 0 null buffers, " + n +
                     " verified, 0 mismatched"),
            std::string::npos)
      << log;
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(AwaitServerLogLine("selected disc 1 a.iso")) << "the disc, named where it is now";
}

}  // namespace
}  // namespace korvane
