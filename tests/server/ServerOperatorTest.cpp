// The server program as an operator runs it, as a child process on 127.0.0.1: what it makes
// of a folder with more images than a client can select, of an accounts file written
// carelessly, and of a folder it cannot hold open, an image cut short while served, a name
// that a terminal would obey and SIGHUP; each told once, in its log.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "ServerProcess.h"
#include "ServerTestSupport.h"

namespace korvane::server::test {
namespace {

class OperatorTest : public ::testing::Test {
 protected:
  // Starts the program on the folder with args; with descriptors, under that limit (soft
  // and hard, so the program cannot raise it).
  void StartProgram(std::vector<std::string> args, int descriptors = 0) {
    args.insert(args.begin(), {"--folder", folder_.Path().string(), "--message-gap-ms", "5"});
    std::string program = KORVANE_SERVER_PROGRAM;
    if (descriptors > 0) {
      args.insert(args.begin(), {"-c", "ulimit -n " + std::to_string(descriptors) +
                                           " && exec \"$0\" \"$@\"",
                                 program});
      program = "/bin/sh";
    }
    std::string error;
    ASSERT_TRUE(program_.Start(program, args, {}, error)) << error;
  }

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

  ScratchFolder folder_;
  load::ServerProcess program_;
};

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
  client.Send("\x03\xFF");
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
  ASSERT_NO_FATAL_FAILURE(StartProgram({"--allow-anyone"}, 100));
  TestClient client(program_.Port());
  const std::vector<std::string> names = ListedNames(client, "any,one");
  EXPECT_EQ(names.size(), 20u);
  EXPECT_EQ(names.front(), "a.iso") << "the name with ESC is not listed";

  ASSERT_EQ(truncate(folder_.PathOf("a.iso").c_str(), 10 * 2048), 0);
  client.Send(std::string("\x03\x00", 2));
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

}  // namespace
}  // namespace korvane::server::test
