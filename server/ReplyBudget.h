// The bytes of replies the server holds for its clients, in all: runs queued until their
// client takes them in, and runs made ahead of a request. A client that asks and never
// reads would otherwise hold megabytes for as long as the write deadline, and a crowd of
// them enough to have the server killed on a small host. Each session sizes its runs by
// the room left (ReplyBudget::RoomSectors): a session over its share gets runs of the
// minimum length, which are always served, so a player who reads is never refused; and no
// run is made ahead while the budget is spent.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvane::server {

class ReplyBudget final {
 public:
  // capacityBytes 0: no budget.
  explicit ReplyBudget(uint64_t capacityBytes) : capacity_(capacityBytes) {}

  // Bytes held now.
  uint64_t Held() const { return held_.load(std::memory_order_relaxed); }
  // True when nothing more should be made ahead of need.
  bool Spent() const { return capacity_ != 0 && Held() >= capacity_; }
  // How many sectors of sectorBytes one session may add to what is held now: its share of
  // the room left (a quarter of it, so that a few sessions cannot take it all), 0 when none
  // is left; UINT32_MAX with no budget.
  uint32_t RoomSectors(uint64_t sectorBytes) const;

  void Take(uint64_t bytes) { held_.fetch_add(bytes, std::memory_order_relaxed); }
  void Give(uint64_t bytes) { held_.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  const uint64_t capacity_;
  std::atomic<uint64_t> held_{0};
};

// A part of a budget held, given back when the hold ends; movable.
class BudgetHold final {
 public:
  BudgetHold() = default;
  BudgetHold(ReplyBudget& budget, uint64_t bytes) : budget_(&budget), bytes_(bytes) {
    budget.Take(bytes);
  }
  BudgetHold(BudgetHold&& other) noexcept : budget_(other.budget_), bytes_(other.bytes_) {
    other.budget_ = nullptr;
  }
  BudgetHold& operator=(BudgetHold&& other) noexcept {
    if (this != &other) {
      Release();
      budget_ = other.budget_;
      bytes_ = other.bytes_;
      other.budget_ = nullptr;
    }
    return *this;
  }
  ~BudgetHold() { Release(); }
  // Gives the bytes back now.
  void Release() {
    if (budget_ != nullptr) budget_->Give(bytes_);
    budget_ = nullptr;
  }

 private:
  ReplyBudget* budget_ = nullptr;
  uint64_t bytes_ = 0;
};

inline uint32_t ReplyBudget::RoomSectors(uint64_t sectorBytes) const {
  if (capacity_ == 0) return UINT32_MAX;
  const uint64_t held = Held();
  if (held >= capacity_ || sectorBytes == 0) return 0;
  const uint64_t share = (capacity_ - held) / 4 / sectorBytes;
  return share > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(share);
}

}  // namespace korvane::server
