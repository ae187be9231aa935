// The .map text index of a block cache. Layout: no header; one line per stored sector, in
// append order, three decimal integers separated by "/" and ended by CR LF:
//
//   lsn/mode/offset\r\n        e.g. "16/3/4096\r\n"
//
// lsn is written as a signed 32-bit decimal (LSN 4294967295 is "-1"), mode as a signed
// 32-bit decimal, offset as a decimal of 0 or more (64-bit; below 2^31 exactly as a 32-bit
// writer would write it). No spaces, no leading zeros, no blank lines.
//
// Reading is tolerant: a line ends at LF (with or without CR before it) and at a CR that is
// not the file's last byte, since files edited or copied by other tools often end their
// lines in LF alone; a line that is not exactly three decimal integers in range, or whose
// offset is negative, is skipped. Whatever follows the last line end, and a CR as the very
// last byte (half of a CR LF), is a line torn by a crash during an append: it is never an
// entry, and the next append cuts it off, so that the file holds only complete lines for
// every reader. A complete line is never cut; the lines appended are always CR LF. No line
// is ever held in memory: the parser keeps three numbers.
//
// An entry is used only while its bytes are there: one whose sector (as long as its mode's
// size) the .Block file does not hold in full, or whose place a later line uses again (the
// .Block was cut short or deleted and written anew), is dropped when the index is loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/cache/CacheIndex.h"
#include "platform/ReadOnlyFile.h"

namespace korvane {

// The one reader of the format. It walks a block of bytes in a tight loop, keeping the
// line it is in across blocks, so however the input is cut into blocks (one byte each, or
// a line's CR at the end of one block and its LF at the start of the next) the same lines
// come out.
class MapParser final {
 public:
  // What one byte did to the line being read.
  enum class Step { kNeedMore, kComplete, kBad };

  // Reads the n bytes at data, which follow those read before: calls onEntry(const
  // CacheEntry&) for each well-formed line they end, in order, and returns how many
  // malformed lines they end (each skipped).
  template <typename OnEntry>
  size_t Feed(const char* data, size_t n, OnEntry&& onEntry);

  // Reads one byte. kComplete: a well-formed line just ended and Entry() holds it;
  // kBad: a malformed line just ended and was skipped; kNeedMore otherwise.
  Step Feed(char c);

  // The entry of the line that Feed(char) just reported complete.
  const CacheEntry& Entry() const { return entry_; }

  // True when bytes of an unfinished line are pending (the input ended mid-line).
  bool InLine() const { return inLine_; }

