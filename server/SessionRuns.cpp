// A session's sector requests: short runs made on its strand at once, longer ones on the run
// pool, and the run a sequential reader will ask for next made there ahead of its request;
// and the timing of its client's link, which limits the runs and chooses their level.
#include <algorithm>

#include "server/ServerOptions.h"
#include "server/Session.h"

namespace korvane::server {
namespace {

// Runs up to this size are made on the strand: a seek's first run (16 sectors by default)
// costs well under a millisecond, less than the way to the pool and back, and even at the
// slowest level a run this short holds the strand's thread for tens of milliseconds only.
// Runs that continue a read grow past it within a few requests.
constexpr uint64_t kStrandRunBytes = 256 * 1024;
constexpr uint64_t kLargestSectorBytes = 2352;

}  // namespace

void Session::HandleSectorRequest(uint8_t mode, uint32_t lsn) {
  ++requests_;
  FitRunsToBudget();
  uint8_t nextMode = 0;
  uint32_t nextLsn = 0, nextLength = 0;
  const bool continues = !replies_.single && policy_.NextRun(nextMode, nextLsn, nextLength) &&
                         nextMode == mode && nextLsn == lsn;
  NoteRequest(continues);
  if (continues && prepared_ && preparedAhead_ &&
      prepared_->Answers(disc_, mode, lsn, nextLength)) {
    if (preparedDone_) return SendPrepared();
    awaitingPrepared_ = true;
    return;
  }
  DropPrepared();
  const uint32_t wanted = replies_.single ? 1 : policy_.Peek(mode, lsn);
  if (IsServable(disc_, mode, lsn) && uint64_t{wanted} * kLargestSectorBytes > kStrandRunBytes) {
    awaitingPrepared_ = true;
    preparedContinues_ = continues;
    return MakeOnRunPool(std::make_shared<PreparedRun>(disc_, mode, lsn, wanted, replies_), false,
                         uint64_t{wanted} * kLargestSectorBytes);
  }
  std::vector<uint8_t> reply;
  uint32_t sectors = 0;
  const StopFlags stop{&context_.stopping, nullptr};
  const ReplyOutcome outcome =
      AnswerSectorRequest(disc_, mode, lsn, replies_, stop, policy_, reply, sectors);
  // Given up only when the server stops, which closes this session next.
  if (outcome == ReplyOutcome::kGivenUp) return;
  const bool run = outcome == ReplyOutcome::kServed && !replies_.single;
  if (run) ++context_.counters.runsMade;
  Queue(std::move(reply), context_.config.delayMs, outcome == ReplyOutcome::kServed && continues,
        run ? sectors : 0);
}

void Session::SendPrepared() {
  const std::shared_ptr<PreparedRun> run = std::move(prepared_);
  prepared_.reset();
  preparedHold_.Release();  // the queue holds its bytes from here
  preparedDone_ = false;
  awaitingPrepared_ = false;
  if (preparedAhead_) ++context_.counters.preparesUsed;
  // The policy moves on exactly as if the run had been made now, for this request.
  const bool served = run->Outcome() == ReplyOutcome::kServed;
  if (served) {
    policy_.LengthFor(run->Mode(), run->Lsn());
    policy_.Served(run->Mode(), run->Lsn(), run->Sectors());
  } else {
    policy_.Reset();
  }
  Queue(run->TakeReply(), context_.config.delayMs, served && (preparedAhead_ || preparedContinues_),
        served ? run->Sectors() : 0);
}

void Session::SetPeer(const asio::ip::address& address) {
  peerAddress_ = address;
  replies_.level = RunLevelFor(context_.config.level, address, link_.BytesPerSecond());
}

void Session::NoteRequest(bool continues) {
  // A client on this machine has no link to wait for: its runs grow as long as they may.
  if (!IsLoopback(peerAddress_)) link_.Requested(context_.config.linkClock(), continues);
}

void Session::NoteRunLeaving(size_t bytes, uint32_t sectors) {
  if (IsLoopback(peerAddress_)) return;
  link_.Sending(context_.config.linkClock(), bytes, sectors);
  FitRunsToBudget();
  const int level = RunLevelFor(context_.config.level, peerAddress_, link_.BytesPerSecond());
  if (level == replies_.level) return;
  replies_.level = level;
  Log("link seen to carry " + std::to_string(static_cast<uint64_t>(link_.BytesPerSecond() / 1e3)) +
      " kB/s: runs at level " + std::to_string(level));
}

void Session::FitRunsToBudget() {
  const uint32_t link = IsLoopback(peerAddress_) ? 0 : link_.RunSectors();
  const uint32_t room = context_.budget.RoomSectors(kLargestSectorBytes);
  uint32_t most = link == 0 ? room : std::min(link, room);
  if (most == UINT32_MAX) most = 0;  // no limit at all
  // No room left: runs of the minimum length, which are always served.
  policy_.Limit(most == 0 && room == 0 ? 1 : most);
}

void Session::PrepareNext() {
  uint8_t mode = 0;
  uint32_t lsn = 0, length = 0;
  // Made ahead of need only while the budget has room for it.
  if (context_.budget.Spent()) return;
  FitRunsToBudget();
  if (state_ != State::kReady || !policy_.NextRun(mode, lsn, length) ||
      !IsServable(disc_, mode, lsn)) {
    return;
  }
  ++context_.counters.preparesStarted;
  MakeOnRunPool(std::make_shared<PreparedRun>(disc_, mode, lsn, length, replies_), true,
                uint64_t{length} * kLargestSectorBytes);
}

void Session::MakeOnRunPool(std::shared_ptr<PreparedRun> run, bool ahead,
                            uint64_t mostBytes) {
  prepared_ = run;
  preparedHold_ = BudgetHold(context_.budget, mostBytes);
  preparedAhead_ = ahead;
  preparedDone_ = false;
  asio::post(context_.runPool,
             [self = shared_from_this(), run, ahead, strand = socket_.get_executor()] {
               run->Make(self->context_.stopping);
               if (run->Outcome() == ReplyOutcome::kGivenUp) {
                 if (ahead) ++self->context_.counters.preparesGivenUp;
               } else if (run->Outcome() == ReplyOutcome::kServed) {
                 ++self->context_.counters.runsMade;
               }
               asio::post(strand, [self, run] { self->OnPrepared(run); });
             });
}

void Session::OnPrepared(const std::shared_ptr<PreparedRun>& run) {
  if (run != prepared_ || state_ != State::kReady) return;
  if (run->Outcome() == ReplyOutcome::kGivenUp) {
    // Only a stopping server gives up a run that is still wanted; the session closes next.
    prepared_.reset();
    preparedHold_.Release();
    return;
  }
  preparedDone_ = true;
  if (awaitingPrepared_) {
    SendPrepared();
    Pump();
    return;
  }
  // A player that pauses would otherwise keep megabytes of run here for as long as it
  // pauses; once let go, the run is made again if it is asked for after all.
  preparedExpiry_.expires_after(std::chrono::milliseconds(context_.config.preparedKeepMs));
  preparedExpiry_.async_wait([self = shared_from_this(), run](const std::error_code& error) {
    if (!error && self->prepared_ == run && !self->awaitingPrepared_) self->DropPrepared();
  });
}

void Session::DropPrepared() {
  if (!prepared_) return;
  prepared_->Cancel();
  prepared_.reset();
  preparedHold_.Release();
  preparedDone_ = false;
  awaitingPrepared_ = false;
  if (preparedAhead_) ++context_.counters.preparesDropped;
}

}  // namespace korvane::server
