// One client connection of the disc server. A session runs on a strand of its own and has
// at most one operation of its connection going at a time besides its deadline: it reads
// until the received bytes hold a whole message, handles it, writes the replies it made
// (in order, each after its pause), and only then looks at the next message. A client that
// stalls thus only ever holds its own session, and what a session keeps is bounded: the
// bytes of one unfinished message (ServerConfig::pendingLimit) and the replies to one.
//
// Short runs (a seek's first; up to 256 KiB) are made on the strand at once. Longer ones are made
// on the run pool, whose threads run at a lower priority, so that logins, prompts and seeks never
// wait behind the compression of other sessions' long runs; the session answers its next
// message only once the run has come back. A reader that asks for the run continuing the
// previous one is taken to read on: once the reply has been written, the run its next
// request will ask for is made ahead on the run pool while the client takes in the one sent. (Made
// while the reply is still being written, it would compete with the write for the processor and
// delay it.) A session keeps at most that one run ahead. The next request either is the one it was
// made for, and gets it at once (or as soon as it is done), or is another, and the run is
// dropped; a run is never made twice.
//
// A client that is not on this machine has its link timed (LinkRate): from when each run
// starts to leave and the next request comes. What the link was seen to carry limits the
// length of runs and, under --level auto, chooses their compression. Both change only as a
// run leaves, after its request had its length and before the next run is made ahead, so a
// run made ahead always has the length its request gets.
//
// Behind a balancer that sends the PROXY header, the header comes first and names the
// client: its address is the one counted, throttled and logged (the balancer's own, for its
// health checks, which name none). The first message must then be a login, checked once
// the address's login throttle gives it its turn. Bytes thrown away as no message may have
// cut a sector request, and what follows them is never taken for a disc selection made by
// a digit (see IsRestOfRequest).
// After a good one the session sends the greeting, the disc list and the disc prompt as
// three writes with a pause between them, since clients read only the first message of
// what arrives together. A logged-in session that asks for nothing for the idle timeout is
// told so and closed. A size query, which only the mount sends, is answered with a text of
// every listed disc's size. The session holds its connection's AdmissionTicket until it
// closes.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <asio.hpp>

#include "protocol/ClientMessages.h"
#include "server/AccountBook.h"
#include "server/Admission.h"
#include "server/LinkRate.h"
#include "server/PeerAddress.h"
#include "server/ReplyBudget.h"
#include "server/SectorReplies.h"
#include "server/ServerStats.h"
#include "server/SessionRegistry.h"

namespace korvane::server {

class DiscCatalog;
class DiscImage;
class ServerLog;
struct ServerConfig;

// What every session of a server shares; it outlives them all.
struct ServerContext {
  const ServerConfig& config;
  const DiscCatalog& discs;
  const AccountBook& accounts;
  ServerLog& log;
  SessionRegistry& registry;
  ServerCounters& counters;
  const std::atomic<bool>& stopping;  // raised once the server begins to stop
  LoginThrottle& throttle;
  ReplyBudget& budget;  // the reply bytes all sessions hold
  std::vector<uint8_t> discList;  // the encoded disc list message
  asio::any_io_executor runPool;  // where long runs, and runs made ahead, are made
};

class Session final : public std::enable_shared_from_this<Session> {
 public:
  // socket's executor must be a strand that nothing else uses.
  Session(asio::ip::tcp::socket socket, uint64_t id, const ServerContext& context,
          AdmissionTicket ticket);
  ~Session();

  // Starts serving the connection.
  void Start();

  // Closes the connection at once; callable from any thread.
  void Close();

 private:
  enum class State { kAwaitingHeader, kAwaitingLogin, kReady, kClosing, kDraining, kClosed };
  struct Outgoing {
    std::vector<uint8_t> bytes;
    uint32_t pauseMs;
    bool thenPrepare;     // once written, make the run that continues it
    uint32_t runSectors;  // the sectors of a run it carries, 0 for any other message
    BudgetHold hold = {};  // its bytes, in the server's reply budget
  };

