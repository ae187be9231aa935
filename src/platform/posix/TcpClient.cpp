// POSIX side of TcpClient, for native tests and tools: a non-blocking socket whose events
// are delivered by Pump. Host names resolve synchronously (tests use local names only).
// Errors are reported with the Windows socket error codes the plugin's traces show.
#include "platform/TcpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>

namespace korvane::platform {

namespace {
int WindowsErrorCode(int error) {
  switch (error) {
    case ECONNREFUSED:
      return kErrorConnectionRefused;
    case ECONNRESET:
      return 10054;
    case ETIMEDOUT:
      return 10060;
    case EHOSTUNREACH:
      return 10065;
    case ENETUNREACH:
      return 10051;
    case ECONNABORTED:
      return 10053;
    case EPIPE:
      return 10058;
    default:
      return 10000 + error;
  }
}
constexpr int kHostNotFound = 11001;
constexpr int kSendStallMs = 5000;
}  // namespace

struct TcpClient::Impl {
  enum class State { kIdle, kFailed, kConnecting, kConnected };
  explicit Impl(ConnectionEvents& e) : events(e) {}

  // Closes the socket; true when it was connected (a disconnect event is due).
  bool CloseSocket() {
    bool wasConnected = state == State::kConnected;
    if (fd >= 0) ::close(fd);
    fd = -1;
    state = State::kIdle;
    return wasConnected;
  }
  // Reports a failed activation (lock held on entry, released); false.
  bool ReportFailedActivation(std::unique_lock<std::recursive_mutex>& hold) {
    state = State::kIdle;
    int code = pendingError;
    hold.unlock();
    events.OnError(code);
    // An unresolvable host is followed by a disconnect; a refused connection is not.
    if (code == kHostNotFound) events.OnDisconnect();
    return false;
  }
  // Takes the outcome of the connect on fd once it is writable, unless it was taken
  // already (lock held on entry, released); true when connected.
  bool FinishConnect(std::unique_lock<std::recursive_mutex>& hold, int which) {
    if (fd != which || state != State::kConnecting) return state == State::kConnected;
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) {
      CloseSocket();
      hold.unlock();
      int code = WindowsErrorCode(error);
      events.OnError(code);  // a refused connection: the error alone
      return false;
    }
    state = State::kConnected;
    hold.unlock();
    events.OnConnect();
    return true;
  }
  // A send or receive failed on an established connection: error, then disconnect.
  void Fail(int error) {
    bool wasConnected;
    {
      std::lock_guard<std::recursive_mutex> hold(lock);
      wasConnected = CloseSocket();
    }
    int code = WindowsErrorCode(error);
    events.OnError(code);
    if (wasConnected) events.OnDisconnect();
  }

  ConnectionEvents& events;
  std::string host = "127.0.0.1";
  int port = 35000;
  int fd = -1;
  State state = State::kIdle;
  int pendingError = 0;  // of a failed activation, reported by the next Pump
  mutable std::recursive_mutex lock;
};

TcpClient::TcpClient(ConnectionEvents& events) : impl_(std::make_unique<Impl>(events)) {}

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

