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

  bool CloseSocket() {
    DropLookup();
    bool wasConnected = state == State::kConnected;
    if (socket != INVALID_SOCKET) ::closesocket(socket);
    socket = INVALID_SOCKET;
    state = State::kIdle;
    return wasConnected;
  }
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
  void StartLookup();
  void StartConnect(u_long address);
  void OnResolved(unsigned which);
  void OnSocketEvent(WPARAM which, LPARAM info);

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

void TcpClient::Impl::StartConnect(u_long address) {
  std::unique_lock<std::recursive_mutex> hold(lock);
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
    hold.unlock();
    events.OnError(code);
  }
}

void TcpClient::Impl::StartLookup() {
  state = State::kResolving;
  int error = 0;
  lookup = HostLookup::Start(host, window, kResolvedMessage, ++lookupsStarted, error);
  if (!lookup) {
    state = State::kIdle;
    events.OnError(error);
    events.OnDisconnect();
  }
}

void TcpClient::Impl::OnResolved(unsigned which) {
  if (!lookup || lookup->Id() != which || state != State::kResolving) return;  // abandoned
  int error = lookup->Error();
  u_long address = lookup->Address();
  lookup.reset();
  if (error != 0) {
    state = State::kIdle;
    events.OnError(error);
    events.OnDisconnect();
    return;
  }
  StartConnect(address);
}

void TcpClient::Impl::OnSocketEvent(WPARAM which, LPARAM info) {
  if (static_cast<SOCKET>(which) != socket) return;  // an event of a socket closed since
  int error = WSAGETSELECTERROR(info);
  switch (WSAGETSELECTEVENT(info)) {
    case FD_CONNECT:
      if (error != 0) {
        {
          std::lock_guard<std::recursive_mutex> hold(lock);
          CloseSocket();
        }
        events.OnError(error);  // a refused connection: the error alone
        return;
      }
      state = State::kConnected;
      events.OnConnect();
      return;
    case FD_READ:
      events.OnRead();
      return;
    case FD_CLOSE: {
      // The peer may have sent its last bytes with its close: they are read first.
      u_long pending = 0;
      if (::ioctlsocket(socket, FIONREAD, &pending) == 0 && pending > 0) events.OnRead();
      if (static_cast<SOCKET>(which) != socket) return;  // the reader closed it meanwhile
      bool wasConnected;
      {
        std::lock_guard<std::recursive_mutex> hold(lock);
        wasConnected = CloseSocket();
      }
      if (error != 0 && error != WSAECONNRESET) events.OnError(error);
      if (wasConnected) events.OnDisconnect();
      return;
    }
    default:
      return;
  }
}

TcpClient::TcpClient(ConnectionEvents& events) : impl_(std::make_unique<Impl>(events)) {
  StartWinsockOnce();
}

TcpClient::~TcpClient() {
  {
    std::lock_guard<std::recursive_mutex> hold(impl_->lock);
    impl_->CloseSocket();
  }
  if (impl_->window) ::DestroyWindow(impl_->window);
}

bool TcpClient::SetHost(const std::string& host) {
  if (IsConnected()) return false;
  impl_->host = host;
  return true;
}

bool TcpClient::SetPortNumber(int port) {
  if (IsConnected()) return false;
  impl_->port = port;
  return true;
}

const std::string& TcpClient::Host() const {
  return impl_->host;
}
int TcpClient::Port() const {
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
  u_long address = ::inet_addr(d.host.c_str());
  if (address != INADDR_NONE) {
    d.StartConnect(address);
    return;
  }
  d.StartLookup();
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
  FetchAppend(batch);
  return batch;
}

void TcpClient::FetchAppend(std::string& batch) {
  Impl& d = *impl_;
  std::unique_lock<std::recursive_mutex> hold(d.lock);
  if (d.state != Impl::State::kConnected) return;
  for (;;) {
    // Received straight into the batch, sized by what is pending (a probe when nothing
    // is, which tells a closed connection from an idle one).
    u_long pending = 0;
    if (::ioctlsocket(d.socket, FIONREAD, &pending) != 0 || pending == 0) pending = 4096;
    size_t old = batch.size();
    batch.resize(old + pending);
    int got = ::recv(d.socket, &batch[old], static_cast<int>(pending), 0);
    batch.resize(old + static_cast<size_t>(got > 0 ? got : 0));
    if (got > 0) continue;
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
  return ::select(0, &readable, nullptr, nullptr, &wait) > 0;
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
