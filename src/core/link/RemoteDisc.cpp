// The remote disc: request, wait, and hand back the reply as a run.
#include "core/link/RemoteDisc.h"

#include <algorithm>
#include <chrono>

#include "core/base/ReadMode.h"
#include "protocol/ClientMessages.h"
#include "protocol/ServerMessages.h"

namespace korvane {

void RemoteDisc::Select(int32_t discIndex) {
  if (links_) {
    LinkHolder::Lease lease = links_->Acquire();
    if (ServerLink* link = lease.Link()) {
      link->Connection().Send(wire::BuildDiscSelection(link->IndexFor(discIndex)));
    }
  }
  if (trace_.Enabled()) {
    trace_.Gated("Setting Current Disk to " + std::to_string(discIndex) + " on server");
  }
}

bool RemoteDisc::Fail(uint32_t lsn, const std::string& why) {
  if (trace_.Enabled() && !(out_ && out_->ahead)) {
    trace_.Gated(std::string(kTracePrefix) + why + ", LSN[" + std::to_string(lsn) + "] not read");
  }
  return false;
}

namespace {
// True when messages hold a refused length: what follows it cannot be framed.
bool Unframed(const std::vector<ServerStream::Message>& messages) {
  for (const ServerStream::Message& message : messages) {
    if (message.kind == ServerStream::Kind::kUnframed) return true;
  }
  return false;
}

// True when message, met before any reply, ends the wait for one; refusal says why.
bool EndsWithoutReply(const ServerStream::Message& message, std::string& refusal) {
  if (message.kind != ServerStream::Kind::kText) {
    refusal = message.text;
    return true;
  }
  // Only a read that keeps texts (the tail request's) meets them: a server that does not
  // know the request answers it with this text and nothing more.
  if (!wire::IsUnknownKindText(message.text)) return false;
  refusal = "Server does not know the request";
  return true;
}
}  // namespace

RemoteDisc::Outcome RemoteDisc::ReceiveReply(ServerLink& link, ServerLink::Read& read, bool wait,
                                             std::string& refusal) {
  using Kind = ServerStream::Kind;
  platform::Connection& connection = link.Connection();
  ServerStream& stream = read.Stream();
  std::vector<ServerStream::Message> met;
  for (;;) {
    bool mayEnd = stream.MayEndShort();
    if (!connection.WaitReadable(!wait ? 0 : mayEnd ? kShortSectorGraceMs : stallLimitMs_)) {
      if (!wait) return Outcome::kPending;
      if (!mayEnd) return Outcome::kStalled;
      stream.EndShort();  // nothing followed at once: the sector ends here
    }
    met.clear();
    bool open = read.Receive(met);
    bool replied = false;
    for (const ServerStream::Message& message : met) {
      if (message.kind == Kind::kSector || message.kind == Kind::kRun) {
        replied = true;
      } else if (!replied && EndsWithoutReply(message, refusal)) {
        return message.kind == Kind::kUnframed ? Outcome::kUnframed : Outcome::kNoReply;
      }
    }
    if (replied) {
      // What came right behind the reply (a text, a prompt) is handled now, not left for
      // a host that may never dispatch the link's messages.
      if (!Unframed(met)) {
        met.clear();
        read.Receive(met);
      }
      // Left open, a refused body's bytes would be read as the next request's reply.
      if (Unframed(met)) connection.Close();
      return Outcome::kReply;
    }
    if (!open) return Outcome::kClosed;
  }
}

LinkReconnector::Outcome RemoteDisc::Send(uint32_t lsn, int32_t mode, Request request,
                                          LinkReconnector::Clock::time_point until) {
  const bool ahead = request == Request::kAhead;
  LinkHolder::Lease lease = links_ && !fixedLink_ ? links_->Acquire() : LinkHolder::Lease();
  ServerLink* link = fixedLink_ ? fixedLink_ : lease.Link();
  if (!link) return LinkReconnector::Outcome::kNever;
  auto out =
      std::make_unique<Outstanding>(Outstanding{std::move(lease), link, nullptr, lsn, mode, ahead});
  out->read = std::make_unique<ServerLink::Read>(*link);
  const LinkReconnector::Outcome usable =
      reconnector_.MakeUsable(*link, *out->read, out->lease, until);
  if (usable != LinkReconnector::Outcome::kUsable) return usable;
  // Ahead of need, a request waits for the login to be done with.
  if (ahead && link->AwaitingPrompt()) return LinkReconnector::Outcome::kNotYet;
  if (trace_.Enabled()) {
    trace_.Gated((request == Request::kTail ? "Requested the tail, Mode:" : "Requested Mode:") +
                 std::to_string(mode) + "  LSN:" + std::to_string(lsn));
  }
  out->read->Stream().UseStorage(std::move(replyStorage_));
  out->read->AwaitReply(mode);
  if (request == Request::kTail) out->read->KeepTexts();
  link->Connection().Send(request == Request::kTail ? wire::BuildTailRequest()
                                                    : wire::BuildSectorRequest(mode, lsn));
  out_ = std::move(out);
  return usable;
}

AheadRunSource::Ahead RemoteDisc::Complete(bool wait, SectorRun& run) {
  std::string refusal;
  Outcome outcome = ReceiveReply(*out_->link, *out_->read, wait, refusal);
  if (outcome == Outcome::kPending) return Ahead::kPending;
  const bool again = !fixedLink_ && out_->link->HandedOver();
  if (outcome == Outcome::kClosed && again) {
    // The reply, cut or never sent, is dropped with its connection; the read that needs
    // its sectors asks again on the connection made anew.
    reconnector_.NoteLoss(out_->lease, "closed while waiting for the reply");
    replyStorage_ = out_->read->Stream().TakeStorage();
    out_.reset();
    return Ahead::kNone;
  }
  if (outcome == Outcome::kStalled && again) {
    reconnector_.NoteLoss(out_->lease, "no reply within " + std::to_string(stallLimitMs_) + " ms");
  }
  bool delivered =
      Deliver(*out_->link, outcome, out_->read->Stream(), refusal, out_->lsn, out_->mode, run);
  if (outcome == Outcome::kReply) reconnector_.Served();
  replyStorage_ = out_->read->Stream().TakeStorage();
  out_.reset();
  return delivered ? Ahead::kArrived : Ahead::kFailed;
}

bool RemoteDisc::FetchRun(uint32_t lsn, int32_t mode, SectorRun& run, RunSink&) {
  return Fetch(lsn, mode, Request::kRead, run);
}

bool RemoteDisc::FetchTail(uint32_t lsn, int32_t mode, SectorRun& run) {
  return Fetch(lsn, mode, Request::kTail, run);
}

bool RemoteDisc::Fetch(uint32_t lsn, int32_t mode, Request request, SectorRun& run) {
  // Never two requests out: a reply still owed is taken in (and not used) first.
  SectorRun owed;
  if (out_) TakeAhead(Wait::kQuietly, owed);
  // The read's one bound covers the connects and logins it waits for as well.
  const auto until = LinkReconnector::Clock::now() + std::chrono::milliseconds(stallLimitMs_);
  std::string unsent = "Server link not connected";
  for (;;) {
    switch (Send(lsn, mode, request, until)) {
      case LinkReconnector::Outcome::kUsable:
        break;
      case LinkReconnector::Outcome::kDiscGone:
        return Fail(lsn, "Disc " + DiscNameOf() + " is no longer listed by the server");
      case LinkReconnector::Outcome::kNotYet:
      case LinkReconnector::Outcome::kNever:
        return Fail(lsn, unsent);
    }
    const Ahead reply = Complete(true, run);
    if (reply != Ahead::kNone) return reply == Ahead::kArrived;
    // The connection was lost while the read waited: it is asked again on a new one.
    unsent = "Server link closed while waiting for the reply";
  }
}

bool RemoteDisc::RequestAhead(uint32_t lsn, int32_t mode) {
  return !out_ &&
         Send(lsn, mode, Request::kAhead, LinkReconnector::Clock::now()) ==
             LinkReconnector::Outcome::kUsable;
}

AheadRunSource::Ahead RemoteDisc::TakeAhead(Wait wait, SectorRun& run) {
  if (!out_) return Ahead::kNone;
  if (out_->lease.Replaced()) {
    out_.reset();  // the old link is closing: its reply would belong to nobody
    return Ahead::kNone;
  }
  if (wait == Wait::kForRead) out_->ahead = false;
  return Complete(wait != Wait::kNo, run);
}

std::string RemoteDisc::DiscNameOf() const {
  LinkHolder::Lease lease = links_ && !fixedLink_ ? links_->Acquire() : LinkHolder::Lease();
  ServerLink* link = fixedLink_ ? fixedLink_ : lease.Link();
  return link ? link->Login().discName : std::string();
}

bool RemoteDisc::Deliver(ServerLink& link, Outcome outcome, const ServerStream& reply,
                         const std::string& refusal, uint32_t lsn, int32_t mode, SectorRun& run) {
  switch (outcome) {
    case Outcome::kClosed:
      return Fail(lsn, "Server link closed while waiting for the reply");
    case Outcome::kStalled:
      link.Connection().Close();
      return Fail(lsn, "No reply from the server within " + std::to_string(stallLimitMs_) +
                           " ms, link closed");
    case Outcome::kNoReply:
      return Fail(lsn, refusal);
    case Outcome::kUnframed:
      // Left open, the refused body's bytes would be read as the next request's reply.
      link.Connection().Close();
      return Fail(lsn, refusal + ", link closed");
    case Outcome::kPending:
      return false;  // never delivered: the request stays out
    case Outcome::kReply:
      break;
  }
  return reply.LastWasRun() ? TakeRun(reply, lsn, mode, run)
                            : TakeSector(reply.Reply(), lsn, mode, run);
}

bool RemoteDisc::TakeSector(const std::string& sector, uint32_t lsn, int32_t mode, SectorRun& run) {
  if (trace_.Enabled())
    trace_.Gated("Size of Block Gotten returned: " + std::to_string(sector.size()));
  // The stream's storage goes back for the next reply, so the sector is kept apart.
  sector_.assign(sector);
  run = {lsn, mode, sector_.size(), reinterpret_cast<const uint8_t*>(sector_.data()),
         sector_.size()};
  return true;
}

bool RemoteDisc::TakeRun(const ServerStream& reply, uint32_t lsn, int32_t mode, SectorRun& run) {
  if (trace_.Enabled()) {
    trace_.Gated("Compressed packet gotten LENGTH:" + std::to_string(reply.RunLength()) +
                 " Current Lsn:" + std::to_string(lsn) + " Mode:" + std::to_string(mode));
  }
  switch (inflater_.Inflate(reply.Reply(), kMaxRunPayloadBytes, payload_)) {
    case Inflater::Result::kTooLarge:
      return Fail(lsn, "Compressed run refused: it inflates to more than " +
                           std::to_string(kMaxRunPayloadBytes) + " bytes");
    case Inflater::Result::kCorrupt:
      return Fail(lsn, "Compressed run does not inflate");
    case Inflater::Result::kOk:
      break;
  }
  const size_t pieceSize = SectorBytesForMode(mode);
  run = {lsn, mode, pieceSize, payload_.Data(), payload_.Size()};
  if (pieceSize == 0) return true;  // a run for a mode no file serves is not used
  if (payload_.Empty()) return Fail(lsn, "Compressed run holds no sector");
  return true;
}

}  // namespace korvane
