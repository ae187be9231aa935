// The scripted hostile server: an accepting thread, and a thread per client for its script.
#include "HostileServer.h"

#include <zlib.h>

#include <chrono>
#include <thread>

namespace korvane::test {

namespace {
constexpr int kPollMs = 20;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
}  // namespace

bool HostilePeer::ReceiveUntil(const std::function<bool(const std::string&)>& done, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char chunk[4096];
  while (!done(received_)) {
    if (stopping_ || std::chrono::steady_clock::now() > end) return false;
    int got = sock::Receive(socket_, chunk, sizeof chunk, kPollMs);
    if (got == sock::kTimedOut) continue;
    if (got <= 0) return done(received_);
    received_.append(chunk, static_cast<size_t>(got));
  }
  return true;
}

bool HostilePeer::AwaitLogin(int timeoutMs) {
  return ReceiveUntil([](const std::string& r) { return r.size() >= 2 && r[0] == 1 && r[1] == 5; },
                      timeoutMs);
}

bool HostilePeer::LogIn(const std::string& extra) {
  if (!AwaitLogin() || !Send("\x01Welcome to a hostile server\n" + extra)) return false;
  // A client takes a batch from its first message on: the prompt must come in its own.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  return Send("\x06");
}

// A request is 04, a mode byte and digits; it ends at a non-digit or with the bytes, since
// the plugin sends each request in one piece.
bool HostilePeer::FindRequest(int& mode, uint32_t& lsn) {
  for (size_t at = scanned_; at + 2 < received_.size(); ++at) {
    if (received_[at] != 4 || !IsDigit(received_[at + 2])) continue;
    size_t end = at + 2;
    uint64_t value = 0;
    while (end < received_.size() && IsDigit(received_[end]) && end - at < 13) {
      value = value * 10 + static_cast<uint64_t>(received_[end++] - '0');
    }
    mode = static_cast<unsigned char>(received_[at + 1]);
    lsn = static_cast<uint32_t>(value);
    scanned_ = end;
    return true;
  }
  return false;
}

bool HostilePeer::TakeRequest(int& mode, uint32_t& lsn, int timeoutMs) {
  bool found = false;
  ReceiveUntil([&](const std::string&) { return found = FindRequest(mode, lsn); }, timeoutMs);
  return found;
}

void HostilePeer::IdleUntilClosed() {
  char chunk[4096];
  while (!stopping_) {
    int got = sock::Receive(socket_, chunk, sizeof chunk, kPollMs);
    if (got == sock::kClosed || got == sock::kFailed) return;
  }
}

HostileServer::HostileServer(Script script) : script_(std::move(script)) {
  listener_ = sock::Listen(port_);
  acceptor_ = std::thread([this] { AcceptClients(); });
}

HostileServer::~HostileServer() {
  stopping_ = true;
  acceptor_.join();
  std::lock_guard<std::mutex> hold(lock_);
  // Scripts wait with short timeouts and see the flag; a send blocked on a client that
  // does not read ends at the shutdown.
  for (sock::Socket s : clients_) sock::Shutdown(s);
  for (std::thread& t : scripts_) t.join();
  for (sock::Socket s : clients_) sock::Close(s);
  sock::Close(listener_);
}

void HostileServer::AcceptClients() {
  while (!stopping_) {
    sock::Socket s = sock::Accept(listener_, kPollMs);
    if (s == sock::kNoSocket) continue;
    std::lock_guard<std::mutex> hold(lock_);
    clients_.push_back(s);
    int number = accepted_++;
    scripts_.emplace_back([this, s, number] {
      HostilePeer peer(s, number, stopping_);
      script_(peer);
      // Only the server's side ends here; the socket is closed with the server, so that
      // no other thread can meet a reused descriptor.
      sock::Shutdown(s);
    });
  }
}

std::string TextsOfEveryByte() {
  std::string texts = "\x01";
  for (int v = 0x0B; v <= 0xFF; ++v) texts += static_cast<char>(v);
  texts += '\n';
  for (int v = 0x00; v <= 0x0A; ++v)
    texts += std::string(
                 "\x01"
                 "ended by ") +
             static_cast<char>(v);
  return texts;
}

std::string DiscList(const std::vector<std::string>& names) {
  std::string body;
  for (const std::string& name : names) body += name + ",";
  return "\x02," + std::to_string(body.size()) + "," + body;
}

std::string RunReply(const std::string& payload) {
  uLongf size = compressBound(static_cast<uLong>(payload.size()));
  std::string stream(size, '\0');
  compress2(reinterpret_cast<Bytef*>(&stream[0]), &size,
            reinterpret_cast<const Bytef*>(payload.data()), payload.size(), 1);
  stream.resize(size);
  return "\x05" + std::to_string(stream.size()) + ":" + stream;
}

}  // namespace korvane::test
