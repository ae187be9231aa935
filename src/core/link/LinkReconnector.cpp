// Completing and remaking the plugin link's connection on the reading thread.
#include "core/link/LinkReconnector.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace korvane {

namespace {
using Clock = LinkReconnector::Clock;

int MsUntil(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, kLongestRetryMs * 4));
}

// A server text made fit for one trace line: its terminator and any control bytes dropped.
std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x20) line += c;
  }
  return line;
}
}  // namespace

std::string LinkReconnector::Address(const ServerSocket& socket) {
  return socket.client.Host() + ":" + std::to_string(socket.client.Port());
}

void LinkReconnector::Follow(const ServerLink& link) {
  if (link.Serial() == followed_) return;
  followed_ = link.Serial();
  lost_ = false;
  attempts_ = 0;
  Served();
  refusalTraced_ = false;
}

void LinkReconnector::Served() {
  nextAttempt_ = Clock::now();
  pauseMs_ = kFirstRetryMs;
}

void LinkReconnector::NoteLoss(const LinkHolder::Lease& lease, const std::string& how) {
  ServerSocket* socket = lease.Socket();
  if (!socket || !socket->link.HandedOver()) return;
  Follow(socket->link);
  if (lost_) return;
  lost_ = true;
  attempts_ = 0;
  if (trace_.Enabled()) {
    trace_.Gated(std::string(kTracePrefix) + "Server link to " + Address(*socket) + " lost (" +
                 how + "), connecting again");
  }
}

LinkReconnector::Outcome LinkReconnector::MakeUsable(ServerLink& link, ServerLink::Read& read,
                                                     const LinkHolder::Lease& lease,
                                                     Clock::time_point until) {
  Follow(link);
  ServerSocket* socket = lease.Socket();
  platform::Connection& connection = link.Connection();
  for (;;) {
    if (lease.Replaced()) return Outcome::kNever;
    if (connection.IsConnected()) {
      Outcome outcome;
      if (AwaitDisc(link, read, until, outcome)) {
        if (outcome == Outcome::kUsable) Recovered(socket, link);
        return outcome;
      }
      continue;
    }
    if (connection.IsActive()) {
      if (connection.AwaitConnected(MsUntil(until))) continue;
      if (connection.IsActive()) return Outcome::kNotYet;
      AttemptFailed(link);
      continue;
    }
    if (!socket || !link.HandedOver()) return Outcome::kNever;
    NoteLoss(lease, "found closed");
    if (!StartAttempt(*socket, until)) return Outcome::kNotYet;
  }
}

LinkReconnector::Decision LinkReconnector::DecideDisc(ServerLink& link, bool madeAgain,
                                                      Clock::time_point overdue,
                                                      Outcome& outcome) {
  switch (link.DiscSelection()) {
    case ServerLink::Selection::kSelected:
      outcome = Outcome::kUsable;
      return Decision::kDecided;
    case ServerLink::Selection::kNotListed:
      link.Connection().Close();
      AttemptFailed(link);
      outcome = Outcome::kDiscGone;
      return Decision::kDecided;
    case ServerLink::Selection::kAwaiting:
      break;
  }
  if (!madeAgain && !link.AwaitingPrompt()) {
    outcome = Outcome::kUsable;
    return Decision::kDecided;
  }
  if (madeAgain && Clock::now() >= overdue) {
    link.Connection().Close();
    AttemptFailed(link);
    return Decision::kAbandoned;
  }
  return Decision::kWaiting;
}

bool LinkReconnector::AwaitDisc(ServerLink& link, ServerLink::Read& read, Clock::time_point until,
                                Outcome& outcome) {
  platform::Connection& connection = link.Connection();
  // The connection the dialog handed over goes on without a prompt that never comes, as
  // it always has; one made again must have its disc named, or it is made once more.
  const bool madeAgain = lost_;
  // (The connect event may not have run yet: the attempt's start is the earliest it did.)
  const Clock::time_point overdue = std::max(link.ConnectedAt(), attemptStarted_) +
                                    std::chrono::milliseconds(ServerLink::kPromptWaitMs);
  for (;;) {
    switch (DecideDisc(link, madeAgain, overdue, outcome)) {
      case Decision::kDecided:
        return true;
      case Decision::kAbandoned:
        return false;
      case Decision::kWaiting:
        break;
    }
    if (!connection.WaitReadable(MsUntil(std::min(until, overdue)))) {
      if (Clock::now() < until) continue;
      // The handed-over connection is tried all the same, as it always was.
      outcome = madeAgain ? Outcome::kNotYet : Outcome::kUsable;
      return true;
    }
    if (!TakeLoginMessages(read)) {
      connection.Close();
      AttemptFailed(link);
      return false;
    }
  }
}

bool LinkReconnector::TakeLoginMessages(ServerLink::Read& read) {
  std::vector<ServerStream::Message> unasked;
  bool open = read.Receive(unasked);
  for (const ServerStream::Message& message : unasked) {
    // Left open, a refused body's bytes would be read as the next request's reply.
    if (message.kind == ServerStream::Kind::kUnframed) open = false;
  }
  return open;
}

bool LinkReconnector::StartAttempt(ServerSocket& socket, Clock::time_point until) {
  if (Clock::now() < nextAttempt_) {
    if (nextAttempt_ > until) return false;
    std::this_thread::sleep_until(nextAttempt_);
  }
  ++attempts_;
  attemptStarted_ = Clock::now();
  nextAttempt_ = attemptStarted_ + std::chrono::milliseconds(pauseMs_);
  pauseMs_ = std::min(2 * pauseMs_, kLongestRetryMs);
  // The first attempt after a loss shows its events as any connection does; the ones after
  // it would repeat the same lines every few seconds for as long as the server is away.
  socket.link.PrepareConnectAgain(attempts_ > 1);
  socket.client.Activate();
  return true;
}

void LinkReconnector::AttemptFailed(ServerLink& link) {
  // A connection that the server closed after a text of its own, before its prompt, was
  // refused: the same login is not tried again soon.
  if (!lost_ || !link.LoginTurnedAway()) return;
  nextAttempt_ = std::max(nextAttempt_, Clock::now() + std::chrono::milliseconds(kLongestRetryMs));
  if (refusalTraced_) return;
  refusalTraced_ = true;
  if (trace_.Enabled()) {
    trace_.Gated(std::string(kTracePrefix) + "Login refused by the server (" +
                 OneLine(link.LastServerText()) + "), trying again every " +
                 std::to_string(kLongestRetryMs / 1000) + " s");
  }
}

void LinkReconnector::Recovered(ServerSocket* socket, ServerLink& link) {
  if (!lost_) return;
  lost_ = false;
  refusalTraced_ = false;
  link.EndQuiet();
  if (socket && trace_.Enabled()) {
    const LinkLogin login = link.Login();
    const std::string disc =
        login.discName.empty() ? std::to_string(login.discIndex) : login.discName;
    trace_.Gated(std::string(kTracePrefix) + "Server link to " + Address(*socket) +
                 " connected again at attempt " + std::to_string(attempts_) + ", disc " + disc +
                 " selected again as " + std::to_string(link.IndexFor(login.discIndex)));
  }
}

}  // namespace korvane
