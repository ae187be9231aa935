// Parsing of client messages and encoding of server messages (layouts in WireProtocol.h).
#include "server/WireProtocol.h"

#include <algorithm>

namespace korvane::server {
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

void AppendDecimal(std::vector<uint8_t>& out, size_t value) {
  std::string digits = std::to_string(value);
  out.insert(out.end(), digits.begin(), digits.end());
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

void AppendText(std::vector<uint8_t>& out, std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  out.push_back(protocol::kText);
  for (char c : text) {
    auto byte = static_cast<uint8_t>(c);
    out.push_back(byte <= 0x0A ? uint8_t{' '} : byte);
  }
  out.push_back('\n');
}

bool IsListableName(std::string_view name) {
  // A control byte ends a client's text early at or below 0x0A, and above it would be
  // obeyed by whatever terminal shows the list.
  return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<uint8_t>(c);
    return c == ',' || byte < 0x20 || byte == 0x7F;
  });
}

void AppendDiscList(std::vector<uint8_t>& out, const std::vector<std::string>& names) {
  size_t bodyLength = 0;
  for (const std::string& name : names) bodyLength += name.size() + 1;
  out.push_back(protocol::kDiscList);
  out.push_back(',');
  AppendDecimal(out, bodyLength);
  out.push_back(',');
  for (const std::string& name : names) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(',');
  }
}

void AppendRunHeader(std::vector<uint8_t>& out, size_t streamLength) {
  out.push_back(protocol::kRun);
  AppendDecimal(out, streamLength);
  out.push_back(':');
}

}  // namespace korvane::server
