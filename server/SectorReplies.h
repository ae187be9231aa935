// Answers to sector requests, and to the mount's tail request. A servable request (mode 0, 1 or 3 on a selected disc, LSN
// inside it) gets a compressed run of whole sectors starting at its LSN, clipped to the end
// of the image, or one sector when runs are off. Anything else gets a text saying why and,
// in the same write, a compressed run of nothing, so that a client always has its reply.
//
// Run lengths follow the reading: a session starts at the minimum, doubles (up to the
// maximum, and to the limit its link sets) while each request continues where the previous
// run ended, and falls back to the minimum on any other request. A reader that continues is
// expected to go on doing so, so the run its next request will ask for can be made ahead as
// a PreparedRun.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/ServerMessages.h"

namespace korvane::server {

class DiscImage;

// One session's run lengths.
class RunPolicy final {
 public:
  RunPolicy(uint32_t minSectors, uint32_t maxSectors);

  // The length of the run to serve for a request of mode at lsn, which it takes.
  uint32_t LengthFor(uint8_t mode, uint32_t lsn);
  // The length LengthFor would give, leaving the policy as it is.
  uint32_t Peek(uint8_t mode, uint32_t lsn) const;

  // Notes that a run of sectors sectors was served from lsn in mode.
  void Served(uint8_t mode, uint32_t lsn, uint32_t sectors);

  // Forgets the previous run, so the next request starts at the minimum.
  void Reset() { previous_ = false; }

  // Runs that continue a read grow to at most sectors from now on (never below the
  // minimum); 0 lifts the limit.
  void Limit(uint32_t sectors) { limit_ = sectors; }

  // The request that would continue the previous run, and the length it would get; false
  // when there is no previous run or it ended at the last LSN there is.
  bool NextRun(uint8_t& mode, uint32_t& lsn, uint32_t& length) const;

 private:
  // The length of the run that continues the previous one.
  uint32_t Grown() const;

  uint32_t min_;
  uint32_t max_;
  uint32_t length_;
  uint32_t limit_ = 0;
  bool previous_ = false;
  uint8_t mode_ = 0;
  uint64_t nextLsn_ = 0;
};

struct ReplySettings {
  int level = 1;  // 0 to 9
  bool single = false;
};

// Flags that make a reply being made give up: the server's (it is stopping) and a prepared
// run's own (nobody wants it any more). Either may be absent.
struct StopFlags {
  const std::atomic<bool>* server = nullptr;
  const std::atomic<bool>* run = nullptr;

  bool Raised() const {
    return (server != nullptr && server->load(std::memory_order_relaxed)) ||
           (run != nullptr && run->load(std::memory_order_relaxed));
  }
};

enum class ReplyOutcome { kServed, kRefused, kGivenUp };

// True when a request of mode at lsn on disc (nullptr when none is selected) gets sectors.
bool IsServable(const DiscImage* disc, uint8_t mode, uint32_t lsn);

// Writes into out the whole reply to a request of mode at lsn on disc for a run of wanted
// sectors (one when settings.single), and into sectors how many it holds. kGivenUp, with
// out empty, when stop is raised before the reply is whole.
ReplyOutcome MakeSectorReply(const DiscImage* disc, uint8_t mode, uint32_t lsn, uint32_t wanted,
                             const ReplySettings& settings, const StopFlags& stop,
                             std::vector<uint8_t>& out, uint32_t& sectors);

// MakeSectorReply for the length policy gives the request, noting in policy what was served
// and in sectors how many.
ReplyOutcome AnswerSectorRequest(const DiscImage* disc, uint8_t mode, uint32_t lsn,
                                 const ReplySettings& settings, const StopFlags& stop,
                                 RunPolicy& policy, std::vector<uint8_t>& out, uint32_t& sectors);

// Writes into out the refusal of a request: a text holding why, then an empty run.
void AnswerRefusedRequest(const std::string& why, int level, std::vector<uint8_t>& out);

// Writes into out the answer to a tail request on disc (nullptr when none is selected): a
// run at level of one sector of the image's sector size, its bytes after the last whole
// sector then zero bytes; or, refused, a text holding why and an empty run.
ReplyOutcome AnswerTailRequest(const DiscImage* disc, int level, std::vector<uint8_t>& out);

// The reply to a request expected next, made on a worker thread before the request comes.
// Make runs on one thread; the session that owns the run reads the result only once Make
// has returned and handed the run back to it.
class PreparedRun final {
 public:
  PreparedRun(const DiscImage* disc, uint8_t mode, uint32_t lsn, uint32_t length,
              const ReplySettings& settings);

  // True when this is the run of length sectors that a request of mode at lsn on disc gets.
  bool Answers(const DiscImage* disc, uint8_t mode, uint32_t lsn, uint32_t length) const;

  // Makes the reply unless it is cancelled first or serverStopping is raised meanwhile.
  void Make(const std::atomic<bool>& serverStopping);

  // Tells a Make under way, or one still to start, to give up; callable from any thread.
  void Cancel() { cancelled_.store(true, std::memory_order_relaxed); }

  ReplyOutcome Outcome() const { return outcome_; }
  uint32_t Sectors() const { return sectors_; }
  uint8_t Mode() const { return mode_; }
  uint32_t Lsn() const { return lsn_; }

  // The reply's bytes, taken out of the run.
  std::vector<uint8_t> TakeReply() { return std::move(reply_); }

 private:
  const DiscImage* disc_;
  uint8_t mode_;
  uint32_t lsn_;
  uint32_t length_;
  ReplySettings settings_;
  std::atomic<bool> cancelled_{false};
  ReplyOutcome outcome_ = ReplyOutcome::kGivenUp;
  uint32_t sectors_ = 0;
  std::vector<uint8_t> reply_;
};

}  // namespace korvane::server
