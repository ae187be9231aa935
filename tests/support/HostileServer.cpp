// The scripted hostile server: an accepting thread, and a thread per client for its script.
#include "HostileServer.h"

#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "protocol/ClientMessages.h"
#include "protocol/ServerMessages.h"

namespace korvane::test {

namespace {
constexpr int kPollMs = 20;

std::string AsText(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
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
  return ReceiveUntil(
      [](const std::string& r) {
        return r.size() >= 2 && r[0] == protocol::kLogin && r[1] == protocol::kLoginSecond;
      },
      timeoutMs);
}

bool HostilePeer::LogIn(const std::string& extra) {
  std::vector<uint8_t> greeting;
  wire::AppendText(greeting, "Welcome to a hostile server");
  if (!AwaitLogin() || !Send(AsText(greeting) + extra)) return false;
  // A client takes a batch from its first message on: the prompt must come in its own.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  return Send(std::string(1, static_cast<char>(protocol::kPrompt)));
}

// A request ends at a non-digit or with the bytes, since the plugin sends each request in
// one piece; whatever else the client sent around it is passed over.
bool HostilePeer::FindRequest(int& mode, uint32_t& lsn) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(received_.data());
  for (size_t at = scanned_; at < received_.size(); ++at) {
    wire::ClientMessage request;
    if (bytes[at] != protocol::kSectorRequest ||
        wire::ParseClientMessage(bytes + at, received_.size() - at, request) !=
            wire::ParseStatus::kComplete) {
      continue;
    }
    mode = request.mode;
    lsn = request.lsn;
    scanned_ = at + request.length;
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
  std::vector<uint8_t> list;
  wire::AppendDiscList(list, names);
  return AsText(list);
}

std::string RunReply(const std::string& payload) {
  const std::string stream = Deflated(payload);
  std::vector<uint8_t> head;
  wire::AppendRunHeader(head, stream.size());
  return AsText(head) + stream;
}

}  // namespace korvane::test
