// The remote fetch: request, wait, store.
#include "core/RemoteFetch.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "core/ReadMode.h"
#include "core/WireProtocol.h"

namespace korvane {

namespace {
// What the read path has received and not yet used while it waits for its reply.
struct ReplyWait {
  std::string pending;
  std::optional<wire::DiscListReader> list;
  bool replyStarted = false;
  bool unframed = false;  // a length was refused: what follows cannot be framed
  SectorReplyReader::Status status = SectorReplyReader::Status::kNeedMore;
};

std::string Hex(unsigned char byte) {
  const char* digits = "0123456789ABCDEF";
  return std::string("0x") + digits[byte >> 4] + digits[byte & 15];
}
}  // namespace

bool RemoteFetcher::Fail(uint32_t lsn, const std::string& why) {
  if (trace_.Enabled()) {
    trace_.Gated(std::string(kTracePrefix) + why + ", LSN[" + std::to_string(lsn) + "] not read");
  }
  return false;
}

// Takes the next message off wait.pending: the reply is fed to its reader, texts, disc
// lists and prompts go to the link. False when the bytes start no message the read path
// knows; the reply's reader then holds the reason.
static bool TakeMessage(ReplyWait& wait, SectorReplyReader& reply, PluginLink& link,
                        std::string& refusal) {
  std::string& pending = wait.pending;
  size_t used = 0;
  if (wait.list) {
    auto listStatus = wait.list->Feed(pending, used);
    pending.erase(0, used);
    if (listStatus == wire::DiscListReader::Status::kNeedMore) return true;
    if (listStatus == wire::DiscListReader::Status::kBad) {
      refusal = wait.list->Error();
      wait.unframed = true;
      return false;
    }
    link.RouteDiscNames(wait.list->Names());
    wait.list.reset();
    return true;
  }
  if (wait.replyStarted) {
    wait.status = reply.Feed(pending, used);
    pending.erase(0, used);
    wait.unframed = wait.status == SectorReplyReader::Status::kBad;
    return !wait.unframed;
  }
  switch (pending[0]) {
    case wire::kText: {
      size_t length = wire::ServerTextLength(std::string_view(pending).substr(1));
      link.RouteServerText(std::string_view(pending).substr(1, length));
      pending.erase(0, 1 + length);
      return true;
    }
    case wire::kDiscList:
      wait.list.emplace();
      return true;
    case wire::kPrompt:
      link.AnswerPrompt();
      pending.erase(0, 1);
      return true;
    case wire::kSectorReply:
    case wire::kCompressedRun:
      wait.replyStarted = true;
      return true;
    default:
      refusal = "Server sent no sector reply (first byte " +
                Hex(static_cast<unsigned char>(pending[0])) + ")";
      return false;
  }
}

RemoteFetcher::Outcome RemoteFetcher::ReceiveReply(SectorReplyReader& reply, std::string& refusal) {
  using Status = SectorReplyReader::Status;
  platform::Connection& connection = link_->Connection();
  ReplyWait wait;
  auto complete = [&] { return wait.status == Status::kSector || wait.status == Status::kRun; };
  for (;;) {
    while (!wait.pending.empty() && !complete()) {
      if (!TakeMessage(wait, reply, *link_, refusal)) {
        if (refusal.empty()) refusal = reply.Error();
        return wait.unframed ? Outcome::kUnframed : Outcome::kNoReply;
      }
    }
    if (complete()) {
      // Messages after the reply still reach the link; another reply cannot follow.
      wait.replyStarted = false;
      std::string ignored;
      while (!wait.pending.empty() && TakeMessage(wait, reply, *link_, ignored) &&
             !wait.replyStarted) {
      }
      if (wait.unframed) link_->Connection().Close();
      return Outcome::kReply;
    }
    bool mayEnd = reply.MayEndShort();
    if (!connection.WaitReadable(mayEnd ? kShortSectorGraceMs : stallLimitMs_)) {
      if (!mayEnd) return Outcome::kStalled;
      reply.EndShort();
      return Outcome::kReply;
    }
    if (wait.replyStarted && reply.ReadingBody()) {
      // The body of a long run is received in place, not copied out of batches; what
      // arrives after its end goes back to the pending bytes.
      size_t before = reply.Body().size();
      connection.FetchAppend(reply.Body());
      if (reply.Body().size() == before && !connection.IsConnected()) return Outcome::kClosed;
      wait.status = reply.AfterAppend(wait.pending);
      continue;
    }
    std::string batch = connection.Fetch();
    if (batch.empty() && !connection.IsConnected()) return Outcome::kClosed;
    if (wait.pending.empty()) {
      wait.pending.swap(batch);  // the common case: no copy
    } else {
      wait.pending += batch;
    }
  }
}

bool RemoteFetcher::LinkUsable() {
  platform::Connection& connection = link_->Connection();
  auto comingUp = [&] {
    return connection.IsActive() && (!connection.IsConnected() || link_->AwaitingPrompt());
  };
  // Just after the dialog closed the link may still be connecting or logging in: wait
  // for it (its events are delivered meanwhile) rather than drop the request.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(stallLimitMs_);
  while (comingUp() && std::chrono::steady_clock::now() < deadline) connection.Pump(20);
  return connection.IsConnected();
}

bool RemoteFetcher::FetchRemoteSector(uint32_t lsn, int32_t mode) {
  if (!link_ || !LinkUsable()) return Fail(lsn, "Server link not connected");
  std::string request = wire::BuildSectorRequest(mode, lsn);
  if (trace_.Enabled()) {
    trace_.Gated("Requested Mode:" + std::to_string(mode) + "  LSN:" + std::to_string(lsn));
  }
  link_->SetFetchInProgress(true);
  link_->Connection().Send(request);
  SectorReplyReader reply(mode);
  reply.UseStorage(std::move(replyStorage_));
  std::string refusal;
  Outcome outcome = ReceiveReply(reply, refusal);
  link_->SetFetchInProgress(false);
  bool delivered = Deliver(outcome, reply, refusal, lsn, mode);
  replyStorage_ = reply.TakeStorage();
  return delivered;
}

bool RemoteFetcher::Deliver(Outcome outcome, const SectorReplyReader& reply,
                            const std::string& refusal, uint32_t lsn, int32_t mode) {
  switch (outcome) {
    case Outcome::kClosed:
      return Fail(lsn, "Server link closed while waiting for the reply");
    case Outcome::kStalled:
      link_->Connection().Close();
      return Fail(lsn, "No reply from the server within " + std::to_string(stallLimitMs_) +
                           " ms, link closed");
    case Outcome::kNoReply:
      return Fail(lsn, refusal);
    case Outcome::kUnframed:
      // Left open, the refused body's bytes would be read as the next request's reply.
      link_->Connection().Close();
      return Fail(lsn, refusal + ", link closed");
    case Outcome::kReply:
      break;
  }
  return reply.IsRun() ? StoreRun(reply, lsn, mode) : StoreSector(reply, lsn, mode);
}

bool RemoteFetcher::StoreSector(const SectorReplyReader& reply, uint32_t lsn, int32_t mode) {
  const std::string& sector = reply.Sector();
  if (trace_.Enabled())
    trace_.Gated("Size of Block Gotten returned: " + std::to_string(sector.size()));
  state_.SectorBuffer.Write(0, sector.data(), sector.size());
  cache_.AppendCachedSector(lsn, mode, reinterpret_cast<const uint8_t*>(sector.data()),
                            sector.size());
  return true;
}

bool RemoteFetcher::StoreRun(const SectorReplyReader& reply, uint32_t lsn, int32_t mode) {
  if (trace_.Enabled()) {
    trace_.Gated("Compressed packet gotten LENGTH:" + std::to_string(reply.StreamLength()) +
                 " Current Lsn:" + std::to_string(lsn) + " Mode:" + std::to_string(mode));
  }
  switch (inflater_.Inflate(reply.Stream(), kMaxRunPayloadBytes, payload_)) {
    case Inflater::Result::kTooLarge:
      return Fail(lsn, "Compressed run refused: it inflates to more than " +
                           std::to_string(kMaxRunPayloadBytes) + " bytes");
    case Inflater::Result::kCorrupt:
      return Fail(lsn, "Compressed run does not inflate");
    case Inflater::Result::kOk:
      break;
  }
  size_t pieceSize = SectorBytesForMode(mode);
  if (pieceSize == 0) return true;  // a run for a mode no file serves is not used
  if (payload_.Empty()) return Fail(lsn, "Compressed run holds no sector");
  cache_.AppendCachedSectors(lsn, mode, payload_.Data(), payload_.Size(), pieceSize);
  // Piece 0 as stored: what a read-back of the .Block file would give, and the sector is
  // still delivered when the cache could not be written.
  state_.SectorBuffer.Write(0, payload_.Data(), std::min(pieceSize, payload_.Size()));
  return true;
}

}  // namespace korvane
