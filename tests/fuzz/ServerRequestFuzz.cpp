// libFuzzer program for the disc server's reader of client messages: a received stream
// is read message by message, as a session does, until it needs more or is refused.
#include <cstddef>
#include <cstdint>

#include "protocol/ClientMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvane::wire::ParseStatus;
  size_t at = 0;
  while (at < size) {
    korvane::wire::ClientMessage message;
    ParseStatus status = korvane::wire::ParseClientMessage(data + at, size - at, message);
    if (status == ParseStatus::kNeedMore) break;
    // A refused message still consumes what it names, and always moves the reader on.
    if (message.length == 0 || message.length > size - at) __builtin_trap();
    at += message.length;
  }
  return 0;
}
