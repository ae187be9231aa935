// The server's framed messages byte for byte, the framing rules every reader shares (length
// fields, their bounds, text ends) and the disc list reader with its input cut into batches
// at every pair of places.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedConnection.h"
#include "protocol/ServerMessages.h"

namespace korvane {
namespace {

using test::Bytes;

std::string Built(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(ServerMessages, TextsListsAndRunHeaders) {
  std::vector<uint8_t> out;
  wire::AppendText(out, "two\nlines\tand\n");
  EXPECT_EQ(Built(out), "\x01two lines and\n");
  out.clear();
  wire::AppendDiscList(out, {"a.iso", "Disc B.bin"});
  EXPECT_EQ(Built(out), "\x02,17,a.iso,Disc B.bin,");
  out.clear();
  wire::AppendDiscList(out, {});
  EXPECT_EQ(Built(out), "\x02,0,");
  out.clear();
  wire::AppendRunHeader(out, 8);
  EXPECT_EQ(Built(out),
            "\x05"
            "8:");
  EXPECT_TRUE(wire::IsListableName("x y.iso"));
  EXPECT_FALSE(wire::IsListableName("x,y.iso"));
  EXPECT_FALSE(wire::IsListableName("x\ty.iso"));
  // The last control byte is refused, the first printable one (the blank above) is not.
  EXPECT_FALSE(wire::IsListableName("x\x1fy.iso"));
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

// A length at its bound is taken, one past it is refused at its separator: before any body
// byte has come, so nothing the length announces is ever held.
TEST(WireMessages, LengthsAreRefusedPastTheirBoundAsSoonAsTheirFieldEnds) {
  const int64_t bound = protocol::kMaxDiscListBytes;
  wire::LengthField atBound(',', bound, "Disc list");
  for (char c : std::to_string(bound)) ASSERT_EQ(atBound.Feed(c), wire::ParseStatus::kNeedMore);
  ASSERT_EQ(atBound.Feed(','), wire::ParseStatus::kComplete);
  EXPECT_EQ(atBound.Value(), bound);

  const std::string head = Bytes({2, 0x2C}) + std::to_string(bound + 1) + ",";
  wire::DiscListReader past;
  size_t used = 0;
  EXPECT_EQ(past.Feed(head + "names that never come", used), wire::ParseStatus::kBad);
  EXPECT_EQ(used, head.size());
  EXPECT_EQ(past.Error(), "Disc list of 1048577 bytes refused (at most 1048576)");
  EXPECT_FALSE(past.LengthNotInteger());

  wire::LengthField run(':', 100, "Compressed run");
  for (char c : std::string("101")) run.Feed(c);
  EXPECT_EQ(run.Feed(':'), wire::ParseStatus::kBad);
  EXPECT_EQ(run.Error(), "Compressed run of 101 bytes refused (at most 100)");
}

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

}  // namespace
}  // namespace korvane
