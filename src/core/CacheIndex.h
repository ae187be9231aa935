// The index of the current disc's block cache: entries {mode, lsn, offset} numbered from 1
// in load and append order, with any number of entries and 64-bit offsets. The same
// (lsn, mode) may appear more than once; the earliest entry is the one that counts.
//
// Memory: entries live in fixed blocks of 65,536 (16 bytes each, no regrowth copies), and
// an open-addressing table of 32-bit entry numbers, at most three quarters full, holds the
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

  // Adds an entry after the last one; returns its number.
  size_t Add(const CacheEntry& entry);

  // The number of the first entry whose lsn and mode both match, or kNone. Constant time;
  // a sequential run of lookups over entries stored in order stays in the entries' memory.
  size_t Find(uint32_t lsn, int32_t mode) const;

  // The entry with number 1 to Count().
  const CacheEntry& At(size_t number) const {
    size_t i = number - 1;
    return blocks_[i >> kBlockBits][i & (kBlockSize - 1)];
  }

  // Bytes of memory the index holds.
  size_t MemoryBytes() const;

 private:
  static constexpr size_t kBlockBits = 16;
  static constexpr size_t kBlockSize = size_t{1} << kBlockBits;

  bool IsFirstOfKey(size_t number) const {
    size_t i = number - 1;
    return (firstOfKey_[i >> 6] >> (i & 63)) & 1;
  }
  size_t Slot(uint32_t lsn, int32_t mode) const;
  size_t Probe(uint32_t lsn, int32_t mode) const;
  void Grow();

  std::vector<std::unique_ptr<CacheEntry[]>> blocks_;
  std::vector<uint64_t> firstOfKey_;  // one bit per entry: no earlier entry has its key
  std::vector<uint32_t> table_;       // entry numbers, 0 for an empty slot
  size_t count_ = 0;
  size_t keys_ = 0;
  uint64_t lsnEnd_ = 0;
  mutable size_t lastFound_ = 0;
};

}  // namespace korvane
