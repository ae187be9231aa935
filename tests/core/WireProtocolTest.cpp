// Wire messages byte for byte, and the readers of disc lists, sector replies and the
// dialog's batches, with their input cut into batches at every possible place.
#include <gtest/gtest.h>

#include <zlib.h>

#include "ScriptedConnection.h"
#include "core/DialogBatchReader.h"
#include "core/SectorReply.h"
#include "core/WireProtocol.h"

namespace korvane {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

std::string Deflated(const std::string& payload) {
  uLongf size = compressBound(payload.size());
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
            reinterpret_cast<const Bytef*>(payload.data()), payload.size(), 1);
  out.resize(size);
  return out;
}

TEST(WireMessages, AreBuiltByteForByte) {
  EXPECT_EQ(wire::BuildLogin("", ""), Bytes({1, 5, 0x2C}));
  EXPECT_EQ(wire::BuildLogin("ann", "p,w"), Bytes({1, 5}) + "ann,p,w");
  EXPECT_EQ(wire::BuildDiscSelection(300), Bytes({3, 0x2C}));
  EXPECT_EQ(wire::BuildDiscSelection(256), Bytes({3, 0}));
  EXPECT_EQ(wire::BuildDiscSelection(-1), Bytes({3, 0xFF}));
  EXPECT_EQ(wire::BuildSectorRequest(0, 0), Bytes({4, 0, 0x30}));
  EXPECT_EQ(wire::BuildSectorRequest(3, 16), Bytes({4, 3, 0x31, 0x36}));
  EXPECT_EQ(wire::BuildSectorRequest(3, 4294967295u), Bytes({4, 3}) + "4294967295");
  EXPECT_EQ(wire::BuildSectorRequest(263, 1), Bytes({4, 7, '1'}));
}

TEST(WireMessages, LengthFieldsAreSigned32BitDecimals) {
  int64_t v = 0;
  EXPECT_TRUE(wire::ParseLengthField("0", v));
  EXPECT_TRUE(wire::ParseLengthField("2147483647", v));
  EXPECT_EQ(v, 2147483647);
  EXPECT_TRUE(wire::ParseLengthField("-5", v));
  EXPECT_EQ(v, -5);
  for (const char* bad : {"", "-", "2147483648", "12a", " 1", "+1", "99999999999"}) {
    EXPECT_FALSE(wire::ParseLengthField(bad, v)) << bad;
  }
  EXPECT_EQ(wire::InvalidIntegerMessage("x1"), "'x1' is not a valid integer value");
  EXPECT_EQ(wire::ServerTextLength(Bytes({0x48, 0x69, 0x0A, 0x01})), 3u);
  EXPECT_EQ(wire::ServerTextLength("Yo"), 2u);
}

// Feeds message to a disc list reader cut at every pair of places.
TEST(DiscListReader, ReadsTheNamesWhereverTheBatchesAreCut) {
  std::string list = Bytes({2, 0x2C}) + "22,a.iso,C:\\discs\\b.bin,,";
  for (size_t i = 1; i < list.size(); ++i) {
    for (size_t j = i; j < list.size(); ++j) {
      wire::DiscListReader reader;
      size_t used = 0;
      auto status = wire::DiscListReader::Status::kNeedMore;
      for (const std::string& part : test::SplitAt(list, {i, j})) {
        ASSERT_EQ(status, wire::DiscListReader::Status::kNeedMore);
        status = reader.Feed(part, used);
      }
      ASSERT_EQ(status, wire::DiscListReader::Status::kComplete) << i << "," << j;
      EXPECT_EQ(reader.Names(), (std::vector<std::string>{"a.iso", "C:\\discs\\b.bin", ""}));
    }
  }
}

