// The messages a client sends the disc server, built by the plugin and the tools and parsed
// by the server: login (01 05 user 2C password), disc selection (03 index), sector request
// (04 mode digits), the dialog's prompt echo (06 ...), and the mount's size query (07) and
// tail request (08). Layouts, and where each one ends when nothing frames it, are in
// docs/wire-format.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Framing.h"
#include "protocol/MessageKinds.h"

namespace korvane::wire {

// The login message for user and password.
std::string BuildLogin(std::string_view user, std::string_view password);

// The disc selection for index (low eight bits: 256 is sent as 0).
std::string BuildDiscSelection(int32_t index);

// The sector request for mode (low eight bits) and lsn.
std::string BuildSectorRequest(int32_t mode, uint32_t lsn);

// The size query: one byte, answered with the disc sizes text (ServerMessages.h).
std::string BuildSizeQuery();

// The tail request: one byte, answered with a run of one sector, the selected image's bytes
// after its last whole sector padded with zero bytes.
std::string BuildTailRequest();

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

}  // namespace korvane::wire
