// The image source's read-ahead window: 201 consecutive sectors of one read mode from the
// requested one on, served from memory.
//
// The window is a view into a span of the image read in one positioned read: for a
// request (lsn, mode) the span starts at the file offset of lsn in that mode (lsn*2352,
// lsn*2352+12 for mode 1, lsn*2048 or lsn*2352+24 for mode 3) and holds sector k at
// k*stride, where stride is the image's sector pitch (2352 for modes 0 and 1). The first
// span holds just the window; while refills run on sequentially the span doubles, up to
// kMaxSpanSectors, so a refill whose 201 sectors are already in the span reads nothing.
//
// A slot stands for a whole 2352-byte buffer image: its count data bytes followed by the
// buffer's bytes count..2351 as they were when the refill began, which a per-sector fill
// would have left untouched. Only slots whose sector the file supplied in full are keyed;
// a slot past the end of the file is never served.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/base/ImageLayout.h"
#include "core/base/ReadMode.h"
#include "platform/ReadOnlyFile.h"

namespace korvane {

class ReadAheadWindow final {
 public:
  static constexpr uint32_t kSlots = 201;
  static constexpr uint32_t kMaxSpanSectors = 16 * kSlots;

  using Geometry = SectorGeometry;

  // The slot keyed (mode, lsn), or -1. Sets the cursor to the result.
  int32_t FindReadAheadSlot(uint32_t lsn, int32_t mode);

  // Refills the window from lsn onward, out of the span or, when the span does not hold
  // the window, from file; buffer is the sector buffer whose bytes past the mode's count
  // every slot carries. Returns how many slots, from slot 0 on, hold a complete sector.
  uint32_t Refill(platform::ReadOnlyFile& file, const Geometry& geometry, uint32_t lsn,
                  int32_t mode, const uint8_t* buffer);

  // Copies the 2352-byte image of a keyed slot into dest.
  void CopySlot(int32_t slot, uint8_t* dest) const;

  // Forgets every slot: no request matches until the next fill.
  void Clear();

  // The cursor of the last lookup or fill; CDVDinit sets it to 1.
  int32_t ReadAheadCursor = 1;

  // What the window holds, for inspection.
  uint32_t StartLsn() const { return start_; }
  int32_t Mode() const { return mode_; }
  uint32_t ValidSlots() const { return valid_; }
  uint64_t FillCount() const { return fills_; }
  uint64_t FileReads() const { return fileReads_; }

 private:
  bool SpanHolds(uint32_t lsn, const Geometry& geometry) const;
  void ReadSpan(platform::ReadOnlyFile& file, const Geometry& geometry, uint32_t lsn);

  std::unique_ptr<uint8_t[]> span_;
  std::array<uint8_t, kRawSectorSize> tail_{};
  Geometry geometry_{kRawSectorSize, 0, kRawSectorSize};
  uint32_t spanStart_ = 0;    // LSN of the span's first sector
  uint32_t spanSectors_ = 0;  // complete sectors in the span
  uint32_t spanAsked_ = 0;    // sectors the last read asked for
  bool spanAtEnd_ = false;    // the last read reached the end of the file
  uint32_t start_ = 0;        // LSN of slot 0
  int32_t mode_ = 0;
  uint32_t valid_ = 0;
  uint64_t fills_ = 0;
  uint64_t fileReads_ = 0;
};

}  // namespace korvane
