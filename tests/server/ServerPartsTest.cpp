// The disc server's parts without a network: the command line, the accounts file, folder
// scanning and run lengths.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ServerTestSupport.h"
#include "server/AccountBook.h"
#include "server/DiscCatalog.h"
#include "server/LinkRate.h"
#include "server/ProxyHeader.h"
#include "server/SectorReplies.h"
#include "server/ServerLog.h"
#include "server/ServerOptions.h"
#include "server/Session.h"

namespace korvane::server::test {
namespace {

// Parses args, the command line after the program's name, into a fresh config.
OptionsOutcome Parse(const std::vector<std::string>& args, ServerConfig& config,
                     std::string& error) {
  std::vector<const char*> argv{"s"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  config = ServerConfig{};
  return ParseServerOptions(static_cast<int>(argv.size()), argv.data(), config, error);
}

// Parses the words of line as Parse does.
OptionsOutcome ParseLine(const std::string& line, ServerConfig& config, std::string& error) {
  std::istringstream in(line);
  const std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
  return Parse(words, config, error);
}

TEST(ServerOptions, DefaultsEveryOptionAndMistakes) {
  ServerConfig config;
  std::string error;
  ASSERT_EQ(ParseLine("--folder /d --allow-anyone", config, error), OptionsOutcome::kRun);
  EXPECT_EQ(config.port, 35000);
  EXPECT_EQ(config.bindAddress, "0.0.0.0");
  EXPECT_EQ(config.level, kLevelAuto);
  EXPECT_EQ(config.runMin, 16u);
  EXPECT_EQ(config.runMax, 1024u);
  EXPECT_EQ(config.messageGapMs, 100u);
  ASSERT_EQ(ParseLine("--folder /d --accounts f --port 0 --bind ::1 --level 9 --run-min 1 "
                      "--run-max 4096 --single --delay-ms 5 --message-gap-ms 0 --threads 3 --quiet",
                      config, error),
            OptionsOutcome::kRun)
      << error;
  EXPECT_EQ(config.accountsFile, "f");
  EXPECT_EQ(config.port, 0);
  EXPECT_EQ(config.level, 9);
  EXPECT_EQ(config.runMax, 4096u);
  EXPECT_TRUE(config.single && config.quiet);
  EXPECT_EQ(config.threads, 3u);
  ASSERT_EQ(ParseLine("--folder /d --allow-anyone --level 9 --level auto", config, error),
            OptionsOutcome::kRun)
      << error;
  EXPECT_EQ(config.level, kLevelAuto);
  EXPECT_EQ(ParseLine("--allow-anyone", config, error), OptionsOutcome::kError);
  EXPECT_EQ(ParseLine("--folder /d", config, error), OptionsOutcome::kError);
  for (const char* wrong :
       {"--accounts f", "--level 10", "--level fast", "--level", "--run-min 64 --run-max 32",
        "--port 65536", "--port", "--colour red", "--proxy-from 10.0.0.1",
        "--proxy-protocol --proxy-from 10.0.0.0/33", "--proxy-protocol --proxy-from host"}) {
    EXPECT_EQ(ParseLine(std::string("--folder /d --allow-anyone ") + wrong, config, error),
              OptionsOutcome::kError)
        << wrong;
  }
  EXPECT_EQ(ParseLine("--help", config, error), OptionsOutcome::kHelp);
}

// A configuration file holds the options a command line would; the command line wins over
// it, and a name that is no option is a mistake.
TEST(ServerOptions, AConfigurationFileAndTheCommandLineOverIt) {
  ScratchFolder folder;
  folder.Write("35000.conf",
               "# a comment\nfolder = /srv/discs\nallow-anyone = true\nlevel = 9\n"
               "idle-minutes = 0.5\nproxy-protocol = true\nproxy-from = [\"10.0.0.5\", "
               "\"10.1.0.0/16\"]\n");
  folder.Write("typo.conf", "folder = /srv/discs\nallow-anyone = true\ncolour = red\n");
  const std::string conf = folder.PathOf("35000.conf"), typo = folder.PathOf("typo.conf");
  ServerConfig config;
  std::string error;
  ASSERT_EQ(Parse({"--config", conf, "--level", "2"}, config, error), OptionsOutcome::kRun)
      << error;
  EXPECT_EQ(config.folder, "/srv/discs");
  EXPECT_TRUE(config.allowAnyone && config.proxyProtocol);
  EXPECT_EQ(config.level, 2);
  EXPECT_EQ(config.idleTimeoutMs, 30000u);
  EXPECT_EQ(config.proxyFrom, (std::vector<std::string>{"10.0.0.5", "10.1.0.0/16"}));
  EXPECT_EQ(Parse({"--config", typo}, config, error), OptionsOutcome::kError);
  EXPECT_NE(error.find("colour"), std::string::npos) << error;
}

// Each form a file may take: the last of lines apart wins, a list may run over lines, a
// quoted value keeps its blanks and '#', a comment may follow an unquoted one.
TEST(ServerOptions, AConfigurationFileInEachOfItsForms) {
  ScratchFolder folder;
  const std::string conf = folder.Write(
      "forms.conf",
      "bind = 10.0.0.1\r\n  # an indented comment\r\n; another\r\nfolder = \"/srv/my #1 discs\"\n"
      "bind = 10.0.0.2   # the second\nallow-anyone\nproxy-protocol = true\n"
      "proxy-from = [\n  '10.0.0.5',\n  10.0.1.0/24 ]\nproxy-from = 10.0.2.7\nlevel = 3\n");
  ServerConfig config;
  std::string error;
  ASSERT_EQ(Parse({"--config", conf}, config, error), OptionsOutcome::kRun) << error;
  EXPECT_EQ(config.bindAddress, "10.0.0.2");
  EXPECT_EQ(config.folder, "/srv/my #1 discs");
  EXPECT_TRUE(config.allowAnyone);
  EXPECT_EQ(config.proxyFrom, (std::vector<std::string>{"10.0.0.5", "10.0.1.0/24", "10.0.2.7"}));
  EXPECT_EQ(config.level, 3);
  for (const char* wrong : {"folder = /d\nproxy-from = [10.0.0.5,\n", "folder = \"/d\n",
                            "folder = /d\nlevel\n", "folder = /d\nconfig = other.conf\n"}) {
    folder.Write("wrong.conf", wrong);
    const std::string path = folder.PathOf("wrong.conf");
    EXPECT_EQ(Parse({"--config", path}, config, error), OptionsOutcome::kError) << wrong;
    EXPECT_NE(error.find(path + ": line "), std::string::npos) << error;
  }
}

TEST(ProxyHeader, TakesItsLineAndNothingMoreOrRefusesWhatIsNoHeader) {
  const auto parse = [](const std::string& text, ProxyHeader& header) {
    return ParseProxyHeader(reinterpret_cast<const uint8_t*>(text.data()), text.size(), header);
  };
  ProxyHeader header;
  ASSERT_EQ(parse("PROXY TCP4 192.0.2.7 10.0.0.1 5555 35000\r\n\x01\x05u,p", header),
            wire::ParseStatus::kComplete);
  EXPECT_EQ(header.length, 42u);
  EXPECT_TRUE(header.known);
  EXPECT_EQ(header.source.to_string(), "192.0.2.7");
  EXPECT_EQ(header.sourcePort, 5555);
  ASSERT_EQ(parse("PROXY TCP6 2001:db8::1 ::1 65535 35000\r\n", header),
            wire::ParseStatus::kComplete);
  EXPECT_EQ(header.source.to_string(), "2001:db8::1");
  ASSERT_EQ(parse("PROXY UNKNOWN ffff::1 ::1 1 2\r\n", header), wire::ParseStatus::kComplete);
  EXPECT_FALSE(header.known);
  for (const char* partial : {"", "PRO", "PROXY TCP4 192.0.2.7 10.0.0.1 5555 35000\r"}) {
    EXPECT_EQ(parse(partial, header), wire::ParseStatus::kNeedMore) << partial;
  }
  for (const std::string& bad : std::vector<std::string>{
           "\x01\x05"
           "alice,se:cret",
           "proxy TCP4 1.2.3.4 1.2.3.4 1 2\r\n", "PROXY TCP4 ::1 1.2.3.4 1 2\r\n",
           "PROXY TCP4 1.2.3.4 1.2.3.4 1 65536\r\n", "PROXY TCP4 1.2.3.4 1.2.3.4 01 2\r\n",
           "PROXY TCP4 1.2.3.4  1.2.3.4 1 2\r\n", "PROXY TCP4 1.2.3.4 1.2.3.4 1\r\n",
           "PROXY " + std::string(120, '1')}) {
    EXPECT_EQ(parse(bad, header), wire::ParseStatus::kBad) << bad;
  }
}

TEST(ServerLog, PrintableEscapesWhatATerminalWouldObey) {
  // ESC and CSI (0x9B) alone, CSI as a UTF-8 character, DEL, a stray continuation byte and a
  // cut sequence become \xNN; real characters stay, and a backslash doubles.
  EXPECT_EQ(Printable("a\x1B[2Jb\x9B"
                      "c\xC2\x9B"
                      "d\x7F\x80"
                      "caf\xC3\xA9 \\ \xE2\x82"),
            "a\\x1B[2Jb\\x9Bc\\xC2\\x9Bd\\x7F\\x80"
            "caf\xC3\xA9 \\\\ \\xE2\\x82");
  EXPECT_EQ(Printable("\xED\xA0\x80\xF4\x90\x80\x80"), "\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80")
      << "surrogates and code points past U+10FFFF are no characters";
  EXPECT_EQ(Printable("abcdef", 3), "abc...");
}

TEST(AccountBook, ReadsUserPasswordLines) {
  AccountBook book;
  std::string error;
  ASSERT_TRUE(AccountBook::Parse("# staff\r\n\nalice:se:cret\r\nbob:\n  \n", book, error)) << error;
  EXPECT_EQ(book.Count(), 2u);
  EXPECT_TRUE(book.Accepts("alice", "se:cret"));
  EXPECT_TRUE(book.Accepts("bob", ""));
  ASSERT_EQ(book.Warnings().size(), 1u) << "bob's empty password";
  EXPECT_NE(book.Warnings()[0].find("line 4: user bob has an empty password"), std::string::npos);
  EXPECT_FALSE(book.Accepts("alice", "se"));
  EXPECT_FALSE(book.Accepts("carol", ""));
  EXPECT_FALSE(AccountBook::Parse("alice:x\nno colon here\n", book, error));
  EXPECT_NE(error.find("line 2"), std::string::npos);
  EXPECT_TRUE(AccountBook::Anyone().Accepts("", "anything"));
}

TEST(DiscCatalog, ListsImagesInNameOrderWithTheirSectorSize) {
  ScratchFolder folder;
  folder.Write("b.bin", PatternImage(2, 2352));
  folder.Write("a.iso", PatternImage(2, 2048));
  folder.Write("C.IMG", std::string(5, '\0'));
  folder.Write("notes.txt", "not a disc");
  folder.Write("x,y.iso", PatternImage(1, 2048));
  std::filesystem::create_directory(folder.PathOf("folder.iso"));
  DiscCatalog discs;
  ScanReport report;
  std::string error;
  ASSERT_TRUE(DiscCatalog::Scan({folder.Path().string()}, discs, report, error)) << error;
  const std::vector<std::string>& skipped = report.skipped;
  EXPECT_EQ(discs.Names(), (std::vector<std::string>{"C.IMG", "a.iso", "b.bin"}));
  EXPECT_EQ(discs.At(0)->SectorSize(), 2048);
  EXPECT_EQ(discs.At(1)->SectorSize(), 2048);
  EXPECT_EQ(discs.At(2)->SectorSize(), 2352);
  EXPECT_EQ(discs.At(3), nullptr);
  ASSERT_EQ(skipped.size(), 2u);
  EXPECT_EQ(skipped[0], "folder.iso: is a folder");
  EXPECT_EQ(skipped[1].rfind("x,y.iso", 0), 0u);
  EXPECT_FALSE(DiscCatalog::Scan({folder.PathOf("missing")}, discs, report, error));
}

TEST(RunPolicy, DoublesWhileReadingOnAndFallsBackOtherwise) {
  RunPolicy policy(4, 20);
  EXPECT_EQ(policy.LengthFor(3, 100), 4u);
  policy.Served(3, 100, 4);
  EXPECT_EQ(policy.LengthFor(3, 104), 8u);
  policy.Served(3, 104, 8);
  EXPECT_EQ(policy.LengthFor(3, 112), 16u);
  policy.Served(3, 112, 16);
  EXPECT_EQ(policy.LengthFor(3, 128), 20u);
  policy.Served(3, 128, 20);
  EXPECT_EQ(policy.LengthFor(3, 148), 20u);
  policy.Served(3, 148, 20);
  EXPECT_EQ(policy.LengthFor(0, 168), 4u) << "another mode starts over";
  policy.Served(0, 168, 4);
  EXPECT_EQ(policy.LengthFor(0, 171), 4u) << "a jump starts over";
  policy.Served(0, 171, 4);
  policy.Reset();
  EXPECT_EQ(policy.LengthFor(0, 175), 4u);
}

TEST(RunPolicy, TellsTheRunThatWouldContinueTheLastOne) {
  RunPolicy policy(4, 10);
  uint8_t mode = 0;
  uint32_t lsn = 0, length = 0;
  EXPECT_FALSE(policy.NextRun(mode, lsn, length)) << "nothing served yet";
  EXPECT_EQ(policy.LengthFor(1, 50), 4u);
  policy.Served(1, 50, 4);
  ASSERT_TRUE(policy.NextRun(mode, lsn, length));
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(lsn, 54u);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(policy.LengthFor(mode, lsn), length) << "what the continuing request then gets";
  policy.Served(1, 54, 3);  // clipped at the end of a disc
  ASSERT_TRUE(policy.NextRun(mode, lsn, length));
  EXPECT_EQ(lsn, 57u);
  EXPECT_EQ(length, 10u) << "doubling stops at the maximum";
  policy.Served(3, 4294967290u, 6);
  EXPECT_FALSE(policy.NextRun(mode, lsn, length)) << "no LSN follows 4294967295";
  policy.Reset();
  EXPECT_FALSE(policy.NextRun(mode, lsn, length));
}

TEST(RunLevel, AutoStoresForLoopbackPeersAndForLinksFasterThanCompressing) {
  const auto level = [](int configured, const char* peer, double rate = 0) {
    return RunLevelFor(configured, asio::ip::make_address(peer), rate);
  };
  for (const char* local : {"127.0.0.1", "127.200.3.4", "::1", "::ffff:127.0.0.1"}) {
    EXPECT_EQ(level(kLevelAuto, local), 0) << local;
  }
  for (const char* remote : {"192.168.1.20", "10.0.0.1", "::ffff:10.0.0.1", "2001:db8::1", "::"}) {
    EXPECT_EQ(level(kLevelAuto, remote), 1) << remote;
  }
  EXPECT_EQ(level(6, "127.0.0.1"), 6) << "a number forces the level";
  EXPECT_EQ(level(0, "10.0.0.1"), 0);

  // A 2 MB run back within a millisecond of the round trip that a 32 kB one took: too fast
  // to time, so it limits no run, but the link carries more than compressing would keep up with.
  LinkRate link;
  const LinkRate::Clock::time_point start{};
  link.Sending(start, 32 << 10, 16);
  link.Requested(start + std::chrono::milliseconds(50), false);
  link.Sending(start + std::chrono::milliseconds(50), 2 << 20, 1024);
  link.Requested(start + std::chrono::milliseconds(101), true);
  EXPECT_EQ(link.RunSectors(), 0u);
  EXPECT_EQ(level(kLevelAuto, "10.0.0.1", link.BytesPerSecond()), 0);
  EXPECT_EQ(level(kLevelAuto, "10.0.0.1", 8e6), 1) << "an 8 MB/s link";
  EXPECT_EQ(level(1, "10.0.0.1", link.BytesPerSecond()), 1) << "a number still forces it";
}

// A link timed at 8 MB/s keeps that rate through a reader's pause, follows it down once it
// stays at 1 MB/s for a few replies, and up again at once.
TEST(LinkRate, APauseLeavesTheRateAndASlowerLinkIsFollowedDown) {
  LinkRate link;
  auto clock = LinkRate::Clock::time_point{};
  const auto advance = [&clock](double seconds) {
    clock += std::chrono::duration_cast<LinkRate::Clock::duration>(
        std::chrono::duration<double>(seconds));
  };
  const auto reply = [&](uint64_t bytes, double rate, double pause) {
    link.Sending(clock, bytes, static_cast<uint32_t>(bytes / 2048));
    advance(0.05 + static_cast<double>(bytes) / rate + pause);
    link.Requested(clock, true);
  };
  reply(32 << 10, 8e6, 0);  // the floor: one round trip and a short run
  for (int i = 0; i < 3; ++i) reply(1 << 20, 8e6, 0);
  const double fast = link.BytesPerSecond();
  EXPECT_NEAR(fast, 8e6, 0.5e6);
  reply(1 << 20, 8e6, 2.0);  // the reader pauses
  EXPECT_EQ(link.BytesPerSecond(), fast);
  for (size_t i = 0; i < kRecentTimings; ++i) reply(1 << 20, 1e6, 0);
  EXPECT_NEAR(link.BytesPerSecond(), 1e6, 0.1e6);
  reply(1 << 20, 8e6, 0);
  EXPECT_NEAR(link.BytesPerSecond(), 8e6, 0.5e6);
}

TEST(SectorReplies, AReplyGivesUpOnceItsStopFlagIsRaised) {
  ScratchFolder folder;
  folder.Write("a.iso", PatternImage(64, 2048));
  DiscCatalog discs;
  ScanReport report;
  std::string error;
  ASSERT_TRUE(DiscCatalog::Scan({folder.Path().string()}, discs, report, error)) << error;
  std::atomic<bool> stopping{false};
  PreparedRun run(discs.At(0), 3, 8, 32, ReplySettings{9, false});
  EXPECT_TRUE(run.Answers(discs.At(0), 3, 8, 32));
  EXPECT_FALSE(run.Answers(discs.At(0), 0, 8, 32)) << "another mode is another run";
  EXPECT_FALSE(run.Answers(discs.At(0), 3, 8, 16));
  EXPECT_FALSE(run.Answers(nullptr, 3, 8, 32));
  run.Cancel();
  run.Make(stopping);
  EXPECT_EQ(run.Outcome(), ReplyOutcome::kGivenUp);
  EXPECT_TRUE(run.TakeReply().empty());
  stopping = true;
  std::vector<uint8_t> out;
  uint32_t sectors = 0;
  const ReplySettings settings{1, false};
  EXPECT_EQ(
      MakeSectorReply(discs.At(0), 3, 0, 64, settings, StopFlags{&stopping, nullptr}, out, sectors),
      ReplyOutcome::kGivenUp);
  EXPECT_TRUE(out.empty());
  PreparedRun next(discs.At(0), 3, 60, 32, settings);
  stopping = false;
  next.Make(stopping);
  ASSERT_EQ(next.Outcome(), ReplyOutcome::kServed);
  EXPECT_EQ(next.Sectors(), 4u) << "clipped to the end of the disc";
  const std::vector<uint8_t> reply = next.TakeReply();
  const std::string text(reply.begin(), reply.end());
  const size_t colon = text.find(':');
  ASSERT_NE(colon, std::string::npos);
  EXPECT_EQ(text.substr(0, colon), "\x05" + std::to_string(text.size() - colon - 1));
  std::string sectorBytes(4 * 2048, '\0');
  uLongf size = static_cast<uLongf>(sectorBytes.size());
  ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(sectorBytes.data()), &size,
                       reply.data() + colon + 1, static_cast<uLong>(text.size() - colon - 1)),
            Z_OK);
  EXPECT_TRUE(sectorBytes == ExpectedSectors(PatternImage(64, 2048), false, 3, 60, 4));
}

}  // namespace
}  // namespace korvane::server::test
