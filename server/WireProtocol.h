// The bytes the disc server and its clients exchange over TCP. There is no common framing:
// the first byte of a message is its kind, and a receiver reads what it has from there.
//
// Client to server:
//   login            01 05 user 2C password   ends with the bytes received or at a control
//                                             byte (below 0x20) that starts the next message;
//                                             the user name runs to the first comma
//   disc selection   03 index                 index in the disc list, low eight bits
//   sector request   04 mode digits           LSN in 1 to 10 ASCII digits (at most
//                                             4294967295); ends at a non-digit or with the
//                                             bytes received
//   prompt echo      06 anything              to the end of the bytes received
//
// Server to client:
//   text             01 text 0A               text bytes above 0x0A, one terminator byte
//   disc list        02 2C L 2C body          body: each name followed by 2C; L its length
//                                             in decimal
//   single sector    04 sector                2048, 2340 or 2352 bytes
//   compressed run   05 L 3A stream           a zlib stream of L bytes (L in decimal) that
//                                             inflates to whole sectors of the request's mode
//   disc prompt      06
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/MessageKinds.h"

namespace korvane::server {

enum class ParseStatus { kComplete, kNeedMore, kBad };

// Why received bytes are not a message.
enum class BadInput {
  kNone,
  kUnknownKind,    // the first byte is no client message kind
  kNotLogin,       // 01 followed by something other than 05
  kNoDigits,       // a sector request whose mode is followed by a non-digit
  kTooManyDigits,  // a sector request with more than ten digits
  kLsnTooLarge,    // a sector request whose number is above 4294967295
};

// One message parsed from the front of the received bytes. The views point into them.
struct ClientMessage {
  uint8_t kind = 0;
  size_t length = 0;  // bytes the message takes, or bytes to drop when bad
  BadInput bad = BadInput::kNone;
  std::string_view user;
  std::string_view password;
  uint8_t discIndex = 0;
  uint8_t mode = 0;
  uint32_t lsn = 0;
};

// Parses the message at the front of data[0, size): kComplete or kBad with out filled
// (out.length > 0), or kNeedMore when the bytes so far are the start of a message.
ParseStatus ParseClientMessage(const uint8_t* data, size_t size, ClientMessage& out);

// A short description of why bytes are bad, for server texts.
const char* DescribeBadInput(BadInput bad);

// Appends a server text: text with every byte at or below 0x0A replaced by a space, then a
// single "\n" (a trailing newline of text is not doubled).
void AppendText(std::vector<uint8_t>& out, std::string_view text);

// True when name can appear in the disc list: no comma and no control byte (below 0x20,
// or DEL).
bool IsListableName(std::string_view name);

// Appends the disc list of names, all of which must be listable.
void AppendDiscList(std::vector<uint8_t>& out, const std::vector<std::string>& names);

// Appends the header of a compressed run whose zlib stream is streamLength bytes.
void AppendRunHeader(std::vector<uint8_t>& out, size_t streamLength);

}  // namespace korvane::server
