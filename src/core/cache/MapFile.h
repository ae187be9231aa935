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
  bool InLine() const { return line_.inLine; }

 private:
  static constexpr int kMaxDigits = 19;

  // The line being read: the fields it has ended, the digits of the one it is in.
  struct Line {
    int64_t fields[3] = {};
    int field = 0;
    int digits = 0;
    uint64_t value = 0;
    bool negative = false;
    bool bad = false;
    bool inLine = false;
    bool afterCR = false;
  };

  // A walk through one block: where it is, and a copy of the line that the compiler keeps
  // in registers while the loop runs. Each step is small and inlined.
  struct Cursor {
    const char* p;
    const char* end;
    Line line;

    // Ends the field being read: false when it has no digits, is a fourth, or is too large.
    bool EndField() {
      if (line.digits == 0 || line.field > 2) return false;
      // value has at most 19 digits, so it fits; the sign makes it an int64 in range.
      if (line.value > static_cast<uint64_t>(INT64_MAX)) return false;
      line.fields[line.field++] =
          line.negative ? -static_cast<int64_t>(line.value) : static_cast<int64_t>(line.value);
      line.digits = 0;
      line.value = 0;
      line.negative = false;
      return true;
    }
    // Nothing more of a malformed line matters: it is skipped to its end as soon as it is
    // found malformed (and at the start of a block, if it was found so in an earlier one).
    void SkipLine() {
      line.bad = true;
      while (p != end && *p != '\r' && *p != '\n') ++p;
    }
    // The digits of a field from first, in a tight loop.
    void Digits(char first);
    // A CR or LF: true when it ends a line that holds anything.
    bool EndsLine(char c);
    // The line just ended, into entry when it is three decimal integers in range with an
    // offset not negative; the next line begins.
    bool TakeLine(CacheEntry& entry);
    // Any other byte: a sign, a separator, or what makes the line malformed.
    void Other(char c);
  };

  CacheEntry entry_{};
  Line line_;
};

inline void MapParser::Cursor::Digits(char first) {
  line.afterCR = false;
  line.inLine = true;
  const char* const start = p - 1;
  uint64_t v = line.value * 10 + static_cast<uint64_t>(first - '0');
  while (p != end && static_cast<unsigned char>(*p - '0') < 10) {
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    ++p;
  }
  const auto run = static_cast<size_t>(p - start);
  if (run > static_cast<size_t>(kMaxDigits - line.digits)) {
    SkipLine();
  } else {
    line.digits += static_cast<int>(run);
    line.value = v;
  }
}

inline bool MapParser::Cursor::EndsLine(char c) {
  const bool lfOfCRLF = line.afterCR && c == '\n';
  line.afterCR = c == '\r';
  // The LF of a CR LF, or a blank line, ends nothing.
  return !lfOfCRLF && line.inLine;
}

inline bool MapParser::Cursor::TakeLine(CacheEntry& entry) {
  const int64_t* f = line.fields;
  const bool whole = !line.bad && EndField() && line.field == 3 && f[0] >= INT32_MIN &&
                     f[0] <= int64_t{UINT32_MAX} && f[1] >= INT32_MIN && f[1] <= INT32_MAX &&
                     f[2] >= 0;
  if (whole) entry = CacheEntry{static_cast<int32_t>(f[1]), static_cast<uint32_t>(f[0]), f[2]};
  const bool afterCR = line.afterCR;
  line = Line{};
  line.afterCR = afterCR;
  return whole;
}

inline void MapParser::Cursor::Other(char c) {
  line.afterCR = false;
  line.inLine = true;
  if (c == '-' && line.digits == 0 && !line.negative) {
    line.negative = true;
  } else if (c != '/' || !EndField()) {
    SkipLine();
  }
}

template <typename OnEntry>
size_t MapParser::Feed(const char* data, size_t n, OnEntry&& onEntry) {
  Cursor at{data, data + n, line_};
  size_t malformed = 0;
  if (at.line.bad) at.SkipLine();
  while (at.p != at.end) {
    const char c = *at.p++;
    if (static_cast<unsigned char>(c - '0') < 10) {
      at.Digits(c);
    } else if (c == '\r' || c == '\n') {
      CacheEntry entry{};
      if (!at.EndsLine(c)) continue;
      if (at.TakeLine(entry)) {
        onEntry(entry);
      } else {
        ++malformed;
      }
    } else {
      at.Other(c);
    }
  }
  line_ = at.line;
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
