// Cache index storage and lookup. Each distinct key's first entry is in the hash table;
// a bit per entry records whether it is that first entry, so the lookup can try the entry
// after the previous hit (the next sector of a sequential replay) without hashing.
#include "core/cache/CacheIndex.h"

#include <algorithm>

namespace korvane {

namespace {
constexpr size_t kInitialSlots = 64;
constexpr size_t kFirstBlock = 64;  // entries the first block starts with
// How many entries ahead a bulk add asks for the table slot it will need.
constexpr size_t kPrefetchAhead = 16;

// Fibonacci hashing: the top bits of the key times 2^64 / golden ratio spread sequential
// and strided LSNs evenly over the table.
uint64_t KeyHash(uint32_t lsn, int32_t mode) {
  uint64_t key = (uint64_t{static_cast<uint32_t>(mode)} << 32) | lsn;
  return key * 0x9E3779B97F4A7C15ull;
}

void PrefetchForWrite(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 1);
#else
  (void)address;
#endif
}
}  // namespace

void CacheIndex::Clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  capacity_ = 0;
  firstOfKey_.clear();
  firstOfKey_.shrink_to_fit();
  table_.clear();
  table_.shrink_to_fit();
  slotShift_ = 64;
  count_ = 0;
  staged_ = 0;
  keys_ = 0;
  lsnEnd_ = 0;
  lastFound_ = 0;
}

size_t CacheIndex::Slot(uint32_t lsn, int32_t mode) const {
  return static_cast<size_t>(KeyHash(lsn, mode) >> slotShift_);
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

void CacheIndex::Rehash(size_t slots) {
  std::vector<uint32_t> old = std::move(table_);
  table_.assign(slots, 0);
  slotShift_ = 64;
  for (size_t n = slots; n > 1; n >>= 1) --slotShift_;
  const size_t mask = slots - 1;
  // The keys are distinct: each goes to the first empty slot from its own.
  for (uint32_t number : old) {
    if (number == 0) continue;
    const CacheEntry& e = At(number);
    size_t slot = Slot(e.lsn, e.mode);
    while (table_[slot] != 0) slot = (slot + 1) & mask;
    table_[slot] = number;
  }
}

void CacheIndex::MakeRoom(size_t entries) {
  while (capacity_ < entries) {
    if (capacity_ < kBlockSize) {
      // The first block doubles up to full size, taking what it holds along.
      size_t size = std::min(kBlockSize, std::max({kFirstBlock, capacity_ * 2, entries}));
      std::unique_ptr<CacheEntry[]> block(new CacheEntry[size]);
      if (blocks_.empty()) {
        blocks_.push_back(std::move(block));
      } else {
        std::copy_n(blocks_[0].get(), count_ + staged_, block.get());
        blocks_[0] = std::move(block);
      }
      capacity_ = size;
    } else {
      blocks_.push_back(std::unique_ptr<CacheEntry[]>(new CacheEntry[kBlockSize]));
      capacity_ += kBlockSize;
    }
  }
}

void CacheIndex::Reserve(size_t count) {
  if (capacity_ < kBlockSize) MakeRoom(std::min(count_ + staged_ + count, kBlockSize));
}

// Makes entry i, already in place, findable unless an earlier entry has its key.
void CacheIndex::Insert(size_t i) {
  const CacheEntry& entry = Place(i);
  lsnEnd_ = std::max<uint64_t>(lsnEnd_, uint64_t{entry.lsn} + 1);
  size_t slot = Probe(entry.lsn, entry.mode);
  if (table_[slot] == 0) {
    table_[slot] = static_cast<uint32_t>(i + 1);
    firstOfKey_[i >> 6] |= uint64_t{1} << (i & 63);
    ++keys_;
  }
}

size_t CacheIndex::Add(const CacheEntry& entry) {
  staged_ = 0;
  size_t i = count_;
  if (i == capacity_) MakeRoom(i + 1);
  Place(i) = entry;
  if ((i >> 6) == firstOfKey_.size()) firstOfKey_.push_back(0);
  if ((keys_ + 1) * 4 > table_.size() * 3) {
    Rehash(table_.empty() ? kInitialSlots : table_.size() * 2);
  }
  Insert(i);
  return ++count_;
}

size_t CacheIndex::AddStaged(const std::vector<bool>& keep) {
  const size_t first = count_;
  size_t last = first;
  for (size_t k = 0; k < staged_; ++k) {
    if (k < keep.size() && keep[k]) {
      if (last != first + k) Place(last) = Place(first + k);
      ++last;
    }
  }
  staged_ = 0;
  // Whole blocks past the last entry kept are let go (the first may be partly filled
  // only while it is the one block).
  size_t blocks = (last + kBlockSize - 1) >> kBlockBits;
  if (blocks_.size() > 1 && blocks < blocks_.size()) {
    blocks_.resize(blocks);
    capacity_ = blocks * kBlockSize;
  }
  // The table grows once, to room for every added entry a key of its own.
  const size_t added = last - first;
  size_t slots = table_.empty() ? kInitialSlots : table_.size();
  while ((keys_ + added) * 4 > slots * 3) slots *= 2;
  if (slots != table_.size()) Rehash(slots);
  const size_t words = (last + 63) / 64;
  if (words > firstOfKey_.size()) {
    firstOfKey_.reserve(words);
    firstOfKey_.resize(words, 0);
  }
  // The slot an entry a few ahead will need is fetched while this one goes in.
  for (size_t i = first; i < last; ++i) {
    if (i + kPrefetchAhead < last) {
      const CacheEntry& ahead = Place(i + kPrefetchAhead);
      PrefetchForWrite(&table_[Slot(ahead.lsn, ahead.mode)]);
    }
    Insert(i);
  }
  count_ = last;
  return added;
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
  return capacity_ * sizeof(CacheEntry) + firstOfKey_.capacity() * sizeof(uint64_t) +
         table_.capacity() * sizeof(uint32_t) + blocks_.capacity() * sizeof(blocks_[0]);
}

}  // namespace korvane
