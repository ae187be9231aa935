// TcpClient on an established connection, the same on every platform: sending (bounded
// by how long a peer may stall it), fetching, waiting, closing and the peer's address, and
// the connection's settings. How a connection is set up, and its events, are in
// TcpConnect.cpp; the socket calls themselves in each platform's side of Sockets.h.
#include <algorithm>
#include <utility>

#include "platform/tcp/TcpClientImpl.h"

namespace korvane::platform {

namespace {
constexpr int kSendStallMs = 5000;
}  // namespace

bool TcpClient::Impl::CloseSocket() {
  DropLookup();
  bool wasConnected = state == State::kConnected;
  if (socket != sockets::kNoSocket) sockets::Close(socket);
  socket = sockets::kNoSocket;
  state = State::kIdle;
  return wasConnected;
}

void TcpClient::Impl::Fail(int code) {
  bool wasConnected;
  {
    std::lock_guard<std::recursive_mutex> hold(lock);
    wasConnected = CloseSocket();
  }
  events.OnError(code);
  if (wasConnected) events.OnDisconnect();
}

void TcpClient::Impl::DropLookup() {
  if (!lookup) return;
  lookup->Abandon();
  lookup.reset();
}

TcpClient::TcpClient(ConnectionEvents& events) : impl_(std::make_unique<Impl>(events)) {
  sockets::Startup();
}

TcpClient::~TcpClient() {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  impl_->CloseSocket();
}

bool TcpClient::SetHost(const std::string& host) {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  if (impl_->state == Impl::State::kConnected) return false;
  impl_->host = host;
  return true;
}

bool TcpClient::SetPortNumber(int port) {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  if (impl_->state == Impl::State::kConnected) return false;
  impl_->port = port;
  return true;
}

std::string TcpClient::Host() const {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  return impl_->host;
}

int TcpClient::Port() const {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  return impl_->port;
}

bool TcpClient::IsActive() const {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  return impl_->state != Impl::State::kIdle;
}

bool TcpClient::IsConnected() const {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  return impl_->state == Impl::State::kConnected;
}

void TcpClient::Pump(int timeoutMs) { impl_->delivery.Pump(timeoutMs); }

size_t TcpClient::Send(const std::string& message) {
  Impl& d = *impl_;
  std::unique_lock<std::recursive_mutex> hold(d.lock);
  if (d.state != Impl::State::kConnected) return 0;
  size_t done = 0;
  while (done < message.size()) {
    int error = 0;
    int put = sockets::Send(d.socket, message.data() + done, message.size() - done, error);
    if (put > 0) {
      done += static_cast<size_t>(put);
      continue;
    }
    int code = put == 0 ? sockets::kConnectionReset : error;
    if (code == sockets::kWouldBlock &&
        sockets::Wait(d.socket, sockets::kWritable, kSendStallMs) > 0) {
      continue;
    }
    hold.unlock();
    d.Fail(code);
    break;
  }
  return done;
}

std::string TcpClient::Fetch() {
  std::string batch;
  FetchAppend(batch, std::string::npos);
  return batch;
}

void TcpClient::FetchAppend(std::string& batch, size_t limit) {
  Impl& d = *impl_;
  std::unique_lock<std::recursive_mutex> hold(d.lock);
  if (d.state != Impl::State::kConnected) return;
  while (limit > 0) {
    // Received straight into the batch, sized by what is pending (a probe when nothing
    // is, which tells a closed connection from an idle one).
    size_t pending = sockets::Pending(d.socket);
    size_t want = std::min(pending == 0 ? size_t{4096} : pending, limit);
    size_t old = batch.size();
    batch.resize(old + want);
    int error = 0;
    int got = sockets::Receive(d.socket, &batch[old], want, error);
    batch.resize(old + static_cast<size_t>(got > 0 ? got : 0));
    if (got > 0) {
      limit -= static_cast<size_t>(got);
      continue;
    }
    int code = got == 0 ? 0 : error;
    if (code == sockets::kWouldBlock) break;
    hold.unlock();
    if (code != 0) {
      d.Fail(code);
    } else {
      Close();  // the peer closed: the disconnect event follows
    }
    break;
  }
}

bool TcpClient::WaitReadable(int timeoutMs) {
  sockets::Handle s;
  {
    std::lock_guard<std::recursive_mutex> hold(impl_->lock);
    if (impl_->state != Impl::State::kConnected) return true;
    s = impl_->socket;
  }
  // A failed wait (the socket closed meanwhile) is news too: the next fetch tells which.
  return sockets::Wait(s, sockets::kReadable, timeoutMs) != 0;
}

void TcpClient::Close() {
  bool wasConnected;
  {
    std::lock_guard<std::recursive_mutex> hold(impl_->lock);
    wasConnected = impl_->CloseSocket();
  }
  if (wasConnected) impl_->events.OnDisconnect();
}

std::string TcpClient::PeerHost() const {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  std::string address;
  int port = 0;
  if (impl_->socket != sockets::kNoSocket) sockets::Peer(impl_->socket, address, port);
  return address;
}

int TcpClient::PeerPort() const {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  std::string address;
  int port = 0;
  if (impl_->socket != sockets::kNoSocket) sockets::Peer(impl_->socket, address, port);
  return port;
}

std::string TcpClient::PeerHostName() const {
  std::string address = PeerHost();
  return address.empty() ? std::string() : sockets::ReverseLookup(address);
}

}  // namespace korvane::platform
