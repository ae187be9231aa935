// Win32 side of TcpClient: Windows Sockets in asynchronous mode. Host names resolve on a
// lookup thread (HostLookup) and socket events arrive through WSAAsyncSelect, both as
// messages to a hidden message-only window that the activating thread owns; its window
// procedure turns them into the connection's events.
#include "platform/TcpClient.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>

#include "platform/win32/HostLookup.h"

namespace korvane::platform {

namespace {
constexpr UINT kResolvedMessage = WM_APP + 1;
constexpr UINT kSocketMessage = WM_APP + 2;
constexpr char kWindowClass[] = "KorvaneConnectionWindow";
constexpr int kSendStallMs = 5000;

LRESULT CALLBACK ConnectionWindowProc(HWND, UINT, WPARAM, LPARAM);

// The module that holds this code: the plugin DLL in the product. The window class is
// registered under it, so a DLL loaded again at another address registers a class of its
// own instead of finding one whose window procedure points into the module unloaded.
HINSTANCE CodeModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ConnectionWindowProc), &module);
  return module;
}

void StartWinsockOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    WNDCLASSA wc{};
    wc.lpfnWndProc = ConnectionWindowProc;
    wc.hInstance = CodeModule();
    wc.lpszClassName = kWindowClass;
    ::RegisterClassA(&wc);
  });
}
}  // namespace

struct TcpClient::Impl {
  enum class State { kIdle, kResolving, kConnecting, kConnected };
  explicit Impl(ConnectionEvents& e) : events(e) {}

  // Closes the socket and drops a lookup (lock held); true when it was connected, so that a
  // disconnect event is due.
  bool CloseSocket() {
    DropLookup();
    bool wasConnected = state == State::kConnected;
    if (socket != INVALID_SOCKET) ::closesocket(socket);
    socket = INVALID_SOCKET;
    state = State::kIdle;
    return wasConnected;
  }
  // A send or receive failed: error, then disconnect when it had been established.
  void Fail(int code) {
    bool wasConnected;
    {
      std::lock_guard<std::recursive_mutex> hold(lock);
      wasConnected = CloseSocket();
    }
    events.OnError(code);
    if (wasConnected) events.OnDisconnect();
  }
  // Cancels a host lookup still running: its answer, whenever it comes, reaches nobody.
  void DropLookup() {
    if (!lookup) return;
    lookup->Abandon();
    lookup.reset();
  }
  int StartConnect(u_long address);
  void FinishLookup(const HostLookup* which);
  void FinishConnect(SOCKET which, int error, bool askSocket);
  void OnResolved(unsigned which);
  void OnSocketEvent(WPARAM which, LPARAM info);
  void OnPeerClosed(SOCKET which, int error);

  ConnectionEvents& events;
  std::string host = "127.0.0.1";
  int port = 35000;
  SOCKET socket = INVALID_SOCKET;
  HWND window = nullptr;
  State state = State::kIdle;
  std::shared_ptr<HostLookup> lookup;  // the host lookup running, if any
  unsigned lookupsStarted = 0;         // numbers each lookup, so a stale answer is known
  mutable std::recursive_mutex lock;
};

namespace {
LRESULT CALLBACK ConnectionWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  auto* impl = reinterpret_cast<TcpClient::Impl*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (impl && message == kResolvedMessage) {
    impl->OnResolved(static_cast<unsigned>(w));
    return 0;
  }
  if (impl && message == kSocketMessage) {
    impl->OnSocketEvent(w, l);
    return 0;
  }
  return ::DefWindowProcA(window, message, w, l);
}
}  // namespace

// Starts connecting to address (lock held); 0, or the error of a connect refused at once.
int TcpClient::Impl::StartConnect(u_long address) {
  socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  BOOL one = TRUE;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  ::WSAAsyncSelect(socket, window, kSocketMessage, FD_CONNECT | FD_READ | FD_CLOSE);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = address;
  state = State::kConnecting;
  if (::connect(socket, reinterpret_cast<sockaddr*>(&to), sizeof to) == SOCKET_ERROR &&
      ::WSAGetLastError() != WSAEWOULDBLOCK) {
    int code = ::WSAGetLastError();
    CloseSocket();
    return code;
  }
  return 0;
}

