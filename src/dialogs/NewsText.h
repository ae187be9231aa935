// The news panel's conversion of a batch of a fetched web page into plain lines. Each
// batch is converted on its own, nothing carried over:
//   1. from the first "<head>" on (letter case counts), when there is one;
//   2. every tag "<...>" removed, and a CR right after a removed tag with the character
//      after it; a "<" with no ">" after it drops the rest of the batch;
//   3. each run of TABs becomes CR LF, except a TAB that is the batch's last character;
//   4. the first 17 characters removed, and CR LF appended;
//   5. cut at each CR (which takes the character after it along): every line is followed
//      by an empty line. A LF that no CR precedes stays inside its line.
// Character references are not decoded; characters are single bytes.
#pragma once

#include <string>
#include <vector>

namespace korvane {

// The lines that one batch adds to the news box, in order.
std::vector<std::string> ConvertNewsBatch(const std::string& batch);

// The request for the news page, five CR LF lines: GET /dmes.php, Host, User-Agent,
// Connection: close, and an empty line.
std::string BuildNewsRequest(const std::string& host);

}  // namespace korvane
