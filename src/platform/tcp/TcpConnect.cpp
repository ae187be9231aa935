// How a TcpClient sets a connection up, and how the news its EventDelivery brings becomes
// events: activation, the host lookup, the connect's outcome, the peer's close, and a
// reading thread completing the connect itself in AwaitConnected. Each step is taken once,
// under the lock, by whichever comes first: the delivered news or the waiting thread.
#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/tcp/TcpClientImpl.h"

namespace korvane::platform {

std::shared_ptr<HostLookup> HostLookup::Start(const std::string& host, unsigned id,
                                              std::function<void()> announce, int& error) {
  auto lookup = std::make_shared<HostLookup>(host, id, std::move(announce));
  if (!sockets::StartThread([lookup] { lookup->Resolve(); }, error)) return nullptr;
  return lookup;
}

HostLookup::HostLookup(std::string host, unsigned id, std::function<void()> announce)
    : host_(std::move(host)), id_(id), announce_(std::move(announce)) {}

void HostLookup::Resolve() {
  std::uint32_t address = 0;
  int error = sockets::Resolve(host_, address);
  std::lock_guard<std::mutex> hold(lock_);
  error_ = error;
  address_ = address;
  done_ = true;
  answered_.notify_all();
  if (!abandoned_ && announce_) announce_();
}

void HostLookup::Abandon() {
  std::lock_guard<std::mutex> hold(lock_);
  abandoned_ = true;
}

bool HostLookup::WaitDone(int timeoutMs) {
  std::unique_lock<std::mutex> hold(lock_);
  return answered_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return done_; });
}

int HostLookup::Error() const {
  std::lock_guard<std::mutex> hold(lock_);
  return error_;
}

std::uint32_t HostLookup::Address() const {
  std::lock_guard<std::mutex> hold(lock_);
  return address_;
}

int TcpClient::Impl::StartConnect(std::uint32_t address) {
  state = State::kConnecting;
  int error = 0;
  socket = sockets::OpenStream(error);
  if (socket == sockets::kNoSocket) {
    CloseSocket();
    return error;
  }
  delivery.Watch(socket);
  error = sockets::Connect(socket, address, port);
  if (error != 0) CloseSocket();
  return error;
}

void TcpClient::Impl::FinishLookup(const HostLookup* which) {
  std::unique_lock<std::recursive_mutex> hold(lock);
  if (!lookup || lookup.get() != which || state != State::kResolving) return;
  int error = lookup->Error();
  std::uint32_t address = lookup->Address();
  lookup.reset();
  if (error == 0) error = StartConnect(address);
  if (error == 0) return;
  bool resolved = state != State::kResolving;
  state = State::kIdle;
  hold.unlock();
  events.OnError(error);
  if (!resolved) events.OnDisconnect();  // an unknown host is followed by a disconnect
}

void TcpClient::Impl::FinishConnect(sockets::Handle which, int error, bool askSocket) {
  std::unique_lock<std::recursive_mutex> hold(lock);
  if (socket != which || state != State::kConnecting) return;
  if (askSocket) error = sockets::PendingError(socket);
  if (error != 0) {
    CloseSocket();
    hold.unlock();
    events.OnError(error);  // a refused connection: the error alone
    return;
  }
  state = State::kConnected;
  hold.unlock();
  events.OnConnect();
}

void TcpClient::Impl::OnResolved(unsigned which) {
  std::shared_ptr<HostLookup> answered;
  {
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (!lookup || lookup->Id() != which) return;  // abandoned, or taken by AwaitConnected
    answered = lookup;
  }
  FinishLookup(answered.get());
}

void TcpClient::Impl::OnSocketEvent(sockets::Handle which, SocketEvent event, int error) {
  {
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (which != socket) return;  // an event of a socket closed since
  }
  switch (event) {
    case SocketEvent::kConnect:
      FinishConnect(which, error, false);
      return;
    case SocketEvent::kRead:
      events.OnRead();
      return;
    case SocketEvent::kClose:
      OnPeerClosed(which, error);
      return;
  }
}

void TcpClient::Impl::OnPeerClosed(sockets::Handle which, int error) {
  // The peer may have sent its last bytes with its close: they are read first.
  if (sockets::Pending(which) > 0) events.OnRead();
  std::unique_lock<std::recursive_mutex> hold(lock);
  if (which != socket) return;  // the reader closed it meanwhile
  // Bytes left unread belong to a read that owns them: the fetch that meets their end
  // closes the connection then.
  if (sockets::Pending(which) > 0) return;
  bool wasConnected = CloseSocket();
  hold.unlock();
  if (error != 0 && error != sockets::kConnectionReset) events.OnError(error);
  if (wasConnected) events.OnDisconnect();
}

void TcpClient::Activate() {
  Impl& d = *impl_;
  if (IsActive()) return;
  d.delivery.Prepare();
  d.events.OnConnecting();
  std::unique_lock<std::recursive_mutex> hold(d.lock);
  std::uint32_t address = 0;
  bool dotted = sockets::ParseAddress(d.host, address);
  int error = 0;
  if (dotted) {
    error = d.StartConnect(address);
  } else {
    d.state = Impl::State::kResolving;
    unsigned id = ++d.lookupsStarted;
    d.lookup = HostLookup::Start(d.host, id, d.delivery.Announcer(id), error);
    if (!d.lookup) d.state = Impl::State::kIdle;
  }
  bool resolving = d.state == Impl::State::kResolving;
  hold.unlock();
  if (error == 0) return;
  d.events.OnError(error);
  if (!dotted && !resolving) d.events.OnDisconnect();
}

bool TcpClient::AwaitConnected(int timeoutMs) {
  Impl& d = *impl_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::unique_lock<std::recursive_mutex> hold(d.lock);
    if (d.state != Impl::State::kResolving && d.state != Impl::State::kConnecting) {
      return d.state == Impl::State::kConnected;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    int wait = static_cast<int>(std::max<int64_t>(left, 0));  // a wait of 0 still looks once
    if (d.state == Impl::State::kResolving) {
      std::shared_ptr<HostLookup> lookup = d.lookup;
      hold.unlock();
      if (!lookup->WaitDone(wait)) return false;
      d.FinishLookup(lookup.get());
      continue;
    }
    sockets::Handle s = d.socket;
    hold.unlock();
    if (sockets::Wait(s, sockets::kWritable | sockets::kFailed, wait) == 0) return false;
    d.FinishConnect(s, 0, true);
  }
}

}  // namespace korvane::platform
