// Win32 TcpClient: sending, fetching, waiting and closing on an established connection,
// and its settings. How a connection is set up, and its events, are in TcpConnect.cpp.
#include <algorithm>
#include <chrono>

#include "platform/win32/TcpClientImpl.h"

namespace korvane::platform {

namespace {
constexpr int kSendStallMs = 5000;
}  // namespace

TcpClient::TcpClient(ConnectionEvents& events) : impl_(std::make_unique<Impl>(events)) {
  StartWinsockOnce();
}

TcpClient::~TcpClient() {
  {
    std::lock_guard<std::recursive_mutex> hold(impl_->lock);
    impl_->CloseSocket();
  }
  if (!impl_->window) return;
  // No message left in the queue may reach this object once it is gone; a window of
  // another thread is closed by that thread.
  ::SetWindowLongPtrA(impl_->window, GWLP_USERDATA, 0);
  if (!::DestroyWindow(impl_->window)) ::PostMessageA(impl_->window, WM_CLOSE, 0, 0);
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

void TcpClient::Pump(int timeoutMs) {
  ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(timeoutMs), QS_ALLINPUT);
  MSG message;
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
}

size_t TcpClient::Send(const std::string& message) {
  Impl& d = *impl_;
  std::unique_lock<std::recursive_mutex> hold(d.lock);
  if (d.state != Impl::State::kConnected) return 0;
  size_t done = 0;
  while (done < message.size()) {
    int put = ::send(d.socket, message.data() + done, static_cast<int>(message.size() - done), 0);
    if (put > 0) {
      done += static_cast<size_t>(put);
      continue;
    }
    int code = put == 0 ? WSAECONNRESET : ::WSAGetLastError();
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(d.socket, &writable);
    timeval wait{kSendStallMs / 1000, 0};
    if (code == WSAEWOULDBLOCK && ::select(0, nullptr, &writable, nullptr, &wait) > 0) continue;
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
    u_long pending = 0;
    if (::ioctlsocket(d.socket, FIONREAD, &pending) != 0 || pending == 0) pending = 4096;
    size_t want = std::min<size_t>(pending, limit);
    size_t old = batch.size();
    batch.resize(old + want);
    int got = ::recv(d.socket, &batch[old], static_cast<int>(want), 0);
    batch.resize(old + static_cast<size_t>(got > 0 ? got : 0));
    if (got > 0) {
      limit -= static_cast<size_t>(got);
      continue;
    }
    int code = got == 0 ? 0 : ::WSAGetLastError();
    if (code == WSAEWOULDBLOCK) break;
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
  SOCKET s;
  {
    std::lock_guard<std::recursive_mutex> hold(impl_->lock);
    if (impl_->state != Impl::State::kConnected) return true;
    s = impl_->socket;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  // A failed wait (the socket closed meanwhile) is news too: the next fetch tells which.
  return ::select(0, &readable, nullptr, nullptr, &wait) != 0;
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
  sockaddr_in peer{};
  int size = sizeof peer;
  if (impl_->socket == INVALID_SOCKET ||
      ::getpeername(impl_->socket, reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
    return std::string();
  }
  return ::inet_ntoa(peer.sin_addr);
}

int TcpClient::PeerPort() const {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  sockaddr_in peer{};
  int size = sizeof peer;
  if (impl_->socket == INVALID_SOCKET ||
      ::getpeername(impl_->socket, reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
    return 0;
  }
  return ntohs(peer.sin_port);
}

}  // namespace korvane::platform

namespace korvane::platform {

std::string TcpClient::PeerHostName() const {
  std::string address = PeerHost();
  if (address.empty()) return "";
  u_long raw = ::inet_addr(address.c_str());
  hostent* entry = ::gethostbyaddr(reinterpret_cast<const char*>(&raw), sizeof raw, AF_INET);
  return entry && entry->h_name ? entry->h_name : "";
}

}  // namespace korvane::platform
