// The one sector buffer whose address CDVDgetBuffer hands to the host. Every source fills
// it from its first byte; bytes past what a read supplies keep what they held.
//
// A null read writes the three bytes "nil" at its start. Whether the buffer stands for
// null mode is tracked apart from those bytes, so a real sector that happens to begin with
// "nil" is still handed out; any later write over the first bytes ends null mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/base/ReadMode.h"

namespace korvane {

class SectorBytes final {
 public:
  static constexpr size_t kSize = kRawSectorSize;

  uint8_t* Data() { return bytes_; }
  const uint8_t* Data() const { return bytes_; }

  // Copies count bytes (at most kSize - offset) into the buffer at offset.
  void Write(size_t offset, const void* source, size_t count) {
    if (offset >= kSize || count == 0) return;
    if (count > kSize - offset) count = kSize - offset;
    std::memcpy(bytes_ + offset, source, count);
    NoteWritten(offset, count);
  }

  // Records that count bytes at offset were written through Data() directly.
  void NoteWritten(size_t offset, size_t count) {
    if (count > 0 && offset < kNullMarkSize) nullMode_ = false;
  }

  // Writes the null-mode mark "nil" into bytes 0 to 2; the rest keeps its content.
  void MarkNull() {
    std::memcpy(bytes_, "nil", kNullMarkSize);
    nullMode_ = true;
  }

  // True from a null read until a write over the first bytes.
  bool InNullMode() const { return nullMode_; }

 private:
  static constexpr size_t kNullMarkSize = 3;
  uint8_t bytes_[kSize] = {};
  bool nullMode_ = false;
};

}  // namespace korvane
