// Building and parsing of client messages.
#include "protocol/ClientMessages.h"

#include <algorithm>

namespace korvane::wire {

std::string BuildLogin(std::string_view user, std::string_view password) {
  std::string message = {static_cast<char>(protocol::kLogin),
                         static_cast<char>(protocol::kLoginSecond)};
  message += user;
  message += ',';
  message += password;
  return message;
}

std::string BuildDiscSelection(int32_t index) {
  return std::string{static_cast<char>(protocol::kDiscSelection),
                     static_cast<char>(static_cast<uint32_t>(index) & 0xFF)};
}

std::string BuildSectorRequest(int32_t mode, uint32_t lsn) {
  std::string message{static_cast<char>(protocol::kSectorRequest),
                      static_cast<char>(static_cast<uint32_t>(mode) & 0xFF)};
  message += std::to_string(lsn);
  return message;
}

std::string BuildSizeQuery() {
  return std::string(1, static_cast<char>(protocol::kSizeQuery));
}

std::string BuildTailRequest() {
  return std::string(1, static_cast<char>(protocol::kTailRequest));
}

namespace {

bool IsDigit(uint8_t byte) {
  return byte >= '0' && byte <= '9';
}

ParseStatus Bad(ClientMessage& out, BadInput bad, size_t length) {
  out.bad = bad;
  out.length = length;
  return ParseStatus::kBad;
}

ParseStatus ParseLogin(const uint8_t* data, size_t size, ClientMessage& out) {
  if (size < 2) return ParseStatus::kNeedMore;
  if (data[1] != protocol::kLoginSecond) return Bad(out, BadInput::kNotLogin, size);
  const uint8_t* begin = data + 2;
  const uint8_t* end = data + size;
  const uint8_t* comma = std::find(begin, end, uint8_t{','});
  if (comma == end) return ParseStatus::kNeedMore;
  // A client may send its next message (the disc selection that opening a disc sends) so
  // soon that both arrive together: the password ends at the first control byte, which
  // no typed password holds, and what follows is read as the next message.
  const uint8_t* stop = std::find_if(comma + 1, end, [](uint8_t byte) { return byte < 0x20; });
  out.user = std::string_view(reinterpret_cast<const char*>(begin), comma - begin);
  out.password = std::string_view(reinterpret_cast<const char*>(comma + 1), stop - comma - 1);
  out.length = static_cast<size_t>(stop - data);
  return ParseStatus::kComplete;
}

ParseStatus ParseSectorRequest(const uint8_t* data, size_t size, ClientMessage& out) {
  if (size < 3) return ParseStatus::kNeedMore;
  out.mode = data[1];
  size_t digits = 0;
  while (2 + digits < size && IsDigit(data[2 + digits])) ++digits;
  if (digits == 0) return Bad(out, BadInput::kNoDigits, 2);
  if (digits > protocol::kMaxLsnDigits) return Bad(out, BadInput::kTooManyDigits, 2 + digits);
  uint64_t value = 0;
  for (size_t i = 0; i < digits; ++i) value = value * 10 + (data[2 + i] - '0');
  if (value > UINT32_MAX) return Bad(out, BadInput::kLsnTooLarge, 2 + digits);
  out.lsn = static_cast<uint32_t>(value);
  out.length = 2 + digits;
  return ParseStatus::kComplete;
}

}  // namespace

ParseStatus ParseClientMessage(const uint8_t* data, size_t size, ClientMessage& out) {
  out = ClientMessage{};
  if (size == 0) return ParseStatus::kNeedMore;
  out.kind = data[0];
  switch (out.kind) {
    case protocol::kLogin:
      return ParseLogin(data, size, out);
    case protocol::kDiscSelection:
      if (size < 2) return ParseStatus::kNeedMore;
      out.discIndex = data[1];
      out.length = 2;
      return ParseStatus::kComplete;
    case protocol::kSectorRequest:
      return ParseSectorRequest(data, size, out);
    case protocol::kPromptEcho:
      out.length = size;
      return ParseStatus::kComplete;
    case protocol::kSizeQuery:
    case protocol::kTailRequest:
      out.length = 1;
      return ParseStatus::kComplete;
    default:
      return Bad(out, BadInput::kUnknownKind, size);
  }
}

const char* DescribeBadInput(BadInput bad) {
  switch (bad) {
    case BadInput::kNone:
      return "no error";
    case BadInput::kUnknownKind:
      return "unknown message kind";
    case BadInput::kNotLogin:
      return "malformed login";
    case BadInput::kNoDigits:
      return "sector request without a sector number";
    case BadInput::kTooManyDigits:
      return "sector number longer than ten digits";
    case BadInput::kLsnTooLarge:
      return "sector number above 4294967295";
  }
  return "bad input";
}

}  // namespace korvane::wire
