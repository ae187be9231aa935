// A client link's rate from the gaps between its replies and its next requests.
#include "server/LinkRate.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace korvane::server {
namespace {

// A gap that exceeds the floor by less than this is too short to time: round trips on the
// same path vary by a few milliseconds. Such a reply still shows that the link carries at
// least its extra bytes in this time, which is what a fast link is credited with.
constexpr double kShortestTimedSeconds = 0.005;

}  // namespace

void LinkRate::Sending(Clock::time_point at, uint64_t bytes, uint32_t sectors) {
  sentAt_ = at;
  sentBytes_ = bytes;
  awaited_ = true;
  if (sectors > 0) bytesPerSector_ = static_cast<double>(bytes) / sectors;
}

void LinkRate::Requested(Clock::time_point at, bool continues) {
  if (!awaited_) return;
  awaited_ = false;
  const double gap = std::chrono::duration<double>(at - sentAt_).count();
  if (!floorKnown_ || gap < floorSeconds_) {
    floorKnown_ = true;
    floorSeconds_ = gap;
    floorBytes_ = sentBytes_;
    return;
  }
  // A reader that jumps elsewhere may have done anything before asking; one that reads on
  // asked as soon as it needed more. A reply of little more than the floor's bytes differs
  // from it by less than the round trip varies.
  if (!continues || sentBytes_ < 2 * floorBytes_) return;
  const double extra = gap - floorSeconds_;
  timed_ = timed_ || extra >= kShortestTimedSeconds;
  const double bytes = static_cast<double>(sentBytes_ - floorBytes_);
  recent_[next_] = bytes / std::max(extra, kShortestTimedSeconds);
  next_ = (next_ + 1) % kRecentTimings;
  rate_ = *std::max_element(std::begin(recent_), std::end(recent_));
}

uint32_t LinkRate::RunSectors() const {
  if (!timed_ || bytesPerSector_ <= 0) return 0;
  const double seconds =
      std::max(std::chrono::duration<double>(kRunTarget).count(), kRunRoundTrips * floorSeconds_);
  const double sectors = rate_ * seconds / bytesPerSector_;
  if (sectors >= std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
  return std::max<uint32_t>(1, static_cast<uint32_t>(sectors));
}

}  // namespace korvane::server
