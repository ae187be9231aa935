// The client's messages byte for byte as the plugin builds them, and as the server parses
// them: where each one ends when nothing frames it, what waits for more, what is refused and
// how much of it is dropped, and every built message read back to the same fields.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "ScriptedConnection.h"
#include "protocol/ClientMessages.h"
#include "protocol/ServerMessages.h"

namespace korvane::wire {
namespace {

using test::Bytes;

TEST(WireMessages, AreBuiltByteForByte) {
  EXPECT_EQ(BuildLogin("", ""), Bytes({1, 5, 0x2C}));
  EXPECT_EQ(BuildLogin("ann", "p,w"), Bytes({1, 5}) + "ann,p,w");
  EXPECT_EQ(BuildDiscSelection(300), Bytes({3, 0x2C}));
  EXPECT_EQ(BuildDiscSelection(256), Bytes({3, 0}));
  EXPECT_EQ(BuildDiscSelection(-1), Bytes({3, 0xFF}));
  EXPECT_EQ(BuildSectorRequest(0, 0), Bytes({4, 0, 0x30}));
  EXPECT_EQ(BuildSectorRequest(3, 16), Bytes({4, 3, 0x31, 0x36}));
  EXPECT_EQ(BuildSectorRequest(3, 4294967295u), Bytes({4, 3}) + "4294967295");
  EXPECT_EQ(BuildSectorRequest(263, 1), Bytes({4, 7, '1'}));
  EXPECT_EQ(BuildSizeQuery(), Bytes({7}));
  EXPECT_EQ(BuildTailRequest(), Bytes({8}));
}

ParseStatus Parse(std::string_view bytes, ClientMessage& message) {
  return ParseClientMessage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), message);
}

TEST(ClientMessages, EachKindTakesExactlyItsBytes) {
  ClientMessage m;
  ASSERT_EQ(Parse("\x01\x05"
                  "bob,pa,ss",
                  m),
            ParseStatus::kComplete);
  EXPECT_EQ(m.user, "bob");
  EXPECT_EQ(m.password, "pa,ss");
  EXPECT_EQ(m.length, 11u);
  // A disc selection sent right after the login and arriving with it is a message of its own.
  const std::string loginThenSelection(
      "\x01\x05"
      "demo,korvane\x03\x01",
      16);
  ASSERT_EQ(Parse(loginThenSelection, m), ParseStatus::kComplete);
  EXPECT_EQ(m.password, "korvane");
  EXPECT_EQ(m.length, 14u);
  ASSERT_EQ(Parse(std::string("\x03\x00\x04", 3), m), ParseStatus::kComplete);
  EXPECT_EQ(m.discIndex, 0);
  EXPECT_EQ(m.length, 2u);
  // A request ends at the next message's kind byte, or where the bytes end.
  ASSERT_EQ(Parse("\x04\x03"
                  "16\x04\x03"
                  "2",
                  m),
            ParseStatus::kComplete);
  EXPECT_EQ(m.mode, 3);
  EXPECT_EQ(m.lsn, 16u);
  EXPECT_EQ(m.length, 4u);
  ASSERT_EQ(Parse("\x04\xFF"
                  "4294967295",
                  m),
            ParseStatus::kComplete);
  EXPECT_EQ(m.mode, 255);
  EXPECT_EQ(m.lsn, 4294967295u);
  ASSERT_EQ(Parse("\x06"
                  "any\x01"
                  "thing",
                  m),
            ParseStatus::kComplete);
  EXPECT_EQ(m.length, 10u);
}

TEST(ClientMessages, UnfinishedMessagesWaitForMore) {
  for (std::string_view start : {"", "\x01", "\x01\x05",
                                 "\x01\x05"
                                 "user",
                                 "\x03", "\x04", "\x04\x03"}) {
    ClientMessage m;
    EXPECT_EQ(Parse(start, m), ParseStatus::kNeedMore) << testing::PrintToString(start);
  }
}

