// How fast a client's link carries sector runs, learned from when its requests come, and the
// run lengths and compression level that follow from it.
//
// A client asks for more sectors only once it has read the whole of the last reply, so the
// time from a reply starting to leave to the next request is the link's time to carry it,
// plus the round trip, plus whatever the client did meanwhile. The shortest such gap of the
// session stands for the round trip (the floor); a reply carrying at least twice the floor's
// bytes is timed by how much longer its gap was, which leaves the round trip out. A reader
// that paces itself (a game playing a film reads no faster than it shows it) only ever makes
// gaps longer, so the estimate is the highest of the last kRecentTimings rates timed: a
// pause or two cannot pull it down, while a link (or a reader) that stays slower is
// followed down within that many replies, as a faster one is followed up at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace korvane::server {

// How long a run may take to reach a client beyond the round trip: kRunTarget, or
// kRunRoundTrips round trips when that is longer. A client asks for one run at a time, so
// its link idles for a round trip between runs; a run of four round trips keeps it busy
// four fifths of the time, while one that a game has to wait for (it reads ahead of need,
// so only after a seek or when it reads faster than the link) arrives within a few round
// trips. Runs that a link could not carry in this time are cut to what it carries; on a
// link too fast to time, runs grow as long as the run maximum allows.
inline constexpr std::chrono::milliseconds kRunTarget{30};
inline constexpr int kRunRoundTrips = 4;

// Under --level auto, a link that carries more than this many bytes a second gets stored
// runs. zlib at level 1 takes in about 90 MB/s of typical game data in long runs on one core
// (runs_bench); runs are made ahead while the one before travels, so compressing pays while
// the link is slower than that, and a faster link would wait for the compressor. The bound
// sits a little under, as the cores that compress also carry every other session.
inline constexpr double kStoredAboveBytesPerSecond = 80e6;

inline constexpr size_t kRecentTimings = 4;

class LinkRate final {
 public:
  using Clock = std::chrono::steady_clock;

  // Notes that a run of sectors sectors, in a reply of bytes bytes, began to leave at at.
  void Sending(Clock::time_point at, uint64_t bytes, uint32_t sectors);

  // Notes that a sector request came at at; continues when it asks for the sectors that
  // follow the last reply's.
  void Requested(Clock::time_point at, bool continues);

  // The most bytes a second the link was seen to carry in its last kRecentTimings timed
  // replies; 0 until then.
  double BytesPerSecond() const { return rate_; }

  // Sectors in a run that the link carries within the run's time (kRunTarget, or
  // kRunRoundTrips round trips), at the bytes a sector took in
  // the run last sent; 0 (no limit) until a reply took long enough to be timed.
  uint32_t RunSectors() const;

 private:
  Clock::time_point sentAt_{};
  uint64_t sentBytes_ = 0;
  bool awaited_ = false;  // a run was sent and no request has come since
  double bytesPerSector_ = 0;
  bool floorKnown_ = false;
  double floorSeconds_ = 0;
  uint64_t floorBytes_ = 0;
  double rate_ = 0;
  double recent_[kRecentTimings] = {};  // the last rates timed, the newest at next_ - 1
  size_t next_ = 0;
  bool timed_ = false;
};

}  // namespace korvane::server
