// Read-ahead window: at most one read per refill, O(1) lookup. Slot i always holds lsn
// start+i (modulo 2^32, as the keys are unsigned 32-bit), so the first slot with a given
// key is found by subtraction instead of a scan.
#include "core/source/ReadAheadWindow.h"

#include <algorithm>
#include <cstring>

namespace korvane {

int32_t ReadAheadWindow::FindReadAheadSlot(uint32_t lsn, int32_t mode) {
  uint32_t slot = lsn - start_;
  ReadAheadCursor = (mode == mode_ && slot < valid_) ? static_cast<int32_t>(slot) : -1;
  return ReadAheadCursor;
}

bool ReadAheadWindow::SpanHolds(uint32_t lsn, const Geometry& geometry) const {
  uint32_t into = lsn - spanStart_;
  if (spanSectors_ == 0 || geometry.stride != geometry_.stride || geometry.skip != geometry_.skip ||
      geometry.count != geometry_.count || into >= spanSectors_) {
    return false;
  }
  // The whole window must be there, unless the file ends inside it.
  return spanAtEnd_ || spanSectors_ - into >= kSlots;
}

void ReadAheadWindow::ReadSpan(platform::ReadOnlyFile& file, const Geometry& geometry,
                               uint32_t lsn) {
  uint32_t into = lsn - spanStart_;
  bool sequential = spanSectors_ != 0 && !spanAtEnd_ && geometry.stride == geometry_.stride &&
                    geometry.skip == geometry_.skip && into <= spanSectors_;
  uint32_t sectors = sequential ? std::min(spanAsked_ * 2, kMaxSpanSectors) : kSlots;
  if (!span_) span_ = std::make_unique<uint8_t[]>(size_t{kMaxSpanSectors} * kRawSectorSize);
  uint64_t offset = static_cast<uint64_t>(lsn) * geometry.stride + geometry.skip;
  size_t bytes = (sectors - 1) * geometry.stride + geometry.count;
  size_t got = file.ReadAt(offset, span_.get(), bytes);
  ++fileReads_;
  geometry_ = geometry;
  spanStart_ = lsn;
  spanAsked_ = sectors;
  spanAtEnd_ = got < bytes;
  spanSectors_ = got < geometry.count
                     ? 0
                     : static_cast<uint32_t>((got - geometry.count) / geometry.stride + 1);
}

uint32_t ReadAheadWindow::Refill(platform::ReadOnlyFile& file, const Geometry& geometry,
                                 uint32_t lsn, int32_t mode, const uint8_t* buffer) {
  if (!SpanHolds(lsn, geometry)) ReadSpan(file, geometry, lsn);
  start_ = lsn;
  mode_ = mode;
  ++fills_;
  std::memcpy(tail_.data() + geometry.count, buffer + geometry.count,
              kRawSectorSize - geometry.count);
  valid_ = std::min(kSlots, spanSectors_ - std::min(spanSectors_, lsn - spanStart_));
  ReadAheadCursor = kSlots;
  return valid_;
}

void ReadAheadWindow::CopySlot(int32_t slot, uint8_t* dest) const {
  size_t sector = static_cast<size_t>(start_ - spanStart_) + static_cast<size_t>(slot);
  std::memcpy(dest, span_.get() + sector * geometry_.stride, geometry_.count);
  std::memcpy(dest + geometry_.count, tail_.data() + geometry_.count,
              kRawSectorSize - geometry_.count);
}

void ReadAheadWindow::Clear() {
  valid_ = 0;
  spanSectors_ = 0;
}

}  // namespace korvane
