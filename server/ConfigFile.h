// The server's configuration file (--config FILE) read into its settings lines, before they
// are checked as options. Each line is "name = value", the name an option's without its
// dashes; a value may be quoted ("a b" or 'a b') and a list of them is "[a, b]", which may
// run over several lines up to its "]". A bare name is a switch set to true. Blank lines and
// lines whose first non-blank is '#' or ';' are ignored, as is a '#' comment after a blank
// at the end of an unquoted value; a line may end in CR LF, and a UTF-8 byte-order mark in
// front of the file is skipped.
//
// The file may be the wrong one (an accounts file, say), so what it refuses names the line
// and never repeats the line's text: the name, only when it is written as an option's is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::server {

struct ConfigLine {
  size_t number = 0;  // 1 for the file's first line
  std::string name;
  std::vector<std::string> values;  // a bare name's: none
};

// Reads the file at path into lines, in file order; false with error when it is no regular
// file (a FIFO would hold the start), cannot be read, or holds a line that is not
// "name = value".
bool ReadConfigFile(const std::string& path, std::vector<ConfigLine>& lines, std::string& error);

// The blanks a name or a value may be written with.
inline constexpr std::string_view kBlanks = " \t";

// text without the blanks and tabs at either end: how the configuration file and the
// accounts file read a name or a value.
std::string_view TrimBlanks(std::string_view text);

// True when name is written as an option's (lower-case letters, digits and dashes), so that
// it can be repeated in a message without repeating a line's secret.
bool LooksLikeOptionName(std::string_view name);

}  // namespace korvane::server
