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
// is not exactly three decimal integers in range, or whose offset is negative, is skipped;
// text after the last line end (a line torn by a crash during an append) is dropped. No
// line is ever held in memory: the parser keeps three numbers, whatever the input.
#pragma once

#include <cstddef>
#include <cstdint>
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
  bool tornLastLine = false;  // the file ended mid-line
};

// Reads the .map file at path and adds every well-formed line to index, in file order.
MapLoadResult LoadMapFile(const std::string& path, CacheIndex& index);

// The line "lsn/mode/offset" + CR LF for an entry, appended to out.
void AppendMapLine(const CacheEntry& entry, std::string& out);

// What must be written before the next line so that it starts a line of its own, given
// the file's last two bytes (fewer when the file is shorter): nothing after a line end;
// LF after a lone CR; after a torn line, "/" + CR LF, which ends it as a malformed line so
// that no reader ever takes its cut-off numbers for an entry.
std::string MapLineEndRepair(const char* lastBytes, size_t count);

}  // namespace korvane
