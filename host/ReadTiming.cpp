// The pace of a play's reads and the record of how long each blocked.
#include "ReadTiming.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace player {

namespace {

constexpr float kStallMs = 100;

// The p-th percentile (0 to 100) of values, 0 when there are none.
float Percentile(std::vector<float> values, double p) {
  if (values.empty()) return 0;
  size_t at = std::min(values.size() - 1, static_cast<size_t>(p / 100 * values.size()));
  std::nth_element(values.begin(), values.begin() + at, values.end());
  return values[at];
}

std::string Distribution(const std::vector<float>& ms) {
  size_t stalls = std::count_if(ms.begin(), ms.end(), [](float v) { return v > kStallMs; });
  char text[160];
  std::snprintf(text, sizeof text,
                "%zu reads, p50 %.3f ms, p99 %.2f ms, max %.1f ms, %zu over %.0f ms", ms.size(),
                Percentile(ms, 50), Percentile(ms, 99), Percentile(ms, 100), stalls, kStallMs);
  return text;
}

}  // namespace

ReadPacer::ReadPacer(double megabytesPerSecond, size_t bytesPerRead) {
  if (megabytesPerSecond <= 0) return;
  step_ = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(bytesPerRead / (megabytesPerSecond * 1e6)));
}

void ReadPacer::WaitForNextRead() {
  if (step_ == Clock::duration::zero()) return;
  const Clock::time_point now = Clock::now();
  // The schedule slips by what the last read itself took beyond its step, and never by a
  // sleep of the host's that overran (Wine's often do): such time is made up at once.
  due_ = started_ ? due_ + std::max(step_, now - readFrom_) : now;
  started_ = true;
  const auto ahead = std::chrono::duration_cast<std::chrono::milliseconds>(due_ - now);
  if (ahead.count() >= 1) ::Sleep(static_cast<DWORD>(ahead.count()));
  readFrom_ = Clock::now();
}

void BlockTimes::End(Clock::time_point began) {
  if (!enabled_) return;
  if (all_.empty()) first_ = began;
  const float ms = std::chrono::duration<float, std::milli>(Clock::now() - began).count();
  all_.push_back(ms);
  if (began - first_ >= std::chrono::seconds(1)) later_.push_back(ms);
}

std::string BlockTimes::Summary() const {
  return Distribution(all_) + "; after the first second: " + Distribution(later_);
}

}  // namespace player
