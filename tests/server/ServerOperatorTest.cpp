// The server program as an operator runs it, as a child process on 127.0.0.1: what it makes
// of a folder with more images than a client can select or with entries that are no files,
// of an accounts file written carelessly, of a configuration file and of a balancer range
// that trusts everyone, and of a folder it cannot hold open, an image cut short while
// served, a name that a terminal would obey and SIGHUP; each told once, in its log. And the
// balancer's health check as the deploy guide writes it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "ChildProcess.h"
#include "ServerTestSupport.h"
#include "server/AccountBook.h"

namespace korvane::server::test {
namespace {

using OperatorTest = ProgramTest;

// Logs in and returns the names of the disc list.
std::vector<std::string> ListedNames(TestClient& client, const std::string& login) {
  client.Send("\x01\x05" + login);
  EXPECT_EQ(client.Next().kind, 1);
  const Reply list = client.Next();
  EXPECT_EQ(list.kind, 2);
  EXPECT_EQ(client.Next().kind, 6);
  std::vector<std::string> names;
  for (size_t from = 0, comma; (comma = list.bytes.find(',', from)) != std::string::npos;
       from = comma + 1) {
    names.push_back(list.bytes.substr(from, comma - from));
  }
  return names;
}

TEST_F(OperatorTest, DiscsPastWhatAClientCanSelectAreNotListedButNamedInTheLog) {
  for (int i = 0; i < 258; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "d%03d.iso", i);
    folder_.Write(name, PatternImage(1, 2048));
  }
  ASSERT_NO_FATAL_FAILURE(StartProgram({"--allow-anyone"}));
  const std::string log = program_.Log();
  EXPECT_NE(log.find("warning: the disc list stops at 256 discs"), std::string::npos) << log;
  EXPECT_EQ(Count(log, "not listed: "), 2u) << log;
  EXPECT_NE(log.find("not listed: d257.iso"), std::string::npos) << log;
  TestClient client(program_.Port());
  const std::vector<std::string> names = ListedNames(client, "any,one");
  ASSERT_EQ(names.size(), 256u);
  EXPECT_EQ(names.back(), "d255.iso");
  client.Select(255);
  EXPECT_EQ(client.Request(3, 0).bytes, PatternImage(1, 2048)) << "the last one selectable";
  EXPECT_TRUE(program_.Stop(10000));
}

TEST_F(OperatorTest, AnAccountsFileWithAByteOrderMarkDuplicatesAndUnusableNames) {
  folder_.Write("a.iso", PatternImage(4, 2048));
  folder_.Write("accounts.txt", "\xEF\xBB\xBF" "alice:one\r\nbob:old\r\nc,d:x\r\nbob:new\r\n");
  ASSERT_NO_FATAL_FAILURE(StartProgram({"--accounts", folder_.PathOf("accounts.txt")}));
  const std::string log = program_.Log();
  EXPECT_NE(log.find("line 4: user bob is also on line 2; line 4 wins"), std::string::npos) << log;
  EXPECT_NE(log.find("line 3: user c,d holds a comma, so it can never log in"), std::string::npos)
      << log;
  EXPECT_EQ(Count(log, "warning: "), 2u) << log;
  TestClient first(program_.Port());
  EXPECT_TRUE(first.LogIn("alice", "one")) << "the first user, behind the mark";
  TestClient last(program_.Port());
  EXPECT_TRUE(last.LogIn("bob", "new"));
  EXPECT_TRUE(program_.Stop(10000));
}

TEST_F(OperatorTest, OneLineEachForTheDescriptorLimitAControlNameAndATruncatedImage) {
  const std::string iso = PatternImage(40, 2048);
  folder_.Write("a.iso", iso);
  folder_.Write("\x1b[2Jclear.iso", iso);
  for (int i = 0; i < 40; ++i) folder_.Write("z" + std::to_string(i) + ".iso", "");
  // 64 descriptors of the program's own and 16 connections leave room for 20 images.
  ASSERT_NO_FATAL_FAILURE(StartProgram({"--allow-anyone"}, {}, 100));
  TestClient client(program_.Port());
  const std::vector<std::string> names = ListedNames(client, "any,one");
  EXPECT_EQ(names.size(), 20u);
  EXPECT_EQ(names.front(), "a.iso") << "the name with ESC is not listed";

  ASSERT_EQ(truncate(folder_.PathOf("a.iso").c_str(), 10 * 2048), 0);
  client.Select(0);
  for (uint32_t lsn : {20u, 30u}) {
    EXPECT_EQ(client.Request(3, lsn).bytes,
              "Sector request refused: cannot read or compress sector " + std::to_string(lsn) +
                  " of a.iso");
    EXPECT_EQ(client.Next().kind, 5) << "the refusal's empty run";
  }
  ASSERT_EQ(kill(program_.Pid(), SIGHUP), 0);
  EXPECT_TRUE(client.ClosedWithin(5000));
  EXPECT_TRUE(program_.AwaitExit(10000)) << "SIGHUP stops it with status 0";
  const std::string log = program_.Log();
  EXPECT_NE(log.find(" stopped\n"), std::string::npos) << "and cleanly: " << log;
  EXPECT_EQ(Count(log, "descriptor limit of 100 is too low for the folder: 21 images"), 1u)
      << log;
  EXPECT_EQ(Count(log, "cannot be opened"), 0u) << log;
  EXPECT_EQ(Count(log, "not served: \\x1B[2Jclear.iso"), 1u) << log;
  EXPECT_EQ(Count(log, "disc a.iso: reading "), 1u) << "once per disc: " << log;
}

// The file's lines reach the options in order, as the command line's arguments do; a file
// that would hang the start or sets nothing is refused in one line that repeats no value.
TEST_F(OperatorTest, AConfigurationFileReadsAsTheCommandLineAndIsRefusedWithoutItsValues) {
  folder_.Write("a.iso", PatternImage(4, 2048));
  std::filesystem::create_directory(folder_.Path() / "empty");
  const std::string lines = "folder = " + folder_.PathOf("empty") +
                            "\nallow-anyone = true\nproxy-protocol = true\n"
                            "proxy-from = 127.0.0.2\nmessage-gap-ms = 5\n"
                            "proxy-from = 127.0.0.1\nfolder = " + folder_.Path().string() + "\n";
  const std::string conf = folder_.Write("server.conf", "\xEF\xBB\xBF" + lines);
  std::string error;
  ASSERT_TRUE(program_.Start(KORVANE_SERVER_PROGRAM, {"--config", conf}, {}, error)) << error;
  EXPECT_NE(program_.Log().find("serving 1 discs from " + folder_.Path().string() + " on"),
            std::string::npos)
      << "the last folder: " << program_.Log();
  TestClient player(program_.Port(), "127.0.0.1");
  player.Send("PROXY TCP4 192.0.2.7 127.0.0.1 5555 35000\r\n");
  EXPECT_TRUE(player.LogIn()) << "the second balancer is trusted too";
  EXPECT_TRUE(program_.Stop(10000));

  const std::string fifo = folder_.PathOf("fifo.conf");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const ProgramEnd fromFifo = RunProgramToItsEnd({"--config", fifo});
  EXPECT_EQ(fromFifo.status, 2);
  EXPECT_EQ(fromFifo.output,
            "korvane-server: --config " + fifo + " is no regular file (see --help)\n");
  const std::string accounts = folder_.Write("accounts.txt", "# logins\nalice:Hunter2=b\n");
  const ProgramEnd fromAccounts = RunProgramToItsEnd({"--config", accounts});
  EXPECT_EQ(fromAccounts.status, 2);
  EXPECT_NE(fromAccounts.output.find(accounts + ": line 2 is not name = value"), std::string::npos)
      << fromAccounts.output;
  const std::string wrong =
      folder_.Write("wrong.conf", "folder = /srv\nallow-anyone = true\nport = Hunter2\n");
  const ProgramEnd fromWrong = RunProgramToItsEnd({"--config", wrong});
  EXPECT_EQ(fromWrong.status, 2);
  EXPECT_NE(fromWrong.output.find(wrong + ": line 3: port "), std::string::npos)
      << fromWrong.output;
  for (const std::string& output : {fromAccounts.output, fromWrong.output}) {
    EXPECT_EQ(output.find("Hunter2"), std::string::npos) << output;
    EXPECT_EQ(Count(output, "\n"), 1u) << output;
  }
}

TEST_F(OperatorTest, ABalancerRangeOfEveryAddressIsWarnedOfOncePerRange) {
  folder_.Write("a.iso", PatternImage(4, 2048));
  ASSERT_NO_FATAL_FAILURE(
      StartProgram({"--allow-anyone", "--proxy-protocol", "--proxy-from", "0.0.0.0/0",
                    "--proxy-from", "127.0.0.0/8", "--proxy-from", "::/0"}));
  // The warnings follow the line that tells the port: the log is whole once it has stopped.
  EXPECT_TRUE(program_.Stop(10000));
  const std::string log = program_.Log();
  const std::string everyone = " address, so any client can claim any address";
  EXPECT_EQ(Count(log, "warning: "), 2u) << log;
  EXPECT_EQ(Count(log, "warning: --proxy-from 0.0.0.0/0 trusts the PROXY header of every IPv4" +
                           everyone),
            1u);
  EXPECT_EQ(Count(log, "warning: --proxy-from ::/0 trusts the PROXY header of every IPv6" +
                           everyone),
            1u);
}

// What follows key on the line of text that holds it, up to the end of the line.
std::string Following(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return "";
  const size_t from = at + key.size();
  return text.substr(from, text.find_first_of("\r\n", from) - from);
}

// The bytes that hex, two digits a byte, stands for.
std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t at = 0; at + 1 < hex.size(); at += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16)));
  }
  return bytes;
}

