// Loading and checking of the login accounts.
#include "server/AccountBook.h"

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
  size_t lineNumber = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos || line.front() == '#') continue;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      error = "line " + std::to_string(lineNumber) + " is not user:password";
      return false;
    }
    const std::string user(line.substr(0, colon));
    if (colon + 1 == line.size()) {
      book.warnings_.push_back("line " + std::to_string(lineNumber) + ": user " + user +
                               " has an empty password, so anyone who knows the name logs in");
    }
    book.passwords_[user] = std::string(line.substr(colon + 1));
  }
  return true;
}

bool AccountBook::Accepts(std::string_view user, std::string_view password) const {
  if (anyone_) return true;
  const auto found = passwords_.find(std::string(user));
  return found != passwords_.end() && found->second == password;
}

}  // namespace korvane::server
