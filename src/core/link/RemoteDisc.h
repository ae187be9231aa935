// The remote disc: the fetch of a run of sectors from the disc server. The sector request
// goes to the server on the current server link, the read path waits for the reply on the calling
// thread, and the reply (one sector, or a compressed run inflated whole) is handed back as
// a SectorRun; the cached source over it stores the run. It knows nothing of the cache.
// The mount fetches the same way the partial sector an image may end with, by the tail
// request, which the plugin never sends; a server that does not know it answers with a
// text alone, which ends that wait.
//
// The read takes the link's stream for its duration and waits on the socket itself, never
// on window messages: just after the dialog closed, it completes the link's connect and
// login (and answers the server's prompt) when no notification has done so, and once the
// link's connection is lost, it connects the link again (LinkReconnector). Waiting never
// spins: the thread sleeps on the socket until bytes arrive. A read waits kReplyStallMs at
// most for a link to send on, attempts to connect again included; a connection lost while
// a read waits for its reply is made again and the request sent again within that bound,
// the cut reply dropped. A server that sends nothing for kReplyStallMs fails the read and
// the link is closed, to be made again by the next read. Server texts, disc lists and
// prompts that arrive meanwhile go to the link's handlers, and the wait goes on: no reply
// is ever stored under another request's LSN.
//
// A request sent ahead keeps the link's stream, and the link lent, until its reply is taken
// in whole: later reads take what has arrived without waiting, so the link's own handler
// on another thread never sees those bytes. A reply to a link that was replaced meanwhile
// is dropped with it. On the wire it is the same single request, read whole before the next.
// A request ahead goes out only on a link that is ready for it; on one being made again,
// each try to send ahead takes the steps that need no wait, and the request goes once the
// link is there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/link/Inflate.h"
#include "core/link/LinkHolder.h"
#include "core/link/LinkReconnector.h"
#include "core/link/ServerLink.h"
#include "core/base/RunSource.h"
#include "core/base/Trace.h"
#include "protocol/ServerStream.h"

namespace korvane {

// How long a fetch waits with no byte from the server before it gives up: long enough
// for a busy server to compress a long run over a slow line, short enough that a dead
// server costs the emulator a pause rather than a hang.
inline constexpr int kReplyStallMs = 10000;

// How long a single-sector reply of 2048 or 2340 bytes waits for more before it is taken
// as complete, when the requested mode expects a longer sector: bytes of one send arrive
// together, so a longer sector continues well within this.
inline constexpr int kShortSectorGraceMs = 250;

// How often a read that waits for the server's prompt after the login looks again.
inline constexpr int kLoginPollMs = 50;

class RemoteDisc final : public AheadRunSource {
 public:
  // Sectors are fetched on the current link of links, when there is one.
  RemoteDisc(Trace& trace, LinkHolder* links) : trace_(trace), links_(links), reconnector_(trace) {}

  // Fetches on this link instead of the holder's (tests).
  void SetLink(ServerLink* link) { fixedLink_ = link; }

  // Shortens the wait for a silent server, so that tests need not wait kReplyStallMs.
  void SetStallLimitMs(int limitMs) { stallLimitMs_ = limitMs; }

  // Fetches the run from sector lsn in mode; true with run filled (a run for a mode no file
  // serves has a piece size of 0), false with a trace line otherwise.
  bool FetchRun(uint32_t lsn, int32_t mode, SectorRun& run, RunSink& above) override;

  // Selects the disc at discIndex in the server's list on the current link, when it is
  // connected; dropped without a report otherwise (a link connected again names its disc
  // at the prompt by where the server lists it then). Traced as the disc set on the server.
  void Select(int32_t discIndex);

  // Fetches by the tail request (which the plugin never sends) the image's bytes after its
  // last whole sector, lsn, padded with zero bytes to a sector of mode; as FetchRun.
  bool FetchTail(uint32_t lsn, int32_t mode, SectorRun& run);

  // Sends the request when the link is connected and logged in, without waiting for any of
  // it; false, untraced, otherwise or when a request is out.
  bool RequestAhead(uint32_t lsn, int32_t mode) override;

  // The reply to the request out, as AheadRunSource says.
  Ahead TakeAhead(Wait wait, SectorRun& run) override;

 private:
  // A request whose reply has not been taken in whole: the link lent to it and the stream
  // it owns till then. A request sent ahead is no read of the host's until a read waits for
  // its reply: till then its failure is not traced as one.
  struct Outstanding {
    LinkHolder::Lease lease;
    ServerLink* link;
    std::unique_ptr<ServerLink::Read> read;
    uint32_t lsn;
    int32_t mode;
    bool ahead;
  };

  // kUnframed: the length of the reply or of a disc list in its way was refused (no
  // number, or past its bound), so the rest of that body is still on its way and nothing
  // after it could be framed.
  // kPending: nothing whole yet, and the caller did not wait.
  enum class Outcome { kReply, kNoReply, kUnframed, kClosed, kStalled, kPending };

  // What a request asks for: the run from an LSN, for a read or ahead of one, or the tail.
  enum class Request { kRead, kAhead, kTail };

  // Sends the request on the current link once it is usable, waiting for that until until;
  // the outcome tells why it could not go.
  LinkReconnector::Outcome Send(uint32_t lsn, int32_t mode, Request request,
                                LinkReconnector::Clock::time_point until);
  // FetchRun for a read's request or the tail's.
  bool Fetch(uint32_t lsn, int32_t mode, Request request, SectorRun& run);
  // Takes in the reply to the request out, waiting for it when wait; the request is done
  // with unless kPending. kNone: the connection was lost and is to be made again.
  Ahead Complete(bool wait, SectorRun& run);
  // The name of the disc the current link names at a prompt.
  std::string DiscNameOf() const;
  // Reads the reply, waiting for it when wait; on kNoReply and kUnframed, refusal says why.
  Outcome ReceiveReply(ServerLink& link, ServerLink::Read& read, bool wait, std::string& refusal);
  // Acts on how the wait for a reply ended: hands the run back, or fails with a trace.
  bool Deliver(ServerLink& link, Outcome outcome, const ServerStream& reply,
               const std::string& refusal, uint32_t lsn, int32_t mode, SectorRun& run);
  bool TakeSector(const std::string& sector, uint32_t lsn, int32_t mode, SectorRun& run);
  bool TakeRun(const ServerStream& reply, uint32_t lsn, int32_t mode, SectorRun& run);
  bool Fail(uint32_t lsn, const std::string& why);

  Trace& trace_;
  LinkHolder* links_;
  ServerLink* fixedLink_ = nullptr;
  int stallLimitMs_ = kReplyStallMs;
  LinkReconnector reconnector_;
  Inflater inflater_;
  ByteBuffer payload_;
  std::string replyStorage_;  // kept between fetches, with its capacity
  std::string sector_;        // the last single-sector reply, which run points into
  std::unique_ptr<Outstanding> out_;
};

}  // namespace korvane
