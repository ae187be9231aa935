// The .map text index of a block cache. Layout: no header; one line per stored sector, in
// append order, three decimal integers separated by "/" and ended by CR LF:
//
//   lsn/mode/offset\r\n        e.g. "16/3/4096\r\n"
//
// lsn is written as a signed 32-bit decimal (LSN 4294967295 is "-1"), mode as a signed
// 32-bit decimal, offset as a decimal of 0 or more (64-bit; below 2^31 exactly as a 32-bit
// writer would write it). No spaces, no leading zeros, no blank lines.
//
// Reading is tolerant: a line ended by LF alone, or by CR alone, ends there; a line that
// is not exactly three decimal integers in range, or whose offset is negative, is skipped.
// Whatever follows the last CR LF is a line torn by a crash during an append: it is never
// an entry, and the next append cuts it off, so that the file holds only complete lines
// for every reader. No line is ever held in memory: the parser keeps three numbers.
//
// An entry is used only while its bytes are there: one whose sector (as long as its mode's
// size) the .Block file does not hold in full, or whose place a later line uses again (the
// .Block was cut short or deleted and written anew), is dropped when the index is loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/CacheIndex.h"

namespace korvane {

class MapParser final {
 public:
  // What one byte did to the line being read.
  enum class Step { kNeedMore, kComplete, kBad };

  // Reads one byte. kComplete: a well-formed line just ended and Entry() holds it;
  // kBad: a malformed line just ended and was skipped; kNeedMore otherwise.
  Step Feed(char c);

  // The entry of the line that Feed just reported complete.
  const CacheEntry& Entry() const { return entry_; }

  // True when bytes of an unfinished line are pending (the input ended mid-line).
  bool InLine() const { return inLine_; }

 private:
  Step EndLine();
  bool EndField();

  static constexpr int kMaxDigits = 19;
  CacheEntry entry_{};
  int64_t fields_[3] = {};
  int field_ = 0;
  int digits_ = 0;
  uint64_t value_ = 0;
  bool negative_ = false;
  bool bad_ = false;
  bool inLine_ = false;
  bool afterCR_ = false;
};

// Counts of one load.
struct MapLoadResult {
  bool opened = false;
  size_t entries = 0;         // well-formed lines added to the index
  size_t skipped = 0;         // malformed lines
  size_t stale = 0;           // well-formed lines whose bytes are not there
  bool tornLastLine = false;  // bytes follow the last CR LF
};

// Reads the .map file at path and adds, in file order, every well-formed complete line
// whose sector the .Block file of blockSize bytes (-1: there is none) holds in full and
// whose place no later line uses.
MapLoadResult LoadMapFile(const std::string& path, int64_t blockSize, CacheIndex& index);

// Reads up to count bytes at offset into dest; returns how many were read.
using ReadAtFn = std::function<size_t(uint64_t offset, char* dest, size_t count)>;

// The length of a file of size bytes up to and including its last CR LF (0 when it has
// none): the part that holds complete lines.
uint64_t CompleteLinesLength(const ReadAtFn& readAt, uint64_t size);

// The line "lsn/mode/offset" + CR LF for an entry, appended to out.
void AppendMapLine(const CacheEntry& entry, std::string& out);

}  // namespace korvane