TEST(DiscListReader, EmptyListExtraBytesAndRefusals) {
  wire::DiscListReader empty;
  size_t used = 0;
  EXPECT_EQ(empty.Feed(Bytes({2, 0x2C, 0x30, 0x2C}) + "tail", used),
            wire::DiscListReader::Status::kComplete);
  EXPECT_TRUE(empty.Names().empty());
  EXPECT_EQ(used, 4u);

  wire::DiscListReader noComma;
  EXPECT_EQ(noComma.Feed(Bytes({2, 0x2C}) + "5,a.iso", used),
            wire::DiscListReader::Status::kComplete);
  EXPECT_EQ(noComma.Names(), std::vector<std::string>{"a.iso"});

  wire::DiscListReader notNumber;
  EXPECT_EQ(notNumber.Feed(Bytes({2, 0x2C}) + "1x,ab,", used), wire::DiscListReader::Status::kBad);
  EXPECT_EQ(notNumber.Error(), "'1x' is not a valid integer value");
  EXPECT_TRUE(notNumber.LengthNotInteger());

  wire::DiscListReader huge;
  EXPECT_EQ(huge.Feed(Bytes({2, 0x2C}) + "2000000000,", used), wire::DiscListReader::Status::kBad);
  EXPECT_FALSE(huge.LengthNotInteger());
  wire::DiscListReader negative;
  EXPECT_EQ(negative.Feed(Bytes({2, 0x2C}) + "-3,", used), wire::DiscListReader::Status::kBad);
  wire::DiscListReader endless;  // digits that never end in a comma
  EXPECT_EQ(endless.Feed(Bytes({2, 0x2C}) + std::string(40, '7'), used),
            wire::DiscListReader::Status::kBad);
}

TEST(SectorReplyReader, SingleSectorAndRunAtEveryCut) {
  std::string sector(2048, 'S');
  std::string single = Bytes({4}) + sector;
  std::string stream = Deflated(std::string(3 * 2048, 'R'));
  std::string run = Bytes({5}) + std::to_string(stream.size()) + ":" + stream;
  for (const std::string* reply : {&single, &run}) {
    for (size_t cut = 1; cut < reply->size(); ++cut) {
      SectorReplyReader reader(3);
      size_t used = 0;
      ASSERT_EQ(reader.Feed(reply->substr(0, cut), used), SectorReplyReader::Status::kNeedMore);
      auto status = reader.Feed(reply->substr(cut) + "more", used);
      EXPECT_EQ(used, reply->size() - cut);
      if (reply == &single) {
        ASSERT_EQ(status, SectorReplyReader::Status::kSector) << cut;
        EXPECT_EQ(reader.Sector(), sector);
      } else {
        ASSERT_EQ(status, SectorReplyReader::Status::kRun) << cut;
        EXPECT_EQ(reader.Stream(), stream);
        EXPECT_EQ(reader.StreamLength(), static_cast<int64_t>(stream.size()));
      }
    }
  }
}

TEST(SectorReplyReader, ShortSectorsEndOnlyWhenTheCallerSaysSo) {
  SectorReplyReader mode0(0);
  size_t used = 0;
  EXPECT_EQ(mode0.Feed(Bytes({4}) + std::string(2048, 'a'), used),
            SectorReplyReader::Status::kNeedMore);
  EXPECT_TRUE(mode0.MayEndShort());
  EXPECT_EQ(mode0.Feed(std::string(292, 'b'), used), SectorReplyReader::Status::kNeedMore);
  EXPECT_TRUE(mode0.MayEndShort());  // 2340 bytes
  EXPECT_EQ(mode0.Feed(std::string(20, 'c'), used), SectorReplyReader::Status::kSector);
  EXPECT_EQ(used, 12u);
  EXPECT_EQ(mode0.Sector().size(), 2352u);

  SectorReplyReader accepted(0);
  accepted.Feed(Bytes({4}) + std::string(2340, 'a'), used);
  EXPECT_EQ(accepted.EndShort(), SectorReplyReader::Status::kSector);
  EXPECT_EQ(accepted.Sector().size(), 2340u);

  SectorReplyReader mode3(3);  // 2048 is what mode 3 expects: complete at once
  EXPECT_EQ(mode3.Feed(Bytes({4}) + std::string(2048, 'a'), used),
            SectorReplyReader::Status::kSector);
}

