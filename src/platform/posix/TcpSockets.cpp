// POSIX side of the TCP client, for the mount, the native tests and the benchmarks: the
// socket calls of Sockets.h over BSD sockets, their errors given as the Windows socket
// error codes the plugin's traces show (and named by the system's texts for people), and
// the EventDelivery whose Pump polls the socket (or waits for the host
// lookup) and hands what it finds to the same steps that window messages drive on Windows.
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
#include <climits>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "platform/tcp/TcpClientImpl.h"

namespace korvane::platform {

namespace sockets {

namespace {
// The POSIX errors with a Windows socket error code of their own, as the plugin's traces have
// always shown them; any other error is given as 10000 plus its number.
struct KnownError {
  int posix;
  int windows;
};
constexpr KnownError kKnownErrors[] = {
    {ECONNREFUSED, 10061}, {ECONNRESET, kConnectionReset}, {ETIMEDOUT, 10060},
    {EHOSTUNREACH, 10065}, {ENETUNREACH, 10051},           {ECONNABORTED, 10053},
    {EPIPE, 10058},        {EAGAIN, kWouldBlock},
};

int WindowsErrorCode(int error) {
  if (error == EWOULDBLOCK) error = EAGAIN;  // the same number on Linux, not everywhere
  for (const KnownError& known : kKnownErrors) {
    if (known.posix == error) return known.windows;
  }
  return 10000 + error;
}
constexpr int kHostNotFound = 11001;

int Fd(Handle s) { return static_cast<int>(s); }
// At most what an int return can count.
std::size_t Clamp(std::size_t size) { return std::min<std::size_t>(size, INT_MAX); }
}  // namespace

void Startup() {}

Handle OpenStream(int& error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = WindowsErrorCode(errno);
    return kNoSocket;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return static_cast<Handle>(fd);
}

int Connect(Handle s, std::uint32_t address, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = address;
  if (::connect(Fd(s), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return 0;
  return errno == EINPROGRESS ? 0 : WindowsErrorCode(errno);
}

int PendingError(Handle s) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
  return error == 0 ? 0 : WindowsErrorCode(error);
}

int Wait(Handle s, int want, int timeoutMs) {
  short events = 0;
  if (want & kReadable) events |= POLLIN;
  if (want & kWritable) events |= POLLOUT;
  if (want & kPeerClosed) events |= POLLRDHUP;
  pollfd p{Fd(s), events, 0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int found;
  while ((found = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    timeoutMs = static_cast<int>(std::max<int64_t>(left.count(), 0));
  }
  if (found <= 0) return found;
  int ready = 0;
  if (p.revents & POLLIN) ready |= kReadable;
  if (p.revents & POLLOUT) ready |= kWritable;
  if (p.revents & POLLRDHUP) ready |= kPeerClosed;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ready |= kFailed;
  return ready;
}

int Send(Handle s, const char* data, std::size_t size, int& error) {
  ssize_t put;
  while ((put = ::send(Fd(s), data, Clamp(size), MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  if (put < 0) error = WindowsErrorCode(errno);
  return static_cast<int>(put);
}

int Receive(Handle s, char* into, std::size_t size, int& error) {
  ssize_t got;
  while ((got = ::recv(Fd(s), into, Clamp(size), MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  if (got < 0) error = WindowsErrorCode(errno);
  return static_cast<int>(got);
}

std::size_t Pending(Handle s) {
  int pending = 0;
  if (::ioctl(Fd(s), FIONREAD, &pending) != 0 || pending < 0) return 0;
  return static_cast<std::size_t>(pending);
}

void Close(Handle s) { ::close(Fd(s)); }

bool ParseAddress(const std::string& text, std::uint32_t& address) {
  in_addr_t parsed = ::inet_addr(text.c_str());
  if (parsed == INADDR_NONE) return false;
  address = parsed;
  return true;
}

int Resolve(const std::string& host, std::uint32_t& address) {
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return kHostNotFound;
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return 0;
}

bool Peer(Handle s, std::string& address, int& port) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(Fd(s), reinterpret_cast<sockaddr*>(&peer), &size) != 0) return false;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  address = text;
  port = ntohs(peer.sin_port);
  return true;
}

std::string ReverseLookup(const std::string& address) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return "";
  char name[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&peer), sizeof peer, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) != 0) {
    return "";
  }
  return name;
}

bool StartThread(std::function<void()> body, int& error) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::system_error& failure) {
    error = failure.code().value();
    return false;
  }
}

}  // namespace sockets

std::string SocketErrorText(int errorCode) {
  if (errorCode == sockets::kHostNotFound) return ::gai_strerror(EAI_NONAME);
  for (const sockets::KnownError& known : sockets::kKnownErrors) {
    if (known.windows == errorCode) return std::strerror(known.posix);
  }
  if (errorCode > 10000 && errorCode < 11000) return std::strerror(errorCode - 10000);
  return "socket error " + std::to_string(errorCode);
}

// The socket whose close has been reported, so that it is reported once, as Windows
// Sockets reports it; forgotten when a new socket is watched, which may reuse its number.
struct EventDelivery::Side final {
  sockets::Handle closeReported = sockets::kNoSocket;
};

EventDelivery::EventDelivery(TcpClient::Impl& client)
    : client_(client), side_(std::make_unique<Side>()) {}

EventDelivery::~EventDelivery() = default;

void EventDelivery::Prepare() {}

void EventDelivery::Watch(sockets::Handle) { side_->closeReported = sockets::kNoSocket; }

std::function<void()> EventDelivery::Announcer(unsigned) { return nullptr; }

void EventDelivery::Pump(int timeoutMs) {
  TcpClient::Impl& d = client_;
  std::unique_lock<std::recursive_mutex> hold(d.lock);
  using State = TcpClient::Impl::State;
  if (d.state == State::kResolving) {
    std::shared_ptr<HostLookup> lookup = d.lookup;
    hold.unlock();
    if (lookup->WaitDone(timeoutMs)) d.OnResolved(lookup->Id());
    return;
  }
  if (d.socket == sockets::kNoSocket) return;
  sockets::Handle s = d.socket;
  bool connecting = d.state == State::kConnecting;
  hold.unlock();
  int want = connecting ? sockets::kWritable : sockets::kReadable | sockets::kPeerClosed;
  int ready = sockets::Wait(s, want, timeoutMs);
  if (ready <= 0) return;
  if (connecting) {
    d.FinishConnect(s, 0, true);
    return;
  }
  hold.lock();
  if (d.socket != s) return;  // closed meanwhile
  bool closed = ready & (sockets::kPeerClosed | sockets::kFailed);
  if (closed && side_->closeReported != s) {
    side_->closeReported = s;
    int error = ready & sockets::kFailed ? sockets::PendingError(s) : 0;
    hold.unlock();
    d.OnSocketEvent(s, SocketEvent::kClose, error);
    return;
  }
  hold.unlock();
  // After the close, only bytes still unread are news; the end itself is for their fetch.
  if (!closed || sockets::Pending(s) > 0) {
    d.OnSocketEvent(s, SocketEvent::kRead, 0);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
  }
}

}  // namespace korvane::platform
