// A client connection: reading, message handling and ordered, paced writes.
#include "server/Session.h"

#include <algorithm>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "server/AccountBook.h"
#include "server/DiscCatalog.h"
#include "server/ServerLog.h"
#include "server/ServerOptions.h"

namespace korvane::server {

// What a closing connection reads and throws away at most, so a client that keeps sending
// cannot hold it open.
constexpr size_t kDrainLimit = 1 << 20;

namespace {

// glibc keeps the memory of freed runs for reuse: after a couple of hundred clients have read
// at once, some hundreds of MiB of it, even once they have all gone. Once the last session
// object is gone, with its replies, it goes back to the system; the next crowd pays a few
// page faults to take it again.
void ReleaseFreeMemory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

}  // namespace

bool SessionRegistry::Add(uint64_t id, const std::shared_ptr<Session>& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return false;
  sessions_[id] = session;
  return true;
}

void SessionRegistry::Remove(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(id);
}

void SessionRegistry::Created() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++objects_;
}

void SessionRegistry::Destroyed() {
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last = --objects_ == 0 && !stopping_;
  }
  if (last) ReleaseFreeMemory();
}

std::vector<std::shared_ptr<Session>> SessionRegistry::StopAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  std::vector<std::shared_ptr<Session>> live;
  for (auto& [id, weak] : sessions_) {
    if (auto session = weak.lock()) live.push_back(std::move(session));
  }
  return live;
}

int RunLevelFor(int configured, const asio::ip::address& peer) {
  if (configured != kLevelAuto) return configured;
  // A client reaching a dual-stack listener over IPv4 shows up as a mapped IPv6 address.
  const bool loopback =
      peer.is_v6() && peer.to_v6().is_v4_mapped()
          ? asio::ip::make_address_v4(asio::ip::v4_mapped, peer.to_v6()).is_loopback()
          : peer.is_loopback();
  return loopback ? 0 : 1;
}

Session::Session(asio::ip::tcp::socket socket, uint64_t id, const ServerContext& context)
    : socket_(std::move(socket)),
      pause_(socket_.get_executor()),
      deadline_(socket_.get_executor()),
      writeDeadline_(socket_.get_executor()),
      preparedExpiry_(socket_.get_executor()),
      context_(context),
      id_(id),
      policy_(context.config.runMin, context.config.runMax),
      replies_{context.config.level, context.config.single} {
  context_.registry.Created();
}

Session::~Session() {
  context_.registry.Destroyed();
}

void Session::Start() {
  asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Begin(); });
}

void Session::Close() {
  asio::post(socket_.get_executor(),
             [self = shared_from_this()] { self->CloseNow("server stopping"); });
}

void Session::Begin() {
  std::error_code failure;
  const asio::ip::tcp::endpoint peer = socket_.remote_endpoint(failure);
  peer_ = failure ? "unknown peer" : peer.address().to_string() + ":" + std::to_string(peer.port());
  replies_.level =
      RunLevelFor(context_.config.level, failure ? asio::ip::address_v4::any() : peer.address());
  Log("connected from " + peer_ + ", runs at level " + std::to_string(replies_.level));
  // Each reply leaves in one write: nothing is gained by holding its tail back for an ACK.
  socket_.set_option(asio::ip::tcp::no_delay(true), failure);
  deadline_.expires_after(std::chrono::milliseconds(context_.config.loginTimeoutMs));
  deadline_.async_wait([self = shared_from_this()](const std::error_code& error) {
    if (!error && self->state_ == State::kAwaitingLogin) {
      self->FinishWithText("No login in time, goodbye\n", "no login in time");
      self->Pump();
    }
  });
  Read();
}

void Session::Read() {
  if (reading_ || state_ == State::kClosed) return;
  reading_ = true;
  socket_.async_read_some(asio::buffer(chunk_),
                          [self = shared_from_this()](const std::error_code& error, size_t size) {
                            self->OnRead(error, size);
                          });
}

void Session::OnRead(const std::error_code& error, size_t size) {
  reading_ = false;
  if (state_ == State::kClosed || state_ == State::kClosing) return;
  if (state_ == State::kDraining) {
    drained_ += size;
    if (error || drained_ > kDrainLimit) return CloseNow(closeReason_);
    return Read();
  }
  if (error) return CloseNow(error == asio::error::eof ? "closed by client" : error.message());
  if (pending_.size() + size > context_.config.pendingLimit) {
    FinishWithText("Message too long, closing the connection\n", "message too long");
    return Pump();
  }
  pending_.insert(pending_.end(), chunk_.begin(), chunk_.begin() + size);
  Process();
}

