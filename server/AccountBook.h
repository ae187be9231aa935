// Who may log in. Either anyone, or the accounts of a text file with one "user:password"
// per line: the user name runs to the first colon, without the blanks around it, and the
// password is the rest of the line (it may hold colons and blanks). Blank lines and lines
// whose first non-blank is '#' are ignored, a line may end in CR LF, and a UTF-8 byte-order
// mark in front of the file is skipped. A user on several lines has the password of the
// last one. What is legal but unwise gets a warning: an empty password (anyone who knows
// the user name logs in with it), a user on several lines, blanks dropped around a user
// name or kept at either end of a password, and an account that can never log in (a comma
// in the user name, a control byte in the password, or a login longer than kLongestLogin,
// none of which a login carries).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane::server {

// The most bytes of a login (01 05 user , password) the server takes: it reads a connection
// at most this many bytes at once, and a login's password ends with the bytes that came
// with its comma (ClientMessages.h), so a longer one is cut short.
inline constexpr size_t kLongestLogin = 8192;

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

  // What is legal but unwise in the text parsed, each naming its line.
  const std::vector<std::string>& Warnings() const { return warnings_; }

 private:
  void Warn(size_t lineNumber, const std::string& user, std::string_view password,
            std::unordered_map<std::string, size_t>& lineOf);
  void WarnOfBlanks(size_t lineNumber, const std::string& user, std::string_view written,
                    std::string_view password);

  bool anyone_ = false;
  std::unordered_map<std::string, std::string> passwords_;
  std::vector<std::string> warnings_;
};

}  // namespace korvane::server
