// The reader of the server's stream: messages around replies with the input cut into
// batches at every place, unframed sector replies at each size, texts under each reader's
// rules, and refusals of what cannot be framed.
#include <gtest/gtest.h>

#include <algorithm>


#include "ScriptedConnection.h"
#include "TestSupport.h"
#include "core/base/ReadMode.h"
#include "protocol/ServerStream.h"

namespace korvane {
namespace {

using test::Bytes;

using test::Deflated;

// Feeds batch to the stream as a socket would hand it over (never past an intake's limit),
// taking the messages after each part; a reply awaited again after each reply is for mode.
std::vector<ServerStream::Message> Feed(ServerStream& stream, std::string_view batch,
                                        int32_t mode = 3) {
  std::vector<ServerStream::Message> got;
  do {
    size_t limit = 0;
    std::string& intake = stream.Intake(limit);
    size_t take = std::min(limit, batch.size());
    intake.append(batch.substr(0, take));
    batch.remove_prefix(take);
    for (auto m = stream.Next(); m.kind != ServerStream::Kind::kNothing; m = stream.Next()) {
      if (m.kind == ServerStream::Kind::kSector || m.kind == ServerStream::Kind::kRun) {
        m.text = stream.Reply();
        stream.AwaitReply(mode);
      }
      got.push_back(std::move(m));
    }
  } while (!batch.empty());
  return got;
}

// Each message as one text: its kind's letter, then its bytes or names.
std::vector<std::string> Described(const std::vector<ServerStream::Message>& messages) {
  std::vector<std::string> out;
  for (const ServerStream::Message& m : messages) {
    std::string text = std::string(1, "NTLPSRUF"[static_cast<int>(m.kind)]) + ":" + m.text;
    for (const std::string& name : m.names) text += name + "|";
    out.push_back(text);
  }
  return out;
}

TEST(ServerStream, MessagesAroundAReplyArriveWholeAtEveryCut) {
  std::string sector(2048, 'S');
  std::string stream = Deflated(std::string(3 * 2048, 'R'));
  const std::string list = Bytes({2, 0x2C}) + "12,a.iso,b.bin," + Bytes({6});
  const std::string after = Bytes({6, 2, 0x2C}) + "2,c,";
  const std::pair<std::string, std::string> replies[] = {
      {Bytes({4}) + sector, "S:" + sector},
      {Bytes({5}) + std::to_string(stream.size()) + ":" + stream, "R:" + stream}};
  for (const auto& [reply, described] : replies) {
    const std::string bytes = list + reply + after;
    const std::vector<std::string> expected = {"L:a.iso|b.bin|", "P:", described, "P:", "L:c|"};
    for (size_t cut = 1; cut < bytes.size(); ++cut) {
      ServerStream parser;
      parser.SetRules(ServerStream::Rules::kRead);
      parser.AwaitReply(3);
      auto got = Feed(parser, std::string_view(bytes).substr(0, cut));
      auto rest = Feed(parser, std::string_view(bytes).substr(cut));
      got.insert(got.end(), rest.begin(), rest.end());
      ASSERT_EQ(Described(got), expected) << "cut at " << cut;
      EXPECT_FALSE(parser.HoldsPartial());
    }
  }
}

TEST(ServerStream, SingleSectorsTakeTheModesSizeOrAWholeBatchOfALongerOne) {
  const std::string raw(2352, 'r');
  ServerStream whole;  // a raw sector answering a mode-3 request, in one batch
  whole.AwaitReply(kModeData2048);
  EXPECT_EQ(Described(Feed(whole, Bytes({4}) + raw)), std::vector<std::string>{"S:" + raw});
  const std::string data(2048, 'd');  // the next reply is framed as ever
  EXPECT_EQ(Described(Feed(whole, Bytes({4}) + data)), std::vector<std::string>{"S:" + data});

  ServerStream followed;  // a sector and a text in one batch: the text starts after it
  followed.SetRules(ServerStream::Rules::kRead);
  followed.AwaitReply(kModeData2048);
  EXPECT_EQ(Described(Feed(followed, Bytes({4}) + raw + Bytes({1}) + "hi\n" + Bytes({6}))),
            (std::vector<std::string>{"S:" + raw, "T:hi\n", "P:"}));
  followed.AwaitReply(kModeData2048);
  EXPECT_EQ(Described(Feed(followed, Bytes({4}) + raw.substr(0, 2048) + Bytes({1}) + "x\n")),
            (std::vector<std::string>{"S:" + raw.substr(0, 2048), "T:x\n"}));

  ServerStream mode0;  // short of its mode's size: it ends only when the caller says so
  mode0.AwaitReply(kModeRaw2352);
  EXPECT_TRUE(Feed(mode0, Bytes({4}) + std::string(2048, 'a')).empty());
  EXPECT_TRUE(mode0.MayEndShort());
  EXPECT_TRUE(Feed(mode0, std::string(292, 'b')).empty());
  EXPECT_TRUE(mode0.MayEndShort());  // 2340 bytes
  auto full = Feed(mode0, std::string(12, 'c'), kModeRaw2352);
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0].text.size(), 2352u);
  Feed(mode0, Bytes({4}) + std::string(2340, 'a'));
  mode0.EndShort();
  auto shortOne = Feed(mode0, "");
  ASSERT_EQ(shortOne.size(), 1u);
  EXPECT_EQ(shortOne[0].text.size(), 2340u);
}

TEST(ServerStream, TextsEndWithTheirBatchUnlessAReadOwnsTheStream) {
  ServerStream idle;
  EXPECT_EQ(Described(Feed(idle, Bytes({1, 0x48, 0x69, 0x0A, 6}))),
            (std::vector<std::string>{"T:Hi\n" + Bytes({6})}));
  ServerStream owned;
  owned.SetRules(ServerStream::Rules::kRead);
  EXPECT_EQ(Described(Feed(owned, Bytes({1, 0x48, 0x69, 0x0A, 6, 1}) + "x")),
            (std::vector<std::string>{"T:Hi\n", "P:", "T:x"}));
}

TEST(ServerStream, RefusesUnaskedRepliesBadLengthsAndUnknownBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {Bytes({4}) + std::string(2048, 's'), "U:Sector reply that nothing asked for"},
      {Bytes({7}) + "junk", "U:Server sent no sector reply (first byte 0x07)"},
      {Bytes({5}) + "12x:", "F:'12x' is not a valid integer value"},
      {Bytes({5}) + "2000000000:",
       "F:Compressed run of 2000000000 bytes refused (at most 33554432)"},
      {Bytes({5}) + std::string(30, '1'), "F:'111111111111' is not a valid integer value"},
      {Bytes({5}) + "-1:", "F:Compressed run of -1 bytes refused (at most 33554432)"},
      {Bytes({2, 0x2C}) + "six,", "F:'six' is not a valid integer value"},
      {Bytes({2, 0x2C}) + "2000000,", "F:Disc list of 2000000 bytes refused (at most 1048576)"},
  };
  for (const auto& [bytes, expected] : cases) {
    ServerStream parser;
    if (bytes[0] == 5) parser.AwaitReply(3);
    auto got = Feed(parser, bytes + Bytes({6}));  // what is held with a refusal goes too
    ASSERT_EQ(Described(got), std::vector<std::string>{expected}) << expected;
    EXPECT_EQ(got[0].lengthNotInteger,
              bytes[0] == 2 && expected.find("'six'") != std::string::npos);
    EXPECT_FALSE(parser.HoldsPartial());
  }
}

}  // namespace
}  // namespace korvane