void Session::Process() {
  // Once the server stops, what is left unread waits for the close that follows.
  while ((state_ == State::kAwaitingLogin || state_ == State::kReady) && !context_.stopping) {
    ClientMessage message;
    const ParseStatus status = ParseClientMessage(pending_.data(), pending_.size(), message);
    if (status == ParseStatus::kNeedMore) return Read();
    if (state_ == State::kAwaitingLogin) {
      HandleBeforeLogin(status, message);
    } else {
      HandleAfterLogin(status, message);
    }
    // The views of message point into pending_: it is trimmed only once they are used.
    pending_.erase(pending_.begin(), pending_.begin() + std::min(message.length, pending_.size()));
    if (!queue_.empty()) return Pump();
    // The reply is the run being made ahead: OnPrepared sends it and carries on from here.
    if (awaitingPrepared_) return;
  }
}

void Session::HandleBeforeLogin(ParseStatus status, const ClientMessage& message) {
  if (status == ParseStatus::kComplete && message.kind == kKindLogin) return HandleLogin(message);
  FinishWithText("Please log in first, closing the connection\n", "no login");
}

void Session::HandleLogin(const ClientMessage& message) {
  const std::string user = Printable(message.user);
  if (!context_.accounts.Accepts(message.user, message.password)) {
    Log("login refused for user " + user);
    return FinishWithText("Login refused: unknown user or wrong password\n", "login refused");
  }
  Log("login ok for user " + user);
  state_ = State::kReady;
  deadline_.cancel();
  const size_t count = context_.discs.Count();
  std::vector<uint8_t> greeting;
  AppendText(greeting, "Welcome to the Korvane disc server: " + std::to_string(count) +
                           (count == 1 ? " disc\n" : " discs\n"));
  Queue(std::move(greeting), 0);
  Queue(context_.discList, context_.config.messageGapMs);
  Queue({kKindPrompt}, context_.config.messageGapMs);
}

void Session::HandleAfterLogin(ParseStatus status, const ClientMessage& message) {
  if (status == ParseStatus::kBad && message.kind == kKindSectorRequest) {
    ++requests_;
    std::vector<uint8_t> reply;
    AnswerRefusedRequest(DescribeBadInput(message.bad), replies_.level, reply);
    policy_.Reset();
    DropPrepared();
    return Queue(std::move(reply), context_.config.delayMs);
  }
  if (status == ParseStatus::kBad || message.kind == kKindLogin) {
    // The parser gives these every byte received: what came with them cannot be told apart.
    return QueueText(
        std::string("Ignored ") + std::to_string(pending_.size()) + " bytes: " +
        (status == ParseStatus::kBad ? DescribeBadInput(message.bad) : "already logged in"));
  }
  if (message.kind == kKindSelectDisc) return HandleSelectDisc(message.discIndex);
  if (message.kind == kKindSectorRequest) HandleSectorRequest(message.mode, message.lsn);
}

void Session::HandleSelectDisc(uint8_t index) {
  const DiscImage* disc = context_.discs.At(index);
  if (disc == nullptr) {
    return QueueText("There is no disc " + std::to_string(index) + ": the list has " +
                     std::to_string(context_.discs.Count()));
  }
  disc_ = disc;
  policy_.Reset();
  DropPrepared();
  Log("selected disc " + std::to_string(index) + " " + Printable(disc->Name(), 200) + " (" +
      std::to_string(disc->SectorSize()) + "-byte sectors)");
}

void Session::HandleSectorRequest(uint8_t mode, uint32_t lsn) {
  ++requests_;
  uint8_t nextMode = 0;
  uint32_t nextLsn = 0, nextLength = 0;
  const bool continues = !replies_.single && policy_.NextRun(nextMode, nextLsn, nextLength) &&
                         nextMode == mode && nextLsn == lsn;
  if (continues && prepared_ && prepared_->Answers(disc_, mode, lsn, nextLength)) {
    if (preparedDone_) return SendPrepared();
    awaitingPrepared_ = true;
    return;
  }
  DropPrepared();
  std::vector<uint8_t> reply;
  const StopFlags stop{&context_.stopping, nullptr};
  const ReplyOutcome outcome =
      AnswerSectorRequest(disc_, mode, lsn, replies_, stop, policy_, reply);
  // Given up only when the server stops, which closes this session next.
  if (outcome == ReplyOutcome::kGivenUp) return;
  if (outcome == ReplyOutcome::kServed && !replies_.single) ++context_.counters.runsMade;
  Queue(std::move(reply), context_.config.delayMs, outcome == ReplyOutcome::kServed && continues);
}