// Guards the login check that docs/deploy.md gives the balancer: its bytes, read from the
// guide, after the PROXY header the balancer's checks send, must bring back the text the
// check expects within the check's timeout of 3 s.
TEST_F(OperatorTest, TheDeployGuidesBalancerHealthCheckFindsItsWelcomeWithinThreeSeconds) {
  const std::string guide = korvane::test::ReadWholeFile(KORVANE_DEPLOY_GUIDE);
  const std::string login = FromHex(Following(guide, "tcp-check send-binary "));
  const std::string expected = Following(guide, "tcp-check expect string ");
  ASSERT_FALSE(login.empty()) << "no hex login in " << KORVANE_DEPLOY_GUIDE;
  ASSERT_FALSE(expected.empty()) << "no expected string in " << KORVANE_DEPLOY_GUIDE;
  folder_.Write("a.iso", PatternImage(4, 2048));
  // The accounts line the guide tells the operator to add.
  const std::string accounts = folder_.Write("accounts.txt", "health:SOME-PASSWORD\n");
  ASSERT_NO_FATAL_FAILURE(
      StartProgram({"--accounts", accounts, "--proxy-protocol", "--proxy-from", "127.0.0.1"}));
  TestClient check(program_.Port());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(check.Send("PROXY UNKNOWN\r\n"));
  ASSERT_TRUE(check.Send(login));
  std::string reply;
  while (reply.find(expected) == std::string::npos && MillisecondsSince(start) < 3000) {
    const std::string more =
        check.ReadSome(static_cast<int>(std::max(1L, 3000 - MillisecondsSince(start))));
    if (more.empty()) break;
    reply += more;
  }
  EXPECT_NE(reply.find(expected), std::string::npos)
      << "within 3 s: " << testing::PrintToString(reply) << "\n"
      << program_.Log();
  EXPECT_TRUE(program_.Stop(10000));
}

