// The bytes that open each message between the disc server and its clients, in both
// directions, and the limits that both sides hold to. There is no common framing: a
// receiver reads a message from its first byte, its kind, and the same byte means one thing
// to the server and another to a client. Every message's layout is in docs/wire-format.md;
// the plugin, the server and the tools all take the kinds and limits from here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::protocol {

// Client to server.
inline constexpr uint8_t kLogin = 0x01;  // then kLoginSecond, user, ',' and password
inline constexpr uint8_t kLoginSecond = 0x05;
inline constexpr uint8_t kDiscSelection = 0x03;  // then the index's low eight bits
inline constexpr uint8_t kSectorRequest = 0x04;  // then the mode and the LSN in decimal
inline constexpr uint8_t kPromptEcho = 0x06;     // the dialog's echo of a prompt batch
inline constexpr uint8_t kSizeQuery = 0x07;      // the mount asks every listed disc's size
inline constexpr uint8_t kTailRequest = 0x08;    // the mount asks the partial last sector

// Server to client.
inline constexpr uint8_t kText = 0x01;          // text, then one byte at or below kTextEnd
inline constexpr uint8_t kDiscList = 0x02;      // ',' L ',' then L bytes of names and commas
inline constexpr uint8_t kSingleSector = 0x04;  // one sector of the request's size
inline constexpr uint8_t kRun = 0x05;           // L ':' then a zlib stream of L bytes
inline constexpr uint8_t kPrompt = 0x06;        // the server asks which disc

// A server text ends at its first byte at or below this one.
inline constexpr uint8_t kTextEnd = 0x0A;
// The LSN of a sector request has at most this many digits (its value at most 2^32 - 1).
inline constexpr size_t kMaxLsnDigits = 10;
// A length field longer than this cannot be a 32-bit value and is refused unread.
inline constexpr size_t kMaxLengthFieldChars = 11;
// The longest disc list body a client takes: far more than any folder of names needs.
inline constexpr int64_t kMaxDiscListBytes = 1 << 20;
// The most discs a list holds: the selection carries a disc's index in one byte.
inline constexpr size_t kMaxListedDiscs = 256;

// The sizes a single-sector reply can have, shortest first.
inline constexpr size_t kSectorSizes[] = {2048, 2340, 2352};
inline constexpr size_t kLongestSector = 2352;

// The size of a single-sector reply to a request in mode (0: 2352, 1: 2340, 3: 2048), or 0
// for a mode that no server serves.
constexpr size_t ReplySectorBytes(int32_t mode) {
  return mode == 0 ? 2352 : mode == 1 ? 2340 : mode == 3 ? 2048 : 0;
}

}  // namespace korvane::protocol
