// The link shaper: an acceptor thread, and for each connection two lanes (one per
// direction), each a reading thread that stamps the bytes with the time the link delivers
// them and a writing thread that sleeps until that time and sends them on.
#include "LinkShaper.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>

namespace korvane::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 20;
// The link carries bytes in pieces of what it sends in a millisecond, and no less than one
// segment: fine enough that a reply trickles in as it would, coarse enough to cost ~1000
// wake-ups a second at most.
constexpr size_t kSegmentBytes = 1460;
constexpr double kPieceSeconds = 0.001;
// Far more than a link has in flight at these rates; beyond it the reader waits.
constexpr size_t kMaxWaitingBytes = 64u << 20;

Clock::duration Seconds(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

// One direction of a connection: what is read from `from` waits here for the link, then
// goes to `to`; the source's close follows the last byte.
class ShapedLane final {
 public:
  ShapedLane(sock::Socket from, sock::Socket to, const LinkSetting& link,
             std::atomic<uint64_t>& delivered, std::atomic<int64_t>& latestUs,
             const std::atomic<bool>& stopping)
      : from_(from), to_(to), delivered_(delivered), latestUs_(latestUs), stopping_(stopping) {
    oneWay_ = Seconds(link.rttMs / 2000.0);
    bytesPerSecond_ = link.megabytesPerSecond * 1e6;
    pieceBytes_ =
        bytesPerSecond_ > 0
            ? std::max(kSegmentBytes, static_cast<size_t>(bytesPerSecond_ * kPieceSeconds))
            : SIZE_MAX;
  }

  void Start() {
    reader_ = std::thread([this] { Read(); });
    writer_ = std::thread([this] { Write(); });
  }
  // Wakes both threads for good; the sockets' shutdown is the caller's.
  void Abort() {
    std::lock_guard<std::mutex> hold(lock_);
    aborted_ = true;
    due_.notify_all();
    room_.notify_all();
  }
  void Join() {
    if (reader_.joinable()) reader_.join();
    if (writer_.joinable()) writer_.join();
  }
  bool Ended() const { return readerEnded_ && writerEnded_; }
  // The source's side ended with a reset rather than a close.
  bool SourceReset() const { return sourceReset_; }

 private:
  struct Piece {
    Clock::time_point due;
    std::string bytes;
    bool end = false;  // the source's close, after every byte before it
  };

  void Read();
  void Write();
  // Queues size bytes read at now as the link carries them: one after another at the
  // bandwidth, each piece due a one-way delay after its last byte went out.
  void Schedule(const char* data, size_t size, Clock::time_point now);
  // Takes the pieces due by now into out; true when the source's close was among them.
  bool TakeDue(Clock::time_point now, std::string& out);
  void NoteLateness(Clock::duration late) {
    int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(late).count();
    for (int64_t seen = latestUs_; us > seen && !latestUs_.compare_exchange_weak(seen, us);) {
    }
  }

  sock::Socket from_, to_;
  std::atomic<uint64_t>& delivered_;
  std::atomic<int64_t>& latestUs_;
  const std::atomic<bool>& stopping_;
  Clock::duration oneWay_;
  double bytesPerSecond_;
  size_t pieceBytes_;

  std::mutex lock_;
  std::condition_variable due_;   // a piece was queued, or the lane aborted
  std::condition_variable room_;  // bytes left the queue
  std::deque<Piece> pieces_;
  size_t waiting_ = 0;            // bytes in pieces_
  Clock::time_point linkFree_{};  // when the link has sent everything queued so far
  bool aborted_ = false;

  std::atomic<bool> broken_{false};  // `to` took no more bytes
  std::atomic<bool> sourceReset_{false};
  std::atomic<bool> readerEnded_{false};
  std::atomic<bool> writerEnded_{false};
  std::thread reader_, writer_;
};

void ShapedLane::Read() {
  char chunk[65536];
  bool closed = false;
  while (!stopping_ && !broken_) {
    int got = sock::Receive(from_, chunk, sizeof chunk, kPollMs);
    if (got == sock::kTimedOut) continue;
    std::unique_lock<std::mutex> hold(lock_);
    if (got <= 0) {
      closed = true;
      sourceReset_ = got == sock::kFailed;
      Schedule(nullptr, 0, Clock::now());
      break;
    }
    auto now = Clock::now();  // when the bytes reached the link, before any wait for room
    room_.wait(hold, [&] { return waiting_ < kMaxWaitingBytes || aborted_ || broken_; });
    if (aborted_) break;
    Schedule(chunk, static_cast<size_t>(got), now);
    due_.notify_one();
  }
  if (closed) due_.notify_one();
  readerEnded_ = true;
}

void ShapedLane::Schedule(const char* data, size_t size, Clock::time_point now) {
  Clock::time_point start = std::max(now, linkFree_);
  if (size == 0) {
    pieces_.push_back({start + oneWay_, {}, true});
    return;
  }
  for (size_t at = 0; at < size;) {
    size_t n = std::min(pieceBytes_, size - at);
    if (bytesPerSecond_ > 0) start += Seconds(n / bytesPerSecond_);
    pieces_.push_back({start + oneWay_, std::string(data + at, n)});
    waiting_ += n;
    at += n;
  }
  linkFree_ = start;
}

bool ShapedLane::TakeDue(Clock::time_point now, std::string& out) {
  while (!pieces_.empty() && pieces_.front().due <= now) {
    Piece& piece = pieces_.front();
    if (piece.end) return true;
    waiting_ -= piece.bytes.size();
    out += piece.bytes;
    pieces_.pop_front();
  }
  return false;
}

void ShapedLane::Write() {
  std::unique_lock<std::mutex> hold(lock_);
  bool closed = false;
  while (!aborted_ && !closed) {
    if (pieces_.empty()) {
      due_.wait(hold);
      continue;
    }
    Clock::time_point due = pieces_.front().due;
    if (Clock::now() < due) {
      due_.wait_until(hold, due);
      continue;
    }
    std::string out;
    const Clock::time_point now = Clock::now();
    NoteLateness(now - due);
    closed = TakeDue(now, out);
    room_.notify_one();
    hold.unlock();
    if (!out.empty() && !sock::SendAll(to_, out)) {
      broken_ = true;  // the reader stops at its next look
      hold.lock();
      room_.notify_all();
      break;
    }
    delivered_ += out.size();
    if (closed) sock::ShutdownSending(to_);
    hold.lock();
  }
  writerEnded_ = true;
}

// A client's connection and the one it was given to the server, with a lane each way.
class ShapedConnection final {
 public:
  ShapedConnection(sock::Socket client, sock::Socket server, const LinkSetting& link,
                   ShaperTally& tally, const std::atomic<bool>& stopping)
      : client_(client),
        server_(server),
        up_(client, server, link, tally.toServer, tally.latestUs, stopping),
        down_(server, client, link, tally.toClients, tally.latestUs, stopping) {
    up_.Start();
    down_.Start();
  }
  ~ShapedConnection() {
    if (!Ended()) {
      // Blocked sends end at the shutdown, waits at the abort.
      sock::Shutdown(client_);
      sock::Shutdown(server_);
      up_.Abort();
      down_.Abort();
    }
    up_.Join();
    down_.Join();
    // A reset on one side reaches the other as a reset.
    sock::Close(client_, down_.SourceReset());
    sock::Close(server_, up_.SourceReset());
  }
  bool Ended() const { return up_.Ended() && down_.Ended(); }

 private:
  sock::Socket client_, server_;
  ShapedLane up_, down_;
};

LinkShaper::LinkShaper(int serverPort, LinkSetting link, int listenPort)
    : serverPort_(serverPort), link_(link) {
  listener_ = sock::Listen(port_, listenPort);
  if (listener_ == sock::kNoSocket) {
    port_ = 0;
    return;
  }
  acceptor_ = std::thread([this] { AcceptClients(); });
}

LinkShaper::~LinkShaper() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  sock::Close(listener_);
}

void LinkShaper::AcceptClients() {
  while (!stopping_) {
    Reap(false);
    sock::Socket client = sock::Accept(listener_, kPollMs);
    if (client == sock::kNoSocket) continue;
    ++accepted_;
    sock::Socket server = sock::Connect(serverPort_);
    if (server != sock::kNoSocket && !link_.clientAddress.empty() &&
        !sock::SendAll(server, "PROXY TCP4 " + link_.clientAddress + " 127.0.0.1 40000 " +
                                   std::to_string(serverPort_) + "\r\n")) {
      sock::Close(server);
      server = sock::kNoSocket;
    }
    if (server == sock::kNoSocket) {
      sock::Close(client, true);  // as a refused connect would look through a real link
      continue;
    }
    connections_.push_back(
        std::make_unique<ShapedConnection>(client, server, link_, tally_, stopping_));
  }
  Reap(true);
}

void LinkShaper::Reap(bool all) {
  connections_.remove_if([all](const auto& c) { return all || c->Ended(); });
}

}  // namespace korvane::test
