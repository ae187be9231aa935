// What the dialog reads from the network: its connection's batches as the remote disc
// panel sees them, and the news page converted batch by batch, quirks included.
#include <gtest/gtest.h>

#include "ScriptedConnection.h"
#include "dialogs/DialogBatchReader.h"
#include "dialogs/NewsText.h"

namespace korvane {
namespace {

using Lines = std::vector<std::string>;
using test::Bytes;

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
  DialogBatchReader reader;
  RecordingSink sink;
  auto read = [&](const std::string& batch) {
    connection.Script(batch);
    reader.Receive(connection, sink);
  };
  read(Bytes({1, 0x48, 0x69, 0x0A, 1, 0x59, 0x6F}));
  EXPECT_EQ(sink.events, (std::vector<std::string>{"T:Hi\n", "T:Yo"}));

  sink.events.clear();  // 02 ends the text; the 2C after it starts no message
  read(Bytes({1, 0x48, 0x69, 2, 0x2C, 0x30, 0x2C}));
  EXPECT_EQ(sink.events, (std::vector<std::string>{"T:Hi" + Bytes({2})}));

  sink.events.clear();  // a list ends its batch
  read(Bytes({2, 0x2C, 0x30, 0x2C, 1}) + "lost");
  EXPECT_EQ(sink.events, (std::vector<std::string>{"END"}));

  sink.events.clear();  // a body in three batches: names only after the third
  read(Bytes({1}) + "Hello\n" + Bytes({2, 0x2C}) + "12,a.iso,");
  read("b.is");
  EXPECT_EQ(sink.events, (std::vector<std::string>{"T:Hello\n"}));
  read("o,");
  EXPECT_EQ(sink.events, (std::vector<std::string>{"T:Hello\n", "N:a.iso", "N:b.iso", "END"}));

  sink.events.clear();
  read(Bytes({2, 0x2C}) + "zz,");
  EXPECT_EQ(sink.events, (std::vector<std::string>{"E:'zz' is not a valid integer value"}));

  sink.events.clear();  // too long a list, and one whose connection closes: dropped
  read(Bytes({2, 0x2C}) + "2000000,");
  read(Bytes({2, 0x2C}) + "9,a.i");
  reader.Closed(sink);
  ASSERT_EQ(sink.events.size(), 2u);
  EXPECT_EQ(sink.events[0].substr(0, 22), "D:Disc list of 2000000");
  EXPECT_EQ(sink.events[1], "D:Disc list cut off by the server: dropped");

  read(Bytes({1}) + "x\n" + Bytes({6, 9, 9}));
  ASSERT_EQ(connection.Sent().size(), 1u);
  EXPECT_EQ(connection.Sent()[0], Bytes({6, 9, 9}));  // the echo, from the prompt on
  sink.events.clear();
  read(Bytes({1}));  // a kind byte and no text: nothing
  EXPECT_TRUE(sink.events.empty());
}

TEST(NewsText, OneLinePageWithTabs) {
  std::string batch =
      "HTTP/1.1 200 OK\r\n\r\n<html><head><title>Seventeen chars!!</title></head><body>first\t"
      "second\t\tthird</body></html>";
  EXPECT_EQ(ConvertNewsBatch(batch), (Lines{"first", "", "second", "", "third", ""}));
}

TEST(NewsText, TagsOnLinesOfTheirOwnTakeTheirLineEnds) {
  std::string batch =
      "<head>\r\n<title>\r\nabcd</title>\r\n</head>\r\n<body>\r\nxyz\r\nfoo\tbarba\r\n</body>\r\n";
  // "abcd" + "xyz" CR LF "foo" CR LF "barba" CR LF; 17 characters go, "ba" stays.
  EXPECT_EQ(ConvertNewsBatch(batch), (Lines{"ba", "", "", ""}));
}

TEST(NewsText, ShortBatchesAndTheEdges) {
  EXPECT_EQ(ConvertNewsBatch("<head>short</head>"), (Lines{"", ""}));
  EXPECT_EQ(ConvertNewsBatch(""), (Lines{"", ""}));
  // A TAB as the very last character stays at the end of the last line.
  EXPECT_EQ(ConvertNewsBatch("<head>12345678901234567one\ttwo\t"), (Lines{"one", "", "two\t", ""}));
  // No "<head>": the header lines stay, less their first 17 characters.
  EXPECT_EQ(ConvertNewsBatch("HTTP/1.1 200 OK\r\nServer: x\r\n"), (Lines{"Server: x", "", "", ""}));
  // A LF with no CR before it stays inside its line; a tag cut off by the batch's end
  // drops the rest of the batch.
  EXPECT_EQ(ConvertNewsBatch("<head>12345678901234567a\nb<b"), (Lines{"a\nb", ""}));
  EXPECT_EQ(ConvertNewsBatch("<head><<<>12345678901234567x"), (Lines{"x", ""}));
}

TEST(NewsText, RequestIsFiveLines) {
  EXPECT_EQ(BuildNewsRequest("localhost"),
            "GET /dmes.php HTTP/1.1\r\nHost: localhost\r\nUser-Agent: Mozilla/5.0 (Windows; U; "
            "Windows NT 5.1; en-US; rv:1.7.10) Gecko/20050716 Firefox/1.0.6\r\nConnection: "
            "close\r\n\r\n");
}

}  // namespace
}  // namespace korvane
