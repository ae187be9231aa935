// Win32 TcpClient: how a connection is set up and how its window messages become events.
// Host names resolve on a lookup thread (HostLookup) and socket events arrive through
// WSAAsyncSelect, both as messages to a hidden message-only window that the activating
// thread owns. Each step of setting a connection up is taken once, under the lock, by
// whichever comes first: that window's message, or a thread waiting in AwaitConnected.
#include <algorithm>
#include <chrono>

#include "platform/win32/TcpClientImpl.h"

namespace korvane::platform {

namespace {
constexpr UINT kResolvedMessage = WM_APP + 1;
constexpr UINT kSocketMessage = WM_APP + 2;
constexpr char kWindowClass[] = "KorvaneConnectionWindow";

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

}  // namespace

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

HWND CreateConnectionWindow(TcpClient::Impl* impl) {
  HWND window = ::CreateWindowA(kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                CodeModule(), nullptr);
  ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl));
  return window;
}

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

void TcpClient::Activate() {
  Impl& d = *impl_;
  if (IsActive()) return;
  if (!d.window) d.window = CreateConnectionWindow(&d);
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
    left = std::max<int64_t>(left, 0);  // a wait of 0 still looks once
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

}  // namespace korvane::platform