// Takes the answer of lookup `which` unless it was taken, or abandoned, already.
void TcpClient::Impl::FinishLookup(const HostLookup* which) {
  std::unique_lock<std::recursive_mutex> hold(lock);
  if (!lookup || lookup.get() != which || state != State::kResolving) return;
  int error = lookup->Error();
  u_long address = lookup->Address();
  lookup.reset();
  if (error == 0) error = StartConnect(address);
  if (error == 0) return;
  bool resolved = state != State::kResolving;
  state = State::kIdle;
  hold.unlock();
  events.OnError(error);
  if (!resolved) events.OnDisconnect();  // an unknown host is followed by a disconnect
}

// Takes the outcome of the connect on socket `which` unless it was taken already; with
// askSocket the outcome is read from the socket itself.
void TcpClient::Impl::FinishConnect(SOCKET which, int error, bool askSocket) {
  std::unique_lock<std::recursive_mutex> hold(lock);
  if (socket != which || state != State::kConnecting) return;
  if (askSocket) {
    int size = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
      error = ::WSAGetLastError();
    }
  }
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

void TcpClient::Impl::OnSocketEvent(WPARAM which, LPARAM info) {
  {
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (static_cast<SOCKET>(which) != socket) return;  // an event of a socket closed since
  }
  int error = WSAGETSELECTERROR(info);
  switch (WSAGETSELECTEVENT(info)) {
    case FD_CONNECT:
      FinishConnect(static_cast<SOCKET>(which), error, false);
      return;
    case FD_READ:
      events.OnRead();
      return;
    case FD_CLOSE:
      OnPeerClosed(static_cast<SOCKET>(which), error);
      return;
    default:
      return;
  }
}

void TcpClient::Impl::OnPeerClosed(SOCKET which, int error) {
  // The peer may have sent its last bytes with its close: they are read first.
  u_long pending = 0;
  if (::ioctlsocket(which, FIONREAD, &pending) == 0 && pending > 0) events.OnRead();
  std::unique_lock<std::recursive_mutex> hold(lock);
  if (which != socket) return;  // the reader closed it meanwhile
  // Bytes left unread belong to a read that owns them: the fetch that meets their end
  // closes the connection then.
  if (::ioctlsocket(which, FIONREAD, &pending) == 0 && pending > 0) return;
  bool wasConnected = CloseSocket();
  hold.unlock();
  if (error != 0 && error != WSAECONNRESET) events.OnError(error);
  if (wasConnected) events.OnDisconnect();
}

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

void TcpClient::Activate() {
  Impl& d = *impl_;
  if (IsActive()) return;
  if (!d.window) {
    d.window = ::CreateWindowA(kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, CodeModule(),
                               nullptr);
    ::SetWindowLongPtrA(d.window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&d));
  }
  d.events.OnConnecting();
  std::unique_lock<std::recursive_mutex> hold(d.lock);
  u_long address = ::inet_addr(d.host.c_str());
  int error = 0;
  if (address != INADDR_NONE) {
    error = d.StartConnect(address);
  } else {
    d.state = Impl::State::kResolving;
    d.lookup = HostLookup::Start(d.host, d.window, kResolvedMessage, ++d.lookupsStarted, error);
    if (!d.lookup) d.state = Impl::State::kIdle;
  }
  bool resolving = d.state == Impl::State::kResolving;
  hold.unlock();
  if (error == 0) return;
  d.events.OnError(error);
  if (address == INADDR_NONE && !resolving) d.events.OnDisconnect();
}

void TcpClient::Pump(int timeoutMs) {
  ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(timeoutMs), QS_ALLINPUT);
  MSG message;
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
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
    if (left <= 0) return false;
    if (d.state == Impl::State::kResolving) {
      std::shared_ptr<HostLookup> lookup = d.lookup;
      hold.unlock();
      if (!lookup->WaitDone(static_cast<int>(left))) return false;
      d.FinishLookup(lookup.get());
      continue;
    }
    SOCKET s = d.socket;
    hold.unlock();
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait{static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
    if (::select(0, nullptr, &writable, &failed, &wait) == 0) return false;
    d.FinishConnect(s, 0, true);
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
