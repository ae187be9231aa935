// Messages between the plugin and the disc server. There is no common framing: a receiver
// reads what the connection holds (a batch) from its first byte, the message kind.
//
// Client to server:
//   login            01 05 <user> 2C <password>             (ends with the password)
//   disc selection   03 <index, low eight bits>
//   sector request   04 <mode, low eight bits> <lsn in decimal, 1 to 10 digits>
//   prompt echo      06 <rest of the batch>                   (the dialog's connection)
// Server to client:
//   server text      01 <text, bytes above 0x0A> <one terminator byte 0x00 to 0x0A>
//   disc list        02 2C <L in decimal> 2C <L bytes: names, each followed by 2C>
//   sector reply     04 <2048, 2340 or 2352 bytes>            (no length)
//   compressed run   05 <L in decimal> 3A <L bytes: a zlib stream of whole sectors>
//   disc prompt      06
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/MessageKinds.h"

namespace korvane::wire {

// The login message for user and password.
std::string BuildLogin(const std::string& user, const std::string& password);

// The disc selection for index (low eight bits: 256 is sent as 0).
std::string BuildDiscSelection(int32_t index);

// The sector request for mode (low eight bits) and lsn.
std::string BuildSectorRequest(int32_t mode, uint32_t lsn);

// Converts a length field: an optional "-" and decimal digits whose value fits a signed
// 32-bit integer. False when it is anything else.
bool ParseLengthField(std::string_view text, int64_t& value);

// The conversion failure's message: "'text' is not a valid integer value".
std::string InvalidIntegerMessage(std::string_view text);

// The end of a server text that starts at text[0] (the byte after the kind): the index
// just past the first byte of value 0x0A or below, or text.size() when there is none.
size_t ServerTextLength(std::string_view text);

// Reads one disc list from its kind byte on, over as many batches as its body needs.
class DiscListReader final {
 public:
  enum class Status { kNeedMore, kComplete, kBad };

  // Takes bytes, starting with the list's first byte on the first call. used tells how
  // many of them belong to the list; on kComplete the rest belongs to what follows.
  Status Feed(std::string_view bytes, size_t& used);

  // The names, in the order received (valid once complete).
  const std::vector<std::string>& Names() const { return names_; }
  // Why the list was refused (valid once bad).
  const std::string& Error() const { return error_; }
  // True when it was refused because its length field is no integer (rather than too big).
  bool LengthNotInteger() const { return lengthNotInteger_; }

 private:
  Status Fail(std::string message, bool notInteger = false);
  Status HeadByte(char c);

  enum class Stage { kKind, kComma, kLength, kBody, kDone };
  Stage stage_ = Stage::kKind;
  std::string lengthText_;
  int64_t length_ = 0;
  std::string body_;
  std::vector<std::string> names_;
  std::string error_;
  bool lengthNotInteger_ = false;
};

}  // namespace korvane::wire
