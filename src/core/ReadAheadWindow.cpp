// Read-ahead window: one read per fill, O(1) lookup. Slot i always holds lsn start+i
// (modulo 2^32, as the keys are unsigned 32-bit), so the first slot with a given key is
// found by subtraction instead of a scan.
#include "core/ReadAheadWindow.h"

#include <cstring>

namespace korvane {

int32_t ReadAheadWindow::FindReadAheadSlot(uint32_t lsn, int32_t mode) {
  uint32_t slot = lsn - start_;
  ReadAheadCursor = (mode == mode_ && slot < valid_) ? static_cast<int32_t>(slot) : -1;
  return ReadAheadCursor;
}

uint32_t ReadAheadWindow::Refill(platform::ReadOnlyFile& file, const Geometry& geometry,
                                 uint32_t lsn, int32_t mode, const uint8_t* buffer) {
  geometry_ = geometry;
  start_ = lsn;
  mode_ = mode;
  ++fills_;
  std::memcpy(tail_.data(), buffer, kRawSectorSize);
  uint64_t offset = static_cast<uint64_t>(lsn) * geometry.stride + geometry.skip;
  size_t span = (kSlots - 1) * geometry.stride + geometry.count;
  size_t got = file.ReadAt(offset, span_.data(), span);
  valid_ = got < geometry.count ? 0 : static_cast<uint32_t>((got - geometry.count) / geometry.stride + 1);
  ReadAheadCursor = kSlots;
  return valid_;
}

void ReadAheadWindow::CopySlot(int32_t slot, uint8_t* dest) const {
  std::memcpy(dest, span_.data() + static_cast<size_t>(slot) * geometry_.stride, geometry_.count);
  std::memcpy(dest + geometry_.count, tail_.data() + geometry_.count,
              kRawSectorSize - geometry_.count);
}

void ReadAheadWindow::Clear() { valid_ = 0; }

}  // namespace korvane
