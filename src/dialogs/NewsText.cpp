// News conversion. Each step is one pass over the text, which gives what deleting and
// inserting in place would give, without its quadratic cost on a large batch.
#include "dialogs/NewsText.h"

namespace korvane {

namespace {
std::string RemoveTags(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '<') {
      out += text[i++];
      continue;
    }
    size_t close = text.find('>', i + 1);
    if (close == std::string::npos) break;
    i = close + 1;
    if (i < text.size() && text[i] == '\r') i += 2;
  }
  return out;
}

std::string TabsToLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (size_t i = 0; i < text.size();) {
    // The last character is never examined, so a final TAB stays.
    if (i + 1 < text.size() && text[i] == '\t') {
      while (i < text.size() && text[i] == '\t') ++i;
      out += "\r\n";
      continue;
    }
    out += text[i++];
  }
  return out;
}

std::vector<std::string> CutLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string buffer;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == '\r') {
      lines.push_back(buffer);
      lines.emplace_back();
      buffer.clear();
      i += 2;
    } else {
      buffer += text[i++];
    }
  }
  return lines;
}
}  // namespace

std::vector<std::string> ConvertNewsBatch(const std::string& batch) {
  size_t head = batch.find("<head>");
  std::string text = head == std::string::npos ? batch : batch.substr(head);
  text = TabsToLineBreaks(RemoveTags(text));
  text.erase(0, 17);
  text += "\r\n";
  return CutLines(text);
}

std::string BuildNewsRequest(const std::string& host) {
  return "GET /dmes.php HTTP/1.1\r\nHost: " + host +
         "\r\nUser-Agent: Mozilla/5.0 (Windows; U; Windows NT 5.1; en-US; rv:1.7.10) "
         "Gecko/20050716 Firefox/1.0.6\r\nConnection: close\r\n\r\n";
}

}  // namespace korvane