void Session::SendPrepared() {
  const std::shared_ptr<PreparedRun> run = std::move(prepared_);
  prepared_.reset();
  preparedDone_ = false;
  awaitingPrepared_ = false;
  ++context_.counters.preparesUsed;
  // The policy moves on exactly as if the run had been made now, for this request.
  const bool served = run->Outcome() == ReplyOutcome::kServed;
  if (served) {
    policy_.LengthFor(run->Mode(), run->Lsn());
    policy_.Served(run->Mode(), run->Lsn(), run->Sectors());
  } else {
    policy_.Reset();
  }
  Queue(run->TakeReply(), context_.config.delayMs, served);
}

void Session::PrepareNext() {
  uint8_t mode = 0;
  uint32_t lsn = 0, length = 0;
  if (state_ != State::kReady || !policy_.NextRun(mode, lsn, length) ||
      !IsServable(disc_, mode, lsn)) {
    return;
  }
  auto run = std::make_shared<PreparedRun>(disc_, mode, lsn, length, replies_);
  prepared_ = run;
  preparedDone_ = false;
  ++context_.counters.preparesStarted;
  asio::post(context_.pool, [self = shared_from_this(), run, strand = socket_.get_executor()] {
    run->Make(self->context_.stopping);
    if (run->Outcome() == ReplyOutcome::kGivenUp) {
      ++self->context_.counters.preparesGivenUp;
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
  preparedDone_ = false;
  awaitingPrepared_ = false;
  ++context_.counters.preparesDropped;
}

void Session::Queue(std::vector<uint8_t> bytes, uint32_t pauseMs, bool thenPrepare) {
  queue_.push_back(Outgoing{std::move(bytes), pauseMs, thenPrepare});
}

void Session::QueueText(const std::string& text) {
  std::vector<uint8_t> bytes;
  AppendText(bytes, text);
  Queue(std::move(bytes), 0);
}

void Session::Pump() {
  if (state_ == State::kClosed) return;
  if (queue_.empty()) return state_ == State::kClosing ? Drain() : Process();
  Outgoing& next = queue_.front();
  if (next.pauseMs > 0) {
    pause_.expires_after(std::chrono::milliseconds(next.pauseMs));
    next.pauseMs = 0;
    pause_.async_wait([self = shared_from_this()](const std::error_code& error) {
      if (!error) self->Pump();
    });
    return;
  }
  // A client that stops reading would otherwise hold its replies (megabytes of runs) and
  // its connection for as long as it stays connected.
  writeDeadline_.expires_after(std::chrono::milliseconds(context_.config.writeTimeoutMs));
  writeDeadline_.async_wait([self = shared_from_this()](const std::error_code& error) {
    if (!error)
      self->CloseNow("replies not taken in for " +
                     std::to_string(self->context_.config.writeTimeoutMs) + " ms");
  });
  asio::async_write(socket_, asio::buffer(next.bytes),
                    [self = shared_from_this()](const std::error_code& error, size_t size) {
                      self->writeDeadline_.cancel();
                      self->bytesSent_ += size;
                      if (error) return self->CloseNow("write failed: " + error.message());
                      const bool prepare = self->queue_.front().thenPrepare;
                      self->queue_.pop_front();
                      if (prepare) self->PrepareNext();
                      self->Pump();
                    });
}

void Session::FinishWithText(const std::string& text, const std::string& reason) {
  state_ = State::kClosing;
  closeReason_ = reason;
  deadline_.cancel();
  QueueText(text);
}

void Session::Drain() {
  // Reading until the client closes lets the last text reach it: closing with unread bytes
  // would reset the connection and could discard that text on the client's side.
  state_ = State::kDraining;
  pending_ = {};
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  deadline_.expires_after(std::chrono::milliseconds(context_.config.drainTimeoutMs));
  deadline_.async_wait([self = shared_from_this()](const std::error_code& error) {
    if (!error) self->CloseNow(self->closeReason_);
  });
  Read();
}

void Session::CloseNow(const std::string& reason) {
  if (state_ == State::kClosed) return;
  state_ = State::kClosed;
  DropPrepared();
  pause_.cancel();
  deadline_.cancel();
  writeDeadline_.cancel();
  preparedExpiry_.cancel();
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  Log("disconnected (" + reason + "): " + std::to_string(requests_) + " requests, " +
      std::to_string(bytesSent_) + " bytes sent");
  context_.registry.Remove(id_);
}

void Session::Log(const std::string& text) {
  context_.log.Line("#" + std::to_string(id_) + " " + text);
}

}  // namespace korvane::server
