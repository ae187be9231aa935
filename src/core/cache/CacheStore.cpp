// Reading one cached sector back from its .Block file or a held run, and storing runs.
#include "core/cache/CacheStore.h"

#include <algorithm>

#include "core/base/ReadMode.h"

namespace korvane {

CacheStore::Stored CacheStore::Read(uint32_t lsn, int32_t mode, SectorBytes& into) {
  const size_t count = SectorBytesForMode(mode);
  const BlockCache::Served served = cache_.ReadIndexed(paths_.BlockPath(), lsn, mode, count, into);
  if (served.indexed) {
    if (count == 0) return Stored::kUnsupported;
    if (served.bytes > 0) return Stored::kServed;
  }
  size_t piece = 0;
  std::lock_guard<std::mutex> hold(heldLock_);
  const HeldRun* run = count == 0 ? nullptr : FindHeld(lsn, mode, piece);
  if (!run) return served.indexed ? Stored::kGone : Stored::kAbsent;
  const size_t start = piece * run->pieceSize;
  into.Write(0, run->bytes.data() + start, std::min(count, run->bytes.size() - start));
  return Stored::kServed;
}

bool CacheStore::Holds(uint32_t lsn, int32_t mode) {
  if (cache_.Holds(paths_.BlockPath(), lsn, mode)) return true;
  size_t piece = 0;
  std::lock_guard<std::mutex> hold(heldLock_);
  return FindHeld(lsn, mode, piece) != nullptr;
}

void CacheStore::Store(const SectorRun& run) {
  if (run.pieceSize == 0 || run.length == 0) return;
  const size_t pieces = (run.length + run.pieceSize - 1) / run.pieceSize;
  if (Append(run.lsn, run.mode, run.bytes, run.length, run.pieceSize) >= pieces) {
    return;
  }
  std::lock_guard<std::mutex> hold(heldLock_);
  HeldRun& slot = held_[nextHeld_];
  nextHeld_ = 1 - nextHeld_;
  slot.files = paths_.BlockPath();
  slot.lsn = run.lsn;
  slot.mode = run.mode;
  slot.pieceSize = run.pieceSize;
  slot.bytes.assign(run.bytes, run.bytes + run.length);
}

const CacheStore::HeldRun* CacheStore::FindHeld(uint32_t lsn, int32_t mode, size_t& piece) {
  for (const HeldRun& run : held_) {
    if (run.bytes.empty() || run.mode != mode || lsn < run.lsn) continue;
    const uint64_t k = lsn - run.lsn;
    if (k * run.pieceSize >= run.bytes.size() || run.files != paths_.BlockPath()) continue;
    piece = static_cast<size_t>(k);
    return &run;
  }
  return nullptr;
}

}  // namespace korvane