  void Begin();
  void Read();
  void OnRead(const std::error_code& error, size_t size);
  void Process();
  void HandleProxyHeader();
  void HandleBeforeLogin(wire::ParseStatus status, const wire::ClientMessage& message);
  void HandleLogin(const wire::ClientMessage& message);
  void AwaitTurn();
  void LeaveLoginLine();
  void CheckLogin();
  // Limits the runs to what the link carries in a run's time and to this session's share of
  // the reply budget's room.
  void FitRunsToBudget();
  // Logs text now, or holds it until the login when this connection's lines wait.
  void LogEarly(const std::string& text);
  // Logs the lines held for the login.
  void LogHeldLines();
  // Closes the connection, still silent, to make room for a newcomer.
  void CloseForRoom();
  void ArmIdleTimer();
  void OnIdleTimer();
  void HandleAfterLogin(wire::ParseStatus status, wire::ClientMessage& message);
  bool IsRestOfRequest(wire::ClientMessage& selection) const;
  void HandleSelectDisc(uint8_t index);
  // The answer to a size query: every listed disc's size and sector size, in list order.
  std::string DiscSizes() const;
  void SetPeer(const asio::ip::address& address);
  void HandleSectorRequest(uint8_t mode, uint32_t lsn);
  // The tail request: the selected image's partial last sector, padded to a whole one.
  void HandleTailRequest();
  void NoteRequest(bool continues);
  void NoteRunLeaving(size_t bytes, uint32_t sectors);
  void SendPrepared();
  void PrepareNext();
  void MakeOnRunPool(std::shared_ptr<PreparedRun> run, bool ahead, uint64_t mostBytes);
  void OnPrepared(const std::shared_ptr<PreparedRun>& run);
  void DropPrepared();
  void Queue(std::vector<uint8_t> bytes, uint32_t pauseMs, bool thenPrepare = false,
             uint32_t runSectors = 0);
  void QueueText(const std::string& text);
  void Pump();
  void FinishWithText(const std::string& text, const std::string& reason);
  void Drain();
  void CloseNow(const std::string& reason);
  void Log(const std::string& text);

  asio::ip::tcp::socket socket_;
  asio::steady_timer pause_;
  asio::steady_timer deadline_;        // the login's, then the idle one
  asio::steady_timer writeDeadline_;   // a write the client does not take in ends the session
  asio::steady_timer preparedExpiry_;  // a run made ahead and not asked for is let go
  const ServerContext& context_;
  const uint64_t id_;
  AdmissionTicket ticket_;
  std::string peer_;
  asio::ip::address peerAddress_;  // the client's, from its connection or its balancer
  // Whether this connection's lines are logged as they come; if not, those before its
  // login wait in heldLines_, and a close before a login is only counted, under the address
  // it came from (ServerLog::ConnectionInFull).
  bool logInFull_ = true;
  std::string logAddress_;
  std::vector<std::string> heldLines_;
  State state_ = State::kAwaitingLogin;
  bool reading_ = false;
  bool loginWaiting_ = false;  // a login waits for its turn under the throttle
  bool afterBadInput_ = false;  // the last bytes handled were thrown away as no message
  std::string loginUser_;      // the login waiting, or being checked
  std::string loginPassword_;
  std::chrono::steady_clock::time_point lastRequest_;
  std::array<uint8_t, kLongestLogin> chunk_;  // one read, which bounds a login
  std::vector<uint8_t> pending_;
  std::deque<Outgoing> queue_;
  std::string closeReason_;
  size_t drained_ = 0;
  const DiscImage* disc_ = nullptr;
  RunPolicy policy_;
  LinkRate link_;
  ReplySettings replies_;
  std::shared_ptr<PreparedRun> prepared_;  // the run being made on the pool, if any
  BudgetHold preparedHold_;                // its bytes at most, in the reply budget
  bool preparedAhead_ = false;             // made ahead of its request, not for one
  bool preparedContinues_ = false;         // made for a request that read on
  bool preparedDone_ = false;              // its Make has returned
  bool awaitingPrepared_ = false;          // its request came before it was done
  uint64_t requests_ = 0;
  uint64_t bytesSent_ = 0;
};

}  // namespace korvane::server
