// Loading and checking of the login accounts.
#include "server/AccountBook.h"
#include "server/ConfigFile.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace korvane::server {

AccountBook AccountBook::Anyone() {
  AccountBook book;
  book.anyone_ = true;
  return book;
}

bool AccountBook::Load(const std::string& path, AccountBook& book, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  if (!file || !(text << file.rdbuf())) {
    error = "cannot read accounts file " + path;
    return false;
  }
  if (!Parse(text.str(), book, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool AccountBook::Parse(std::string_view text, AccountBook& book, std::string& error) {
  book = AccountBook{};
  // Editors on Windows may start a UTF-8 file with a byte-order mark, which is no part of
  // the first user's name.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::unordered_map<std::string, size_t> lineOf;
  size_t lineNumber = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string_view::npos || line[first] == '#') continue;
    const size_t colon = line.find(':');
    const std::string_view written = line.substr(0, colon);
    const std::string user(TrimBlanks(written));
    if (colon == std::string_view::npos || user.empty()) {
      error = "line " + std::to_string(lineNumber) + " is not user:password";
      return false;
    }
    const std::string_view password = line.substr(colon + 1);
    book.WarnOfBlanks(lineNumber, user, written, password);
    book.Warn(lineNumber, user, password, lineOf);
    book.passwords_[user] = std::string(password);
  }
  return true;
}

void AccountBook::Warn(size_t lineNumber, const std::string& user, std::string_view password,
                       std::unordered_map<std::string, size_t>& lineOf) {
  const std::string line = "line " + std::to_string(lineNumber) + ": user " + user;
  if (password.empty()) {
    warnings_.push_back(line + " has an empty password, so anyone who knows the name logs in");
  }
  // A login's user name ends at its first comma and its password at its first control byte.
  if (user.find(',') != std::string::npos) {
    warnings_.push_back(line + " holds a comma, so it can never log in");
  }
  if (std::any_of(password.begin(), password.end(),
                  [](char c) { return static_cast<uint8_t>(c) < 0x20; })) {
    warnings_.push_back(line + " has a control byte in the password, so it can never log in");
  }
  if (2 + user.size() + 1 + password.size() > kLongestLogin) {
    warnings_.push_back(line + " has a password of " + std::to_string(password.size()) +
                        " bytes, and a login of more than " + std::to_string(kLongestLogin) +
                        " bytes with its user name is cut short, so it can never log in");
  }
  const auto [earlier, first] = lineOf.emplace(user, lineNumber);
  if (!first) {
    warnings_.push_back(line + " is also on line " + std::to_string(earlier->second) + "; line " +
                        std::to_string(lineNumber) + " wins");
    earlier->second = lineNumber;
  }
}

// Blanks that an editor or a careless hand leaves are no part of a user name, but they are
// of a password: the one is trimmed and the other told of.
void AccountBook::WarnOfBlanks(size_t lineNumber, const std::string& user, std::string_view written,
                               std::string_view password) {
  const std::string line = "line " + std::to_string(lineNumber) + ": user " + user;
  if (written.size() != user.size()) {
    warnings_.push_back(line + " is written with blanks around it, which are no part of the name");
  }
  if (!password.empty() && (kBlanks.find(password.front()) != std::string_view::npos ||
                            kBlanks.find(password.back()) != std::string_view::npos)) {
    warnings_.push_back(line +
                        " has a password that begins or ends with a blank, which is part "
                        "of it");
  }
}

bool AccountBook::Accepts(std::string_view user, std::string_view password) const {
  if (anyone_) return true;
  const auto found = passwords_.find(std::string(user));
  return found != passwords_.end() && found->second == password;
}

}  // namespace korvane::server
