// Brings the plugin link to where a request can go: connected, logged in and its disc
// named. A connect or login still under way since the dialog handed the link over is
// completed; a link once handed over whose connection is gone (the server's idle limit, a
// restart, a balancer, a reset, a stall) is connected again to the same address and port,
// with the same login, its disc named again by its name.
//
// It runs on the host's reading thread only, inside the reads, and dispatches no window
// messages. A read that needs the server waits for the link up to its bound; the prefetch
// takes only the steps that need no waiting, so that a hit never waits. Attempts are
// spaced: the first after a reply came goes at once, the next after kFirstRetryMs, each
// pause twice the one before, up to kLongestRetryMs; a refused login waits the longest.
// Never more than one connect is under way, and waiting for the next attempt is a sleep.
//
// Trace lines (gated): one per loss, "KorvaneCDVD OutPut: Server link to <host>:<port>
// lost (<how>), connecting again"; one per link made again, "KorvaneCDVD OutPut: Server
// link to <host>:<port> connected again at attempt <n>, disc <name> selected again as
// <index>"; one per run of refused logins, "KorvaneCDVD OutPut: Login refused by the
// server (<text>), trying again every <s> s".
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "core/link/LinkHolder.h"
#include "core/link/ServerLink.h"
#include "core/base/Trace.h"

namespace korvane {

// The pause after the first attempt that failed, and the longest pause between attempts.
inline constexpr int kFirstRetryMs = 250;
inline constexpr int kLongestRetryMs = 5000;

class LinkReconnector final {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LinkReconnector(Trace& trace) : trace_(trace) {}

  enum class Outcome {
    kUsable,    // connected, logged in, its disc named
    kNotYet,    // not by the time given: later calls go on from where this one stopped
    kDiscGone,  // the server no longer lists the disc: nothing was named, the link closed
    kNever,     // no link, or one that was never handed over or was replaced
  };

  // Makes link usable by until (now: only the steps that need no wait). Link is lent by
  // lease, which may be empty (a link of a test's own): then it is never connected again.
  // read owns the link's stream meanwhile and takes in the login's messages.
  Outcome MakeUsable(ServerLink& link, ServerLink::Read& read, const LinkHolder::Lease& lease,
                     Clock::time_point until);

  // Notes that the lent link's connection was lost (how: what ended it), so that the next
  // MakeUsable connects it again; traced once per loss.
  void NoteLoss(const LinkHolder::Lease& lease, const std::string& how);

  // A reply came: the link works, and the next loss is met by an attempt at once. (Only a
  // reply tells, so that a server that closes each connection made is not hammered.)
  void Served();

 private:
  // Waits up to until for the connected link's disc to be named. True with outcome when
  // that decides; false when the connection ended or its prompt did not come in time.
  bool AwaitDisc(ServerLink& link, ServerLink::Read& read, Clock::time_point until,
                 Outcome& outcome);
  // What the disc's selection, or its lack by overdue, decides now: kDecided with outcome,
  // kAbandoned when the connection was closed for it, kWaiting while the wait goes on.
  enum class Decision { kDecided, kAbandoned, kWaiting };
  Decision DecideDisc(ServerLink& link, bool madeAgain, Clock::time_point overdue,
                      Outcome& outcome);
  // Takes in what the connection holds now: texts, the list and the prompt go to the link's
  // handlers. False when it closed, or sent a length that was refused.
  static bool TakeLoginMessages(ServerLink::Read& read);
  // Starts the next attempt when it is due by until, sleeping till then; false otherwise.
  bool StartAttempt(ServerSocket& socket, Clock::time_point until);
  // An attempt ended before the link was usable: a refused login waits the longest.
  void AttemptFailed(ServerLink& link);
  // The link is usable: traced when it was made again.
  void Recovered(ServerSocket* socket, ServerLink& link);
  // Starts afresh when link is not the one followed so far.
  void Follow(const ServerLink& link);
  static std::string Address(const ServerSocket& socket);

  Trace& trace_;
  uint64_t followed_ = 0;             // the serial of the link the state below is about
  bool lost_ = false;                 // its connection is being made again
  int attempts_ = 0;                  // since the loss
  Clock::time_point attemptStarted_;  // of the last attempt
  Clock::time_point nextAttempt_;     // no attempt starts before
  int pauseMs_ = kFirstRetryMs;       // after the next attempt
  bool refusalTraced_ = false;
};

}  // namespace korvane