TEST(ClientMessages, MalformedBytesAreBadWithTheirLength) {
  const struct {
    std::string bytes;
    BadInput bad;
    size_t length;
  } cases[] = {
      {"\x04\x03"
       "A1",
       BadInput::kNoDigits, 2},
      {"\x04\x03"
       "12345678901\x03",
       BadInput::kTooManyDigits, 13},
      {"\x04\x03"
       "4294967296",
       BadInput::kLsnTooLarge, 12},
      {"\x04\x03"
       "9999999999",
       BadInput::kLsnTooLarge, 12},
      {"\x01\x07"
       "bob,pw",
       BadInput::kNotLogin, 8},
      {std::string("\x00\x04\x03"
                   "1",
                   4),
       BadInput::kUnknownKind, 4},
      {"\x02,5,", BadInput::kUnknownKind, 4},
      {"\x05"
       "12",
       BadInput::kUnknownKind, 3},
      {"16", BadInput::kUnknownKind, 2},
  };
  for (const auto& c : cases) {
    ClientMessage m;
    EXPECT_EQ(Parse(c.bytes, m), ParseStatus::kBad) << testing::PrintToString(c.bytes);
    EXPECT_EQ(m.bad, c.bad) << testing::PrintToString(c.bytes);
    EXPECT_EQ(m.length, c.length) << testing::PrintToString(c.bytes);
  }
}

// The mount's own messages are one byte each, what follows them a message of its own; a
// server that knows one not answers it with the text it writes for any unknown kind, which
// the mount tells from every other.
TEST(ClientMessages, TheMountsQueriesTakeOneByteEachAndAnOlderServersAnswerIsKnown) {
  const std::string stream = BuildSizeQuery() + BuildTailRequest() + BuildSectorRequest(3, 16) +
                             BuildTailRequest();
  const auto* data = reinterpret_cast<const uint8_t*>(stream.data());
  const uint8_t kinds[] = {protocol::kSizeQuery, protocol::kTailRequest,
                           protocol::kSectorRequest, protocol::kTailRequest};
  ClientMessage m;
  size_t at = 0;
  for (uint8_t kind : kinds) {
    ASSERT_EQ(ParseClientMessage(data + at, stream.size() - at, m), ParseStatus::kComplete);
    EXPECT_EQ(m.kind, kind);
    at += m.length;
  }
  EXPECT_EQ(m.length, 1u);
  EXPECT_EQ(at, stream.size());
  ASSERT_EQ(Parse("\x09\x04\x03"
                  "1",
                  m),
            ParseStatus::kBad);
  EXPECT_TRUE(IsUnknownKindText("Ignored " + std::to_string(m.length) +
                                " bytes: " + DescribeBadInput(m.bad) + "\n"));
  for (const char* other :
       {"Ignored 2 bytes: malformed login", "Ignored 3 bytes: the rest of a sector request",
        "Tail request refused: no disc selected", "Ignored bytes: unknown message kind",
        "Ignored 1 bytes: unknown message kinds", "Ignored 1 bytes: unknown"}) {
    EXPECT_FALSE(IsUnknownKindText(other)) << other;
  }
}

// What the plugin sends in one write (a login and the selection that opening a disc sends
// at once, requests one after the other) is read back by the server message by message,
// each to the fields it was built from.
TEST(ClientMessages, WhatThePluginBuildsTheServerReadsBack) {
  const std::string stream = BuildLogin("ann", "pa,ss") + BuildDiscSelection(258) +
                             BuildSectorRequest(3, 4294967295u) + BuildSectorRequest(256, 0) +
                             BuildSectorRequest(1, 16);
  const auto* data = reinterpret_cast<const uint8_t*>(stream.data());
  ClientMessage m;
  size_t at = 0;
  auto next = [&] {
    EXPECT_EQ(ParseClientMessage(data + at, stream.size() - at, m), ParseStatus::kComplete);
    at += m.length;
    return m.kind;
  };
  ASSERT_EQ(next(), protocol::kLogin);
  EXPECT_EQ(m.user, "ann");
  EXPECT_EQ(m.password, "pa,ss");
  ASSERT_EQ(next(), protocol::kDiscSelection);
  EXPECT_EQ(m.discIndex, 2);
  ASSERT_EQ(next(), protocol::kSectorRequest);
  EXPECT_EQ(m.mode, 3);
  EXPECT_EQ(m.lsn, 4294967295u);
  ASSERT_EQ(next(), protocol::kSectorRequest);
  EXPECT_EQ(m.mode, 0);
  EXPECT_EQ(m.lsn, 0u);
  ASSERT_EQ(next(), protocol::kSectorRequest);
  EXPECT_EQ(m.mode, 1);
  EXPECT_EQ(m.lsn, 16u);
  EXPECT_EQ(at, stream.size());
}

}  // namespace
}  // namespace korvane::wire
