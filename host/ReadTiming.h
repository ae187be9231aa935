// The player's view of time in a play: a pace for its reads, as a console drive delivers
// sectors at its own rate whatever the plugin could do, and how long each read call kept
// the host waiting, which is what a game feels as a stall.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace player {

using Clock = std::chrono::steady_clock;

// Spaces reads so that bytesPerRead bytes each come at megabytesPerSecond (10^6 bytes a
// second). A read that blocks longer than its step is never made up for: the schedule slips
// by the excess, so time lost in a stall stays lost; a sleep that overruns is made up.
class ReadPacer final {
 public:
  // With megabytesPerSecond 0, reads are not paced at all.
  ReadPacer(double megabytesPerSecond, size_t bytesPerRead);

  // Returns when the next read is due: sleeps while it is a millisecond or more away (the
  // host's sleeps are whole milliseconds), and goes on at once when it is nearer or late.
  void WaitForNextRead();

 private:
  Clock::duration step_{};
  Clock::time_point due_{};
  Clock::time_point readFrom_{};  // when the last read was let go
  bool started_ = false;
};

// The time each read call blocked, from the play's first read on.
class BlockTimes final {
 public:
  // Records nothing when not enabled; then Begin does not read the clock.
  explicit BlockTimes(bool enabled) : enabled_(enabled) {}

  bool Enabled() const { return enabled_; }
  // The moment a read call begins.
  Clock::time_point Begin() const { return enabled_ ? Clock::now() : Clock::time_point{}; }
  // Records the read that began at began and has just returned.
  void End(Clock::time_point began);

  // The reads, p50, p99 and max in ms and the count over 100 ms, over the whole play and
  // over the reads that began after its first second, on one line.
  std::string Summary() const;

 private:
  bool enabled_;
  Clock::time_point first_{};
  std::vector<float> all_;    // ms
  std::vector<float> later_;  // ms, of the reads that began after the first second
};

}  // namespace player
