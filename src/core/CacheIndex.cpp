// Cache index storage and lookup. Each distinct key's first entry is in the hash table;
// a bit per entry records whether it is that first entry, so the lookup can try the entry
// after the previous hit (the next sector of a sequential replay) without hashing.
#include "core/CacheIndex.h"

#include <algorithm>

namespace korvane {

namespace {
constexpr size_t kInitialSlots = 1024;

uint64_t KeyHash(uint32_t lsn, int32_t mode) {
  uint64_t key = (uint64_t{lsn} << 32) | static_cast<uint32_t>(mode);
  key *= 0x9E3779B97F4A7C15ull;
  return key ^ (key >> 29);
}
}  // namespace

void CacheIndex::Clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  firstOfKey_.clear();
  firstOfKey_.shrink_to_fit();
  table_.clear();
  table_.shrink_to_fit();
  count_ = 0;
  keys_ = 0;
  lsnEnd_ = 0;
  lastFound_ = 0;
}

size_t CacheIndex::Slot(uint32_t lsn, int32_t mode) const {
  return static_cast<size_t>(KeyHash(lsn, mode)) & (table_.size() - 1);
}

// The slot that holds the key's first entry, or the empty slot where it would go.
size_t CacheIndex::Probe(uint32_t lsn, int32_t mode) const {
  size_t mask = table_.size() - 1;
  for (size_t slot = Slot(lsn, mode);; slot = (slot + 1) & mask) {
    uint32_t number = table_[slot];
    if (number == 0) return slot;
    const CacheEntry& e = At(number);
    if (e.lsn == lsn && e.mode == mode) return slot;
  }
}

void CacheIndex::Grow() {
  std::vector<uint32_t> old = std::move(table_);
  table_.assign(old.empty() ? kInitialSlots : old.size() * 2, 0);
  for (uint32_t number : old) {
    if (number == 0) continue;
    const CacheEntry& e = At(number);
    table_[Probe(e.lsn, e.mode)] = number;
  }
}

size_t CacheIndex::Add(const CacheEntry& entry) {
  size_t i = count_;
  if ((i >> kBlockBits) == blocks_.size()) {
    blocks_.push_back(std::make_unique<CacheEntry[]>(kBlockSize));
  }
  if ((i >> 6) == firstOfKey_.size()) firstOfKey_.push_back(0);
  blocks_[i >> kBlockBits][i & (kBlockSize - 1)] = entry;
  lsnEnd_ = std::max<uint64_t>(lsnEnd_, uint64_t{entry.lsn} + 1);
  size_t number = ++count_;
  if ((keys_ + 1) * 4 > table_.size() * 3) Grow();
  size_t slot = Probe(entry.lsn, entry.mode);
  if (table_[slot] == 0) {
    table_[slot] = static_cast<uint32_t>(number);
    firstOfKey_[i >> 6] |= uint64_t{1} << (i & 63);
    ++keys_;
  }
  return number;
}

size_t CacheIndex::Find(uint32_t lsn, int32_t mode) const {
  if (count_ == 0) return kNone;
  size_t next = lastFound_ + 1;
  if (next <= count_ && IsFirstOfKey(next)) {
    const CacheEntry& e = At(next);
    if (e.lsn == lsn && e.mode == mode) return lastFound_ = next;
  }
  uint32_t number = table_[Probe(lsn, mode)];
  if (number != 0) lastFound_ = number;
  return number;
}

size_t CacheIndex::MemoryBytes() const {
  return blocks_.size() * kBlockSize * sizeof(CacheEntry) +
         firstOfKey_.capacity() * sizeof(uint64_t) + table_.capacity() * sizeof(uint32_t) +
         blocks_.capacity() * sizeof(blocks_[0]);
}

}  // namespace korvane
