// The news conversion, batch by batch, quirks included.
#include <gtest/gtest.h>

#include "core/NewsText.h"

namespace korvane {
namespace {

using Lines = std::vector<std::string>;

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
