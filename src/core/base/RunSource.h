// How runs of sectors move between a cache and what lies below it.
//
// A RunSource is where a cached source gets the sectors its cache lacks. Asked for a sector,
// it answers with a run of consecutive sectors of one mode that begins with it: one sector,
// or many, as the server chose. It is told of every read before the cache looks it up, and
// when the host stops reading, so that a source that reads ahead can keep its pace.
//
// An AheadRunSource (the remote disc) may also take one request ahead of need: the request
// goes out at once and its reply is taken in later, bit by bit as it arrives, or waited for
// when it is needed. At most one request is ever out: a fetch first takes in the reply to
// the one sent ahead.
//
// A RunSink is the cache above, as a source below sees it in each call: what it holds, and
// where a run that arrived ahead of need goes up to be stored. The source below never
// writes the cache's files itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane {

// A run of sectors lsn, lsn+1, ... in mode: length bytes cut into pieces of pieceSize (the
// last may be shorter). A pieceSize of 0 is a run of a mode no file holds: received, but
// neither stored nor served. The bytes stay valid until the next reply is taken in.
struct SectorRun {
  uint32_t lsn = 0;
  int32_t mode = 0;
  size_t pieceSize = 0;
  const uint8_t* bytes = nullptr;
  size_t length = 0;
};

class RunSink {
 public:
  virtual ~RunSink() = default;
  // True when the cache holds sector lsn in mode.
  virtual bool Holds(uint32_t lsn, int32_t mode) = 0;
  // Stores every sector of run, which arrived ahead of need.
  virtual void Fill(const SectorRun& run) = 0;
  // The cache files stored into now: a run asked for one disc's files never fills another's.
  virtual const std::string& Files() = 0;
};

class RunSource {
 public:
  virtual ~RunSource() = default;
  // Fetches the run that begins with sector lsn in mode into run, for the cache above;
  // false, with the reason traced, when there is none.
  virtual bool FetchRun(uint32_t lsn, int32_t mode, SectorRun& run, RunSink& above) = 0;
  // The reader reads sector lsn in mode now; the cache above looks it up next.
  virtual void Reading(uint32_t lsn, int32_t mode, RunSink& above) {}
  // The reader stops: nothing more is sent, and what is on its way is taken in and handed
  // up to above.
  virtual void Settle(RunSink& above) {}
};

class AheadRunSource : public RunSource {
 public:
  // What became of a request sent ahead.
  enum class Ahead {
    kNone,     // no request is out
    kPending,  // its reply is still on its way
    kArrived,  // its run is here
    kFailed,   // it came to nothing
  };

  // How TakeAhead waits for the reply.
  enum class Wait {
    kNo,       // not at all: only what has already arrived is taken in
    kForRead,  // for the rest of it, which a read needs: a failure is traced as a fetch's
    kQuietly,  // for the rest of it, which nobody needs yet: a failure is not traced
  };

  // Sends the request for the run from lsn in mode without waiting for its reply; false
  // when it cannot go at once (a request is out, or the source is not ready for one).
  virtual bool RequestAhead(uint32_t lsn, int32_t mode) = 0;

  // Takes in the reply to the request sent ahead, waiting as wait says (within the source's
  // bounded wait). kArrived fills run.
  virtual Ahead TakeAhead(Wait wait, SectorRun& run) = 0;
};

}  // namespace korvane
