// The remote disc: request, wait, and hand back the reply as a run.
#include "core/RemoteDisc.h"

#include <algorithm>
#include <chrono>

#include "core/ReadMode.h"
#include "core/WireProtocol.h"

namespace korvane {

bool RemoteDisc::Fail(uint32_t lsn, const std::string& why) {
  if (trace_.Enabled()) {
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
}  // namespace

RemoteDisc::Outcome RemoteDisc::ReceiveReply(PluginLink& link, PluginLink::Read& read,
                                             std::string& refusal) {
  using Kind = ServerStream::Kind;
  platform::Connection& connection = link.Connection();
  ServerStream& stream = read.Stream();
  std::vector<ServerStream::Message> met;
  for (;;) {
    bool mayEnd = stream.MayEndShort();
    if (!connection.WaitReadable(mayEnd ? kShortSectorGraceMs : stallLimitMs_)) {
      if (!mayEnd) return Outcome::kStalled;
      stream.EndShort();  // nothing followed at once: the sector ends here
    }
    met.clear();
    bool open = read.Receive(met);
    bool replied = false;
    for (const ServerStream::Message& message : met) {
      if (message.kind == Kind::kSector || message.kind == Kind::kRun) {
        replied = true;
      } else if (!replied) {
        refusal = message.text;
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

bool RemoteDisc::LinkUsable(PluginLink& link, PluginLink::Read& read) {
  platform::Connection& connection = link.Connection();
  if (!connection.IsConnected() &&
      (!connection.IsActive() || !connection.AwaitConnected(stallLimitMs_))) {
    return false;
  }
  // Logged in and the disc named: the server's prompt, answered here when it comes in
  // this wait. The link stops waiting for it after a while by itself.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(stallLimitMs_);
  std::vector<ServerStream::Message> unasked;
  while (link.AwaitingPrompt() && std::chrono::steady_clock::now() < deadline) {
    if (!connection.WaitReadable(kLoginPollMs)) continue;
    unasked.clear();
    if (!read.Receive(unasked)) return false;
    if (Unframed(unasked)) connection.Close();  // as in a reply's wait
  }
  return connection.IsConnected();
}

bool RemoteDisc::FetchRun(uint32_t lsn, int32_t mode, SectorRun& run) {
  LinkHolder::Lease lease = links_ && !fixedLink_ ? links_->Acquire() : LinkHolder::Lease();
  PluginLink* link = fixedLink_ ? fixedLink_ : lease.Link();
  if (!link) return Fail(lsn, "Server link not connected");
  PluginLink::Read read(*link);
  if (!LinkUsable(*link, read)) return Fail(lsn, "Server link not connected");
  std::string request = wire::BuildSectorRequest(mode, lsn);
  if (trace_.Enabled()) {
    trace_.Gated("Requested Mode:" + std::to_string(mode) + "  LSN:" + std::to_string(lsn));
  }
  read.Stream().UseStorage(std::move(replyStorage_));
  read.AwaitReply(mode);
  link->Connection().Send(request);
  std::string refusal;
  Outcome outcome = ReceiveReply(*link, read, refusal);
  bool delivered = Deliver(*link, outcome, read.Stream(), refusal, lsn, mode, run);
  replyStorage_ = read.Stream().TakeStorage();
  return delivered;
}

bool RemoteDisc::Deliver(PluginLink& link, Outcome outcome, const ServerStream& reply,
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
