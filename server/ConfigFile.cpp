// Reading and splitting of the configuration file's lines.
#include "server/ConfigFile.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace korvane::server {
namespace {

// The file's text, handed out a line at a time with its number.
struct LineReader {
  std::string_view text;
  size_t number = 0;

  // The next line without its end of line; false at the end of the text.
  bool Next(std::string_view& line) {
    if (text.empty()) return false;
    const size_t end = text.find('\n');
    line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++number;
    return true;
  }
};

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

// True when what follows a value is nothing but blanks and perhaps a '#' comment.
bool OnlyACommentLeft(std::string_view rest) {
  rest = TrimBlanks(rest);
  return rest.empty() || rest.front() == '#';
}

// One value, trimmed, without its quotes; false when a quote is left open or text follows it.
bool TakeValue(std::string_view text, std::string& value) {
  text = TrimBlanks(text);
  if (text.empty() || !IsQuote(text.front())) {
    value = std::string(text);
    return true;
  }
  const size_t close = text.find(text.front(), 1);
  if (close == std::string_view::npos || close + 1 != text.size()) return false;
  value = std::string(text.substr(1, close - 1));
  return true;
}

// The end of a list that starts at text's front: the ']' outside quotes, or npos.
size_t ListEnd(std::string_view text) {
  char quote = 0;
  for (size_t i = 1; i < text.size(); ++i) {
    if (quote != 0) {
      if (text[i] == quote) quote = 0;
    } else if (IsQuote(text[i])) {
      quote = text[i];
    } else if (text[i] == ']') {
      return i;
    }
  }
  return std::string_view::npos;
}

// Splits the inside of a list at the commas outside quotes; false when an item is empty or
// badly quoted.
bool SplitList(std::string_view inside, std::vector<std::string>& values) {
  char quote = 0;
  size_t from = 0;
  for (size_t i = 0; i <= inside.size(); ++i) {
    if (i < inside.size() && quote != 0) {
      if (inside[i] == quote) quote = 0;
    } else if (i < inside.size() && IsQuote(inside[i])) {
      quote = inside[i];
    } else if (i == inside.size() || inside[i] == ',') {
      std::string value;
      if (TrimBlanks(inside.substr(from, i - from)).empty() ||
          !TakeValue(inside.substr(from, i - from), value)) {
        return false;
      }
      values.push_back(std::move(value));
      from = i + 1;
    }
  }
  return true;
}

// The values after a line's '=': a list, which may go on over the lines after it in rest,
// a quoted value, or the text up to a '#' that follows a blank.
bool TakeValues(std::string_view text, LineReader& rest, std::vector<std::string>& values) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '[') {
    std::string list(text);
    size_t end = ListEnd(list);
    for (std::string_view more; end == std::string::npos && rest.Next(more);) {
      list += ' ';
      list += TrimBlanks(more);
      end = ListEnd(list);
    }
    return end != std::string::npos && OnlyACommentLeft(std::string_view(list).substr(end + 1)) &&
           SplitList(std::string_view(list).substr(1, end - 1), values);
  }
  if (!text.empty() && IsQuote(text.front())) {
    const size_t close = text.find(text.front(), 1);
    values.emplace_back();
    return close != std::string_view::npos && OnlyACommentLeft(text.substr(close + 1)) &&
           TakeValue(text.substr(0, close + 1), values.back());
  }
  // A '#' inside a value ("/srv/disc#2") is part of it.
  size_t comment = text.find('#');
  while (comment != std::string_view::npos && comment > 0 &&
         kBlanks.find(text[comment - 1]) == std::string_view::npos) {
    comment = text.find('#', comment + 1);
  }
  values.emplace_back(TrimBlanks(text.substr(0, comment)));
  return true;
}

// Parses text as the file holds it into lines; false with error naming the bad line.
bool ParseConfigText(std::string_view text, std::vector<ConfigLine>& lines, std::string& error) {
  lines.clear();
  // Editors on Windows may start a UTF-8 file with a byte-order mark, which is no part of
  // the first option's name.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  LineReader reader{text};
  for (std::string_view raw; reader.Next(raw);) {
    const std::string_view line = TrimBlanks(raw);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    ConfigLine parsed;
    parsed.number = reader.number;
    const size_t equals = line.find('=');
    parsed.name = std::string(TrimBlanks(line.substr(0, equals)));
    const bool valuesOk = equals == std::string_view::npos ||
                          TakeValues(line.substr(equals + 1), reader, parsed.values);
    if (parsed.name.empty() || !valuesOk) {
      error = "line " + std::to_string(parsed.number) + " is not name = value";
      return false;
    }
    lines.push_back(std::move(parsed));
  }
  return true;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool LooksLikeOptionName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return true;
}

bool ReadConfigFile(const std::string& path, std::vector<ConfigLine>& lines, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code failure;
  const fs::file_status status = fs::status(fs::path(path), failure);
  if (failure) {
    error = "cannot read --config file " + path + ": " + failure.message();
    return false;
  }
  // Opening a FIFO would wait for a writer, with not a word said.
  if (!fs::is_regular_file(status)) {
    error = "--config " + path + " is no regular file";
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (!file.is_open() || file.bad()) {
    error = "cannot read --config file " + path;
    return false;
  }
  if (!ParseConfigText(text, lines, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace korvane::server
