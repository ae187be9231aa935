// A client connection: reading, message handling and ordered, paced writes.
#include "server/Session.h"

#include <algorithm>

#include "protocol/ServerMessages.h"
#include "server/AccountBook.h"
#include "server/DiscCatalog.h"
#include "server/ProxyHeader.h"
#include "server/ServerLog.h"
#include "server/ServerOptions.h"

namespace korvane::server {

// What a closing connection reads and throws away at most, so a client that keeps sending
// cannot hold it open.
constexpr size_t kDrainLimit = 1 << 20;

Session::Session(asio::ip::tcp::socket socket, uint64_t id, const ServerContext& context,
                 AdmissionTicket ticket)
    : socket_(std::move(socket)),
      pause_(socket_.get_executor()),
      deadline_(socket_.get_executor()),
      writeDeadline_(socket_.get_executor()),
      preparedExpiry_(socket_.get_executor()),
      context_(context),
      id_(id),
      ticket_(std::move(ticket)),
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
  SetPeer(failure ? asio::ip::address_v4::any() : peer.address());
  logAddress_ = AddressKey(peerAddress_);
  logInFull_ = context_.log.ConnectionInFull(logAddress_);
  if (context_.config.proxyProtocol) {
    state_ = State::kAwaitingHeader;
    LogEarly("connected from " + peer_ + ", a balancer");
  } else {
    LogEarly("connected from " + peer_ + ", runs at level " + std::to_string(replies_.level));
  }
  // Each reply leaves in one write: nothing is gained by holding its tail back for an ACK.
  socket_.set_option(asio::ip::tcp::no_delay(true), failure);
  // A silent connection may be closed to make room for a newcomer from another address.
  ticket_.SetCloser([weak = std::weak_ptr<Session>(shared_from_this())] {
    if (auto self = weak.lock()) {
      asio::post(self->socket_.get_executor(), [self] { self->CloseForRoom(); });
    }
  });
  deadline_.expires_after(std::chrono::milliseconds(context_.config.loginTimeoutMs));
  deadline_.async_wait([self = shared_from_this()](const std::error_code& error) {
    if (!error &&
        (self->state_ == State::kAwaitingHeader || self->state_ == State::kAwaitingLogin)) {
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
  // A login waiting for its turn keeps reading only to see its client leave; what else
  // comes waits, as it does while replies are being written.
  if (loginWaiting_) return Read();
  if (queue_.empty()) Process();
}

void Session::Process() {
  // Once the server stops, what is left unread waits for the close that follows.
  while ((state_ == State::kAwaitingHeader || state_ == State::kAwaitingLogin ||
          state_ == State::kReady) &&
         !context_.stopping) {
    if (state_ == State::kAwaitingHeader) {
      HandleProxyHeader();
      if (state_ == State::kAwaitingHeader) return Read();
      if (!queue_.empty()) return Pump();
      continue;
    }
    wire::ClientMessage message;
    const wire::ParseStatus status =
        wire::ParseClientMessage(pending_.data(), pending_.size(), message);
    if (status == wire::ParseStatus::kNeedMore) return Read();
    if (state_ == State::kAwaitingLogin) {
      HandleBeforeLogin(status, message);
    } else {
      lastRequest_ = std::chrono::steady_clock::now();
      HandleAfterLogin(status, message);
    }
    // The views of message point into pending_: it is trimmed only once they are used.
    pending_.erase(pending_.begin(), pending_.begin() + std::min(message.length, pending_.size()));
    if (!queue_.empty()) return Pump();
    // The reply is a run being made on the pool: OnPrepared sends it and carries on from
    // here; a login waiting for its turn carries on once it has been checked, and reads
    // meanwhile, so that a client that leaves gives its turn back at once.
    if (awaitingPrepared_) return;
    if (loginWaiting_) return Read();
  }
}

void Session::HandleProxyHeader() {
  ProxyHeader header;
  const wire::ParseStatus status = ParseProxyHeader(pending_.data(), pending_.size(), header);
  if (status == wire::ParseStatus::kNeedMore) return;
  if (status == wire::ParseStatus::kBad) {
    return FinishWithText("Expected the PROXY header of a balancer, closing the connection\n",
                          "no PROXY header");
  }
  pending_.erase(pending_.begin(), pending_.begin() + header.length);
  state_ = State::kAwaitingLogin;
  if (!header.known) {
    // The balancer's own connection, a health check: it counts under the balancer.
    if (ticket_.Readdress(AddressKey(peerAddress_)) != Admission::kAdmitted)
      FinishWithText(RefusalText(Admission::kAddressFull), "too many from the balancer");
    return;
  }
  const Admission verdict = ticket_.Readdress(AddressKey(header.source));
  peer_ = header.source.to_string() + ":" + std::to_string(header.sourcePort);
  SetPeer(header.source);
  LogEarly("client " + peer_ + " by the balancer's header, runs at level " +
           std::to_string(replies_.level));
  if (verdict != Admission::kAdmitted)
    FinishWithText(RefusalText(verdict), "too many from the address");
}

void Session::HandleBeforeLogin(wire::ParseStatus status, const wire::ClientMessage& message) {
  if (status == wire::ParseStatus::kComplete && message.kind == protocol::kLogin)
    return HandleLogin(message);
  FinishWithText("Please log in first, closing the connection\n", "no login");
}

void Session::CloseForRoom() {
  if (state_ != State::kAwaitingHeader && state_ != State::kAwaitingLogin) return;
  FinishWithText(kMadeRoomText, "closed for a newcomer: too many logging in");
  Pump();
}

void Session::HandleLogin(const wire::ClientMessage& message) {
  ticket_.Spoke();
  loginUser_ = std::string(message.user);
  loginPassword_ = std::string(message.password);
  AwaitTurn();
}

void Session::AwaitTurn() {
  auto retryAt = std::chrono::steady_clock::now();
  loginWaiting_ = !context_.throttle.TakeTurn(ticket_.Address(), loginUser_, id_, retryAt, retryAt);
  if (!loginWaiting_) return CheckLogin();
  pause_.expires_at(retryAt);
  pause_.async_wait([self = shared_from_this()](const std::error_code& error) {
    if (error || self->state_ != State::kAwaitingLogin) return;
    self->AwaitTurn();
    if (!self->loginWaiting_) self->Pump();
  });
}

void Session::LeaveLoginLine() {
  if (!loginWaiting_) return;
  loginWaiting_ = false;
  context_.throttle.Left(ticket_.Address(), id_);
}

void Session::CheckLogin() {
  const std::string user = std::move(loginUser_);
  const std::string password = std::move(loginPassword_);
  loginUser_.clear();
  loginPassword_.clear();
  const bool accepted = context_.accounts.Accepts(user, password);
  context_.throttle.Checked(ticket_.Address(), id_, user, accepted,
                            std::chrono::steady_clock::now());
  LogHeldLines();
  if (!accepted) {
    Log("login refused for user " + Printable(user));
    return FinishWithText("Login refused: unknown user or wrong password\n", "login refused");
  }
  Log("login ok for user " + Printable(user));
  state_ = State::kReady;
  ticket_.LoggedIn();
  deadline_.cancel();
  lastRequest_ = std::chrono::steady_clock::now();
  ArmIdleTimer();
  const size_t count = context_.discs.Count();
  std::vector<uint8_t> greeting;
  wire::AppendText(greeting, "Welcome to the Korvane disc server: " + std::to_string(count) +
                                 (count == 1 ? " disc\n" : " discs\n"));
  Queue(std::move(greeting), 0);
  Queue(context_.discList, context_.config.messageGapMs);
  Queue({protocol::kPrompt}, context_.config.messageGapMs);
}

void Session::ArmIdleTimer() {
  if (context_.config.idleTimeoutMs == 0) return;
  deadline_.expires_at(lastRequest_ + std::chrono::milliseconds(context_.config.idleTimeoutMs));
  deadline_.async_wait([self = shared_from_this()](const std::error_code& error) {
    if (!error && self->state_ == State::kReady) self->OnIdleTimer();
  });
}

void Session::OnIdleTimer() {
  // A reply still being made or written is no idleness: the client is waiting for it.
  const bool busy = !queue_.empty() || awaitingPrepared_ || loginWaiting_;
  const auto quietFor = std::chrono::steady_clock::now() - lastRequest_;
  if (busy || quietFor < std::chrono::milliseconds(context_.config.idleTimeoutMs)) {
    if (busy) lastRequest_ = std::chrono::steady_clock::now();
    return ArmIdleTimer();
  }
  FinishWithText("Closing the connection: nothing was asked for too long\n",
                 "idle for " + std::to_string(context_.config.idleTimeoutMs / 1000) + " s");
  Pump();
}

void Session::HandleAfterLogin(wire::ParseStatus status, wire::ClientMessage& message) {
  const bool afterBadInput = afterBadInput_;
  afterBadInput_ = status == wire::ParseStatus::kBad;
  if (status == wire::ParseStatus::kComplete && message.kind == protocol::kDiscSelection &&
      afterBadInput && IsRestOfRequest(message)) {
    return QueueText("Ignored " + std::to_string(message.length) +
                     " bytes: the rest of a sector request");
  }
  if (status == wire::ParseStatus::kBad && message.kind == protocol::kSectorRequest) {
    ++requests_;
    std::vector<uint8_t> reply;
    AnswerRefusedRequest(wire::DescribeBadInput(message.bad), replies_.level, reply);
    NoteRequest(false);
    policy_.Reset();
    DropPrepared();
    return Queue(std::move(reply), context_.config.delayMs);
  }
  if (status == wire::ParseStatus::kBad || message.kind == protocol::kLogin) {
    return QueueText(std::string("Ignored ") + std::to_string(message.length) + " bytes: " +
                     (status == wire::ParseStatus::kBad ? wire::DescribeBadInput(message.bad)
                                                        : "already logged in"));
  }
  if (message.kind == protocol::kDiscSelection) return HandleSelectDisc(message.discIndex);
  if (message.kind == protocol::kSizeQuery) return QueueText(DiscSizes());
  if (message.kind == protocol::kTailRequest) return HandleTailRequest();
  if (message.kind == protocol::kSectorRequest) HandleSectorRequest(message.mode, message.lsn);
}

bool Session::IsRestOfRequest(wire::ClientMessage& selection) const {
  // Bytes thrown away may have cut a sector request short, and the rest of one in mode 3
  // (03, then digits) reads as a disc selection: one that would choose a disc by a digit
  // right after such bytes is taken for that rest, digits after it included, and never
  // changes the disc selected.
  const auto isDigit = [](uint8_t byte) { return byte >= '0' && byte <= '9'; };
  if (!isDigit(selection.discIndex)) return false;
  while (selection.length < pending_.size() && isDigit(pending_[selection.length])) {
    ++selection.length;
  }
  return true;
}

std::string Session::DiscSizes() const {
  std::vector<wire::DiscSize> sizes;
  for (size_t index = 0; index < context_.discs.Count(); ++index) {
    const DiscImage* disc = context_.discs.At(index);
    sizes.push_back({disc->Size(), static_cast<uint32_t>(disc->SectorSize())});
  }
  return wire::DiscSizesText(sizes);
}

void Session::HandleTailRequest() {
  // One sector from the image's end: neither a run of the reading's sequence nor one to
  // prepare, so the run policy and a run made ahead stay as they are.
  ++requests_;
  std::vector<uint8_t> reply;
  AnswerTailRequest(disc_, replies_.level, reply);
  Queue(std::move(reply), context_.config.delayMs);
}

void Session::HandleSelectDisc(uint8_t index) {
  const DiscImage* disc = context_.discs.At(index);
  // A refused selection selects nothing: requests that follow are refused, not served from
  // the disc chosen before, which the client no longer expects.
  disc_ = disc;
  policy_.Reset();
  DropPrepared();
  if (disc == nullptr) {
    Log("selected no disc: there is no disc " + std::to_string(index));
    return QueueText("There is no disc " + std::to_string(index) + ": the list has " +
                     std::to_string(context_.discs.Count()) +
                     "; no disc is selected until one of the list is");
  }
  Log("selected disc " + std::to_string(index) + " " + Printable(disc->Name(), 200) + " (" +
      std::to_string(disc->SectorSize()) + "-byte sectors)");
}

void Session::Queue(std::vector<uint8_t> bytes, uint32_t pauseMs, bool thenPrepare,
                    uint32_t runSectors) {
  const uint64_t size = bytes.size();
  queue_.push_back(Outgoing{std::move(bytes), pauseMs, thenPrepare, runSectors,
                            BudgetHold(context_.budget, size)});
}

void Session::QueueText(const std::string& text) {
  std::vector<uint8_t> bytes;
  wire::AppendText(bytes, text);
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
  if (next.runSectors > 0) NoteRunLeaving(next.bytes.size(), next.runSectors);
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
  LeaveLoginLine();
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
  LeaveLoginLine();
  state_ = State::kClosed;
  DropPrepared();
  pause_.cancel();
  deadline_.cancel();
  writeDeadline_.cancel();
  preparedExpiry_.cancel();
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  ticket_.Release();
  if (logInFull_) {
    Log("disconnected (" + reason + "): " + std::to_string(requests_) + " requests, " +
        std::to_string(bytesSent_) + " bytes sent");
  } else {
    context_.log.ClosedBeforeLogin(logAddress_);
  }
  context_.registry.Remove(id_);
}

void Session::Log(const std::string& text) {
  context_.log.Line("#" + std::to_string(id_) + " " + text);
}

void Session::LogEarly(const std::string& text) {
  if (logInFull_) return Log(text);
  heldLines_.push_back(text);
}

void Session::LogHeldLines() {
  if (logInFull_) return;
  logInFull_ = true;
  for (const std::string& line : heldLines_) Log(line);
  heldLines_.clear();
}

}  // namespace korvane::server
