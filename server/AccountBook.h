// Who may log in. Either anyone, or the accounts of a text file with one "user:password"
// per line: the user name runs to the first colon and the password is the rest of the line
// (it may hold colons). Blank lines and lines starting with '#' are ignored, and a line may
// end in CR LF. An empty password is accepted, with a warning: anyone who knows the user
// name logs in with it.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane::server {

class AccountBook final {
 public:
  // A book that accepts any user name and password.
  static AccountBook Anyone();

  // Reads the accounts file at path into book; false with error (naming the line) when the
  // file cannot be read or a line is not "user:password".
  static bool Load(const std::string& path, AccountBook& book, std::string& error);

  // Parses accounts text as a file holds it; false with error naming the bad line.
  static bool Parse(std::string_view text, AccountBook& book, std::string& error);

  // True when user may log in with password.
  bool Accepts(std::string_view user, std::string_view password) const;

  // The number of accounts (none in a book that accepts anyone).
  size_t Count() const { return passwords_.size(); }

  // What is legal but unwise in the text parsed: accounts with an empty password.
  const std::vector<std::string>& Warnings() const { return warnings_; }

 private:
  bool anyone_ = false;
  std::unordered_map<std::string, std::string> passwords_;
  std::vector<std::string> warnings_;
};

}  // namespace korvane::server