// An indented comment is no account, blanks around a name are no part of it, and a login
// longer than the server reads at once never logs in: the log tells which lines, never a
// password.
TEST_F(OperatorTest, AnAccountsFileWithIndentedCommentsBlanksAndPasswordsTooLongToCarry) {
  folder_.Write("a.iso", PatternImage(4, 2048));
  // "fits" makes a login of exactly kLongestLogin bytes (01 05 fits , password).
  const std::string fits(kLongestLogin - 2 - 5, 'f'), over(kLongestLogin - 2 - 5 + 1, 'o');
  folder_.Write("accounts.txt",
                "  # note: pw\n\tspaced : pw \nfits:" + fits + "\nover:" + over + "\nok:pw\n");
  ASSERT_NO_FATAL_FAILURE(StartProgram({"--accounts", folder_.PathOf("accounts.txt")}));
  const std::string log = program_.Log();
  EXPECT_NE(log.find("line 2: user spaced is written with blanks around it"), std::string::npos)
      << log;
  EXPECT_NE(log.find("line 2: user spaced has a password that begins or ends with a blank"),
            std::string::npos)
      << log;
  const std::string tooLongLine = "line 4: user over has a password of 8186 bytes";
  EXPECT_NE(log.find(tooLongLine), std::string::npos) << log;
  EXPECT_EQ(Count(log, "warning: "), 3u) << log;
  EXPECT_EQ(log.find("ooooooooo"), std::string::npos);
  TestClient spaced(program_.Port());
  EXPECT_TRUE(spaced.LogIn("spaced", " pw "));
  TestClient longest(program_.Port());
  EXPECT_TRUE(longest.LogIn("fits", fits)) << "a login of the longest length";
  TestClient tooLong(program_.Port());
  EXPECT_FALSE(tooLong.LogIn("over", over)) << "the warning is true";
  TestClient comment(program_.Port());
  EXPECT_FALSE(comment.LogIn("  # note", " pw"));
  EXPECT_TRUE(program_.Stop(10000));
}

TEST_F(OperatorTest, EachEntryWithAnImagesNameThatIsNoFileIsLoggedOnce) {
  folder_.Write("a.iso", PatternImage(4, 2048));
  const std::filesystem::path path = folder_.Path();
  std::filesystem::create_symlink(path / "missing.iso", path / "gone.iso");
  std::filesystem::create_directory(path / "dir.img");
  ASSERT_EQ(mkfifo(folder_.PathOf("pipe.bin").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/null", path / "null.iso");
  ASSERT_NO_FATAL_FAILURE(StartProgram({"--allow-anyone"}));
  const std::string log = program_.Log();
  EXPECT_EQ(Count(log, "not served: "), 4u) << log;
  EXPECT_EQ(Count(log, "not served: gone.iso: is a symbolic link to nothing\n"), 1u) << log;
  EXPECT_EQ(Count(log, "not served: dir.img: is a folder\n"), 1u) << log;
  EXPECT_EQ(Count(log, "not served: pipe.bin: is a FIFO\n"), 1u) << log;
  EXPECT_EQ(Count(log, "not served: null.iso: is a device\n"), 1u) << log;
  TestClient client(program_.Port());
  EXPECT_EQ(ListedNames(client, "any,one"), std::vector<std::string>{"a.iso"});
  EXPECT_TRUE(program_.Stop(10000));
}

}  // namespace
}  // namespace korvane::server::test
