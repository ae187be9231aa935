// The index of the current disc's block cache: entries {mode, lsn, offset} numbered from 1
// in load and append order, with any number of entries and 64-bit offsets. The same
// (lsn, mode) may appear more than once; the earliest entry is the one that counts.
//
// Memory: entries live in blocks of 65,536 (16 bytes each). The first block starts small
// and doubles up to that size (a load that knows it will fill it takes it whole at once);
// every later block is full size from the start, so a large index is never copied to grow.
// An open-addressing table of 32-bit entry numbers, at most three quarters full, holds the
// first entry of each key: about 24 bytes per entry in all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace korvane {

struct CacheEntry {
  int32_t mode;    // read mode of the request that fetched the sector
  uint32_t lsn;    // logical sector number
  int64_t offset;  // byte offset of the sector's first byte in the .Block file
};

class CacheIndex final {
 public:
  static constexpr size_t kNone = 0;

  // Empties the index and releases its memory.
  void Clear();

  // Number of entries in use.
  size_t Count() const { return count_; }

  // One more than the highest LSN held; 0 when the index is empty.
  uint64_t LsnEnd() const { return lsnEnd_; }

  // Adds an entry after the last one; returns its number. Drops what is staged.
  size_t Add(const CacheEntry& entry);

  // Adding in bulk, as a loader does: Stage puts an entry after the last one and those
  // staged before it, not yet numbered or findable, and Staged(k) reads the k-th (from 0)
  // back; AddStaged(keep) then adds, in order and as Add would, every staged entry k whose
  // keep[k] is true, drops the rest, and returns how many it added. The table grows once,
  // to what the added entries need.
  void Stage(const CacheEntry& entry) {
    size_t i = count_ + staged_;
    if (i == capacity_) MakeRoom(i + 1);
    Place(i) = entry;
    ++staged_;
  }
  size_t StagedCount() const { return staged_; }
  const CacheEntry& Staged(size_t k) const { return Place(count_ + k); }
  size_t AddStaged(const std::vector<bool>& keep);

  // A hint that about count more entries are coming: the first block is taken at the size
  // they need (up to full size) instead of doubling there.
  void Reserve(size_t count);

  // The number of the first entry whose lsn and mode both match, or kNone. Constant time;
  // a sequential run of lookups over entries stored in order stays in the entries' memory.
  size_t Find(uint32_t lsn, int32_t mode) const;

  // The entry with number 1 to Count().
  const CacheEntry& At(size_t number) const { return Place(number - 1); }

  // Bytes of memory the index holds.
  size_t MemoryBytes() const;

 private:
  static constexpr size_t kBlockBits = 16;
  static constexpr size_t kBlockSize = size_t{1} << kBlockBits;

  // Entry i (from 0) in the blocks.
  CacheEntry& Place(size_t i) { return blocks_[i >> kBlockBits][i & (kBlockSize - 1)]; }
  const CacheEntry& Place(size_t i) const { return blocks_[i >> kBlockBits][i & (kBlockSize - 1)]; }
  bool IsFirstOfKey(size_t number) const {
    size_t i = number - 1;
    return (firstOfKey_[i >> 6] >> (i & 63)) & 1;
  }
  size_t Slot(uint32_t lsn, int32_t mode) const;
  size_t Probe(uint32_t lsn, int32_t mode) const;
  void Rehash(size_t slots);
  void MakeRoom(size_t entries);
  void Insert(size_t i);

  std::vector<std::unique_ptr<CacheEntry[]>> blocks_;
  size_t capacity_ = 0;               // entries the blocks hold
  std::vector<uint64_t> firstOfKey_;  // one bit per entry: no earlier entry has its key
  std::vector<uint32_t> table_;       // entry numbers, 0 for an empty slot
  unsigned slotShift_ = 64;           // 64 - log2(table size): a hash's top bits pick the slot
  size_t count_ = 0;
  size_t staged_ = 0;
  size_t keys_ = 0;
  uint64_t lsnEnd_ = 0;
  mutable size_t lastFound_ = 0;
};

}  // namespace korvane