void TcpClient::Activate() {
  if (IsActive()) return;
  impl_->events.OnConnecting();
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  std::string port = std::to_string(impl_->port);
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  if (::getaddrinfo(impl_->host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
    impl_->state = Impl::State::kFailed;
    impl_->pendingError = kHostNotFound;
    return;
  }
  impl_->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(impl_->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  impl_->state = Impl::State::kConnecting;
  // Completion, even an immediate one, is reported by Pump, as an event would be.
  if (::connect(impl_->fd, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS) {
    impl_->pendingError = WindowsErrorCode(errno);
    impl_->CloseSocket();
    impl_->state = Impl::State::kFailed;
  }
  ::freeaddrinfo(found);
}

void TcpClient::Pump(int timeoutMs) {
  Impl& d = *impl_;
  std::unique_lock<std::recursive_mutex> hold(d.lock);
  if (d.state == Impl::State::kFailed) {
    d.ReportFailedActivation(hold);
    return;
  }
  if (d.fd < 0) return;
  pollfd p{d.fd, static_cast<short>(d.state == Impl::State::kConnecting ? POLLOUT : POLLIN), 0};
  int fd = d.fd;
  hold.unlock();
  if (::poll(&p, 1, timeoutMs) <= 0) return;
  hold.lock();
  if (d.fd != fd) return;  // closed meanwhile
  if (d.state == Impl::State::kConnecting) {
    d.FinishConnect(hold, fd);
    return;
  }
  char probe;
  ssize_t peek = ::recv(d.fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peek == 0) {
    d.CloseSocket();
    hold.unlock();
    d.events.OnDisconnect();
  } else if (peek < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    int error = errno;
    hold.unlock();
    d.Fail(error);
  } else if (peek > 0) {
    hold.unlock();
    d.events.OnRead();
  }
}

bool TcpClient::AwaitConnected(int timeoutMs) {
  Impl& d = *impl_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::unique_lock<std::recursive_mutex> hold(d.lock);
    if (d.state == Impl::State::kFailed) return d.ReportFailedActivation(hold);
    if (d.state != Impl::State::kConnecting) return d.state == Impl::State::kConnected;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    // A wait of 0 still looks once: a connect may have completed meanwhile.
    pollfd p{d.fd, POLLOUT, 0};
    int fd = d.fd;
    hold.unlock();
    if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0))) <= 0) {
      if (left <= 0) return false;
      continue;
    }
    hold.lock();
    return d.FinishConnect(hold, fd);
  }
}

size_t TcpClient::Send(const std::string& message) {
  Impl& d = *impl_;
  std::unique_lock<std::recursive_mutex> hold(d.lock);
  if (d.state != Impl::State::kConnected) return 0;
  size_t done = 0;
  while (done < message.size()) {
    ssize_t put = ::send(d.fd, message.data() + done, message.size() - done, MSG_NOSIGNAL);
    if (put > 0) {
      done += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    pollfd p{d.fd, POLLOUT, 0};
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && ::poll(&p, 1, kSendStallMs) > 0) {
      continue;
    }
    int error = put < 0 ? errno : EPIPE;
    hold.unlock();
    d.Fail(error);
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
    int pending = 0;
    if (::ioctl(d.fd, FIONREAD, &pending) != 0 || pending <= 0) pending = 4096;
    size_t want = std::min(static_cast<size_t>(pending), limit);
    size_t old = batch.size();
    batch.resize(old + want);
    ssize_t got = ::recv(d.fd, &batch[old], want, MSG_DONTWAIT);
    batch.resize(old + static_cast<size_t>(got > 0 ? got : 0));
    if (got > 0) {
      limit -= static_cast<size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    int error = got < 0 ? errno : 0;
    hold.unlock();
    if (error) {
      d.Fail(error);
    } else {
      Close();  // the peer closed: the disconnect event follows
    }
    break;
  }
}

bool TcpClient::WaitReadable(int timeoutMs) {
  int fd;
  {
    std::lock_guard<std::recursive_mutex> hold(impl_->lock);
    if (impl_->state != Impl::State::kConnected) return true;
    fd = impl_->fd;
  }
  pollfd p{fd, POLLIN, 0};
  // A failed wait is news too: the next fetch tells what happened.
  return ::poll(&p, 1, timeoutMs) != 0;
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
  socklen_t size = sizeof peer;
  if (impl_->fd < 0 || ::getpeername(impl_->fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
    return std::string();
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  return text;
}

int TcpClient::PeerPort() const {
  std::lock_guard<std::recursive_mutex> hold(impl_->lock);
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (impl_->fd < 0 || ::getpeername(impl_->fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
    return 0;
  }
  return ntohs(peer.sin_port);
}

}  // namespace korvane::platform

namespace korvane::platform {

std::string TcpClient::PeerHostName() const {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  std::string address = PeerHost();
  if (address.empty() || ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return "";
  char name[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&peer), sizeof peer, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) != 0) {
    return "";
  }
  return name;
}

}  // namespace korvane::platform
