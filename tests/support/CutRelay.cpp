// The cutting relay: one thread takes the client and carries the server's bytes to it
// through the filter, another carries the client's bytes to the server.
#include "CutRelay.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "protocol/MessageKinds.h"

namespace korvane::test {

namespace {
constexpr int kPollMs = 20;
constexpr uint64_t kUnknown = std::numeric_limits<uint64_t>::max();
}  // namespace

CutRelay::CutRelay(int serverPort, size_t singleSectorBytes)
    : serverPort_(serverPort), singleBytes_(singleSectorBytes) {
  listener_ = sock::Listen(port_);
  thread_ = std::thread([this] { Run(); });
}

CutRelay::~CutRelay() {
  stopping_ = true;
  thread_.join();
  sock::Close(listener_);
}

void CutRelay::CutNextReply(double fraction, std::function<void()> onCut) {
  std::lock_guard<std::mutex> hold(lock_);
  armed_ = true;
  fraction_ = fraction;
  onCut_ = std::move(onCut);
}

void CutRelay::Run() {
  while (!stopping_ && client_ == sock::kNoSocket) client_ = sock::Accept(listener_, kPollMs);
  if (client_ == sock::kNoSocket) return;
  server_ = sock::Connect(serverPort_);
  std::thread toServer([this] { ForwardClientBytes(); });
  char chunk[65536];
  while (!stopping_ && server_ != sock::kNoSocket) {
    int got = sock::Receive(server_, chunk, sizeof chunk, kPollMs);
    if (got == sock::kTimedOut) continue;
    if (got <= 0) break;
    std::string out;
    bool cutNow = false;
    Filter(chunk, static_cast<size_t>(got), out, cutNow);
    if (!out.empty()) sock::SendAll(client_, out);
    if (cutNow) {
      std::function<void()> onCut;
      {
        std::lock_guard<std::mutex> hold(lock_);
        onCut.swap(onCut_);
      }
      cutMade_ = true;
      if (onCut) onCut();
    }
  }
  serverClosed_ = true;
  // The other thread stops on the flag above; only then is the client's socket closed, so
  // that no thread waits on a socket that is gone.
  toServer.join();
  sock::Close(client_, resetOnClose_);
  sock::Close(server_);
}

void CutRelay::ForwardClientBytes() {
  char chunk[4096];
  while (!stopping_ && !serverClosed_) {
    int got = sock::Receive(client_, chunk, sizeof chunk, kPollMs);
    if (got == sock::kTimedOut) continue;
    if (got <= 0 || server_ == sock::kNoSocket) break;
    sock::SendAll(server_, chunk, static_cast<size_t>(got));
  }
  if (server_ != sock::kNoSocket) sock::Shutdown(server_);
}

void CutRelay::StartReply(unsigned char kind) {
  std::lock_guard<std::mutex> hold(lock_);
  cutting_ = armed_;
  armed_ = false;
  replySeen_ = 0;
  replyTotal_ = kind == protocol::kSingleSector ? 1 + singleBytes_ : kUnknown;
  remaining_ = singleBytes_;
  stage_ = kind == protocol::kSingleSector ? Stage::kReply : Stage::kRunHead;
  if (fraction_ == 0) {
    cutAt_ = 0;
  } else {
    cutAt_ = kind == protocol::kSingleSector
                 ? static_cast<uint64_t>(std::floor(replyTotal_ * fraction_))
                 : kUnknown;
  }
}

bool CutRelay::Advance(unsigned char c) {
  bool inReply = stage_ == Stage::kRunHead || stage_ == Stage::kReply;
  switch (stage_) {
    case Stage::kKind:
      digits_.clear();
      if (c == protocol::kText) stage_ = Stage::kText;
      if (c == protocol::kDiscList) stage_ = Stage::kListHead;
      if (c == protocol::kSingleSector || c == protocol::kRun) StartReply(c);
      return c == protocol::kSingleSector || c == protocol::kRun;
    case Stage::kText:
      if (c <= protocol::kTextEnd) stage_ = Stage::kKind;
      return false;
    case Stage::kListHead:
    case Stage::kRunHead:
      if (c >= '0' && c <= '9') digits_ += static_cast<char>(c);
      if (stage_ == Stage::kListHead && c == ',' && !digits_.empty()) {
        remaining_ = std::stoull(digits_);
        stage_ = remaining_ ? Stage::kListBody : Stage::kKind;
      }
      if (stage_ == Stage::kRunHead && c == ':') EndRunHead();
      return inReply;
    case Stage::kListBody:
    case Stage::kReply:
      if (--remaining_ == 0) stage_ = Stage::kKind;
      return inReply;
  }
  return false;
}

void CutRelay::EndRunHead() {
  remaining_ = digits_.empty() ? 0 : std::stoull(digits_);
  replyTotal_ = 2 + digits_.size() + remaining_;
  stage_ = remaining_ ? Stage::kReply : Stage::kKind;
  // The head is forwarded whole before the reply's length is known; the cut falls after it.
  if (cutAt_ == kUnknown) {
    cutAt_ = std::max<uint64_t>(replySeen_, static_cast<uint64_t>(replyTotal_ * fraction_));
  }
}

void CutRelay::Filter(const char* data, size_t size, std::string& out, bool& cutNow) {
  for (size_t i = 0; i < size && !holding_; ++i) {
    auto c = static_cast<unsigned char>(data[i]);
    if (Advance(c) && cutting_) {
      if (replyTotal_ != kUnknown) cutAt_ = std::min(cutAt_, replyTotal_ - 1);  // never all
      if (replySeen_ == cutAt_) {
        holding_ = cutNow = true;
        break;
      }
      ++replySeen_;
    }
    out += static_cast<char>(c);
  }
}

}  // namespace korvane::test