TEST(SectorReplyReader, RefusesWhatIsNoReplyOrTooLarge) {
  size_t used = 0;
  SectorReplyReader text(3);
  EXPECT_EQ(text.Feed(Bytes({1}) + "hi\n", used), SectorReplyReader::Status::kBad);
  SectorReplyReader notNumber(3);
  EXPECT_EQ(notNumber.Feed(Bytes({5}) + "12x:", used), SectorReplyReader::Status::kBad);
  EXPECT_EQ(notNumber.Error(), "'12x' is not a valid integer value");
  SectorReplyReader huge(3);
  EXPECT_EQ(huge.Feed(Bytes({5}) + "2000000000:", used), SectorReplyReader::Status::kBad);
  EXPECT_NE(huge.Error().find("refused"), std::string::npos);
  SectorReplyReader noColon(3);
  EXPECT_EQ(noColon.Feed(Bytes({5}) + std::string(30, '1'), used), SectorReplyReader::Status::kBad);
  SectorReplyReader negative(3);
  EXPECT_EQ(negative.Feed(Bytes({5}) + "-1:", used), SectorReplyReader::Status::kBad);
}

class RecordingSink final : public DialogBatchSink {
 public:
  void OnServerText(std::string_view text) override { events.push_back("T:" + std::string(text)); }
  void OnDiscName(const std::string& name) override { events.push_back("N:" + name); }
  void OnDiscListEnd() override { events.push_back("END"); }
  void OnListError(const std::string& message) override { events.push_back("E:" + message); }
  void OnListDropped(const std::string& why) override { events.push_back("D:" + why); }
  std::vector<std::string> events;
};

TEST(DialogBatchReader, TextsListsAndPromptsAsTheDialogSeesThem) {
  test::ScriptedConnection connection;
  RecordingSink sink;
  ReadDialogBatch(Bytes({1, 0x48, 0x69, 0x0A, 1, 0x59, 0x6F}), connection, sink);
  EXPECT_EQ(sink.events, (std::vector<std::string>{"T:Hi\n", "T:Yo"}));

  sink.events.clear();  // 02 ends the text; the 2C after it starts no message
  ReadDialogBatch(Bytes({1, 0x48, 0x69, 2, 0x2C, 0x30, 0x2C}), connection, sink);
  EXPECT_EQ(sink.events, (std::vector<std::string>{"T:Hi" + Bytes({2})}));

  sink.events.clear();
  ReadDialogBatch(Bytes({2, 0x2C, 0x30, 0x2C}), connection, sink);
  EXPECT_EQ(sink.events, (std::vector<std::string>{"END"}));

  sink.events.clear();  // a body in three batches: names only after the third
  connection.Script("b.is");
  connection.Script("o,");
  ReadDialogBatch(Bytes({1}) + "Hello\n" + Bytes({2, 0x2C}) + "12,a.iso,", connection, sink);
  EXPECT_EQ(sink.events, (std::vector<std::string>{"T:Hello\n", "N:a.iso", "N:b.iso", "END"}));

  sink.events.clear();
  ReadDialogBatch(Bytes({2, 0x2C}) + "zz,", connection, sink);
  EXPECT_EQ(sink.events, (std::vector<std::string>{"E:'zz' is not a valid integer value"}));

  sink.events.clear();  // too long a list, and one whose body stops coming: dropped
  ReadDialogBatch(Bytes({2, 0x2C}) + "2000000,", connection, sink);
  ReadDialogBatch(Bytes({2, 0x2C}) + "9,a.i", connection, sink);
  ASSERT_EQ(sink.events.size(), 2u);
  EXPECT_EQ(sink.events[0].substr(0, 22), "D:Disc list of 2000000");
  EXPECT_EQ(sink.events[1], "D:Disc list incomplete after 10 s: dropped");

  ReadDialogBatch(Bytes({1}) + "x\n" + Bytes({6, 9, 9}), connection, sink);
  ASSERT_EQ(connection.Sent().size(), 1u);
  EXPECT_EQ(connection.Sent()[0], Bytes({6, 9, 9}));  // the echo, from the prompt on
  sink.events.clear();
  ReadDialogBatch(Bytes({1}), connection, sink);  // a kind byte and no text: nothing
  EXPECT_TRUE(sink.events.empty());
}

}  // namespace
}  // namespace korvane