 private:
  static constexpr int kMaxDigits = 19;
  CacheEntry entry_{};
  // The line being read: the fields it has ended, the digits of the one it is in.
  int64_t fields_[3] = {};
  int field_ = 0;
  int digits_ = 0;
  uint64_t value_ = 0;
  bool negative_ = false;
  bool bad_ = false;
  bool inLine_ = false;
  bool afterCR_ = false;
};

template <typename OnEntry>
size_t MapParser::Feed(const char* data, size_t n, OnEntry&& onEntry) {
  // The state lives in locals (registers) while the loop runs, and goes back at the end.
  const char* p = data;
  const char* const end = data + n;
  int64_t fields[3] = {fields_[0], fields_[1], fields_[2]};
  int field = field_, digits = digits_;
  uint64_t value = value_;
  bool negative = negative_, bad = bad_, inLine = inLine_, afterCR = afterCR_;
  size_t malformed = 0;
  // Ends the field being read: false when it has no digits, is a fourth, or is too large.
  auto endField = [&]() -> bool {
    if (digits == 0 || field > 2) return false;
    // value has at most 19 digits, so it fits; the sign makes it an int64 in range.
    if (value > static_cast<uint64_t>(INT64_MAX)) return false;
    fields[field++] = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
    digits = 0;
    value = 0;
    negative = false;
    return true;
  };
  // Nothing more of a malformed line matters: it is skipped to its end as soon as it is
  // found malformed (and at the start, if it was found so in an earlier block).
  auto skipLine = [&]() {
    bad = true;
    while (p != end && *p != '\r' && *p != '\n') ++p;
  };
  if (bad) skipLine();
  while (p != end) {
    const char c = *p++;
    if (static_cast<unsigned char>(c - '0') < 10) {
      // The digits of a field, in a tight loop.
      afterCR = false;
      inLine = true;
      const char* const first = p - 1;
      uint64_t v = value * 10 + static_cast<uint64_t>(c - '0');
      while (p != end && static_cast<unsigned char>(*p - '0') < 10) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        ++p;
      }
      const auto run = static_cast<size_t>(p - first);
      if (run > static_cast<size_t>(kMaxDigits - digits)) {
        skipLine();
      } else {
        digits += static_cast<int>(run);
        value = v;
      }
    } else if (c == '\r' || c == '\n') {
      const bool lfOfCRLF = afterCR && c == '\n';
      afterCR = c == '\r';
      if (lfOfCRLF || !inLine) continue;  // the LF of a CR LF, or a blank line
      // A line ends: three decimal integers in range, the offset not negative.
      if (!bad && endField() && field == 3 && fields[0] >= INT32_MIN &&
          fields[0] <= int64_t{UINT32_MAX} && fields[1] >= INT32_MIN && fields[1] <= INT32_MAX &&
          fields[2] >= 0) {
        onEntry(CacheEntry{static_cast<int32_t>(fields[1]), static_cast<uint32_t>(fields[0]),
                           fields[2]});
      } else {
        ++malformed;
      }
      field = digits = 0;
      value = 0;
      negative = bad = inLine = false;
    } else {
      afterCR = false;
      inLine = true;
      if (c == '-' && digits == 0 && !negative) {
        negative = true;
      } else if (c != '/' || !endField()) {
        skipLine();
      }
    }
  }
  for (int i = 0; i < 3; ++i) fields_[i] = fields[i];
  field_ = field;
  digits_ = digits;
  value_ = value;
  negative_ = negative;
  bad_ = bad;
  inLine_ = inLine;
  afterCR_ = afterCR;
  return malformed;
}

// Counts of one load.
struct MapLoadResult {
  bool opened = false;
  size_t entries = 0;         // well-formed lines added to the index
  size_t skipped = 0;         // malformed lines
  size_t stale = 0;           // well-formed lines whose bytes are not there
  bool tornLastLine = false;  // bytes follow the last line end
  uint64_t end = 0;           // where the last complete line read ends
};

// The loader reads the file in blocks of this many bytes.
constexpr size_t kMapReadBlockBytes = size_t{1} << 20;

// Reads the .map file at path and adds, in file order, every well-formed complete line
// whose sector the .Block file of blockSize bytes (-1: there is none) holds in full and
// whose place no later line uses.
MapLoadResult LoadMapFile(const std::string& path, int64_t blockSize, CacheIndex& index);

// The size of the .Block file beside a .map (-1: there is none), asked for once the lines
// are read: a program appending meanwhile writes a sector's bytes before its line.
using BlockSizeFn = std::function<int64_t()>;

// LoadMapFile over an open .map, from byte from (which starts a line) to its last line end.
MapLoadResult LoadMapLines(platform::ReadOnlyFile& file, uint64_t from,
                           const BlockSizeFn& blockSize, CacheIndex& index);

// Reads up to count bytes at offset into dest; returns how many were read.
using ReadAtFn = std::function<size_t(uint64_t offset, char* dest, size_t count)>;

// The length of a file of size bytes up to and including its last line end (0 when it has
// none): the part that holds complete lines.
uint64_t CompleteLinesLength(const ReadAtFn& readAt, uint64_t size);

// The line "lsn/mode/offset" + CR LF for an entry, appended to out.
void AppendMapLine(const CacheEntry& entry, std::string& out);

}  // namespace korvane
