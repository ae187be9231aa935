// Windows side of a TcpClient's EventDelivery: a hidden message-only window of the thread
// that activates the connection. Socket events reach it through WSAAsyncSelect and a
// finished host lookup posts to it; its window procedure hands each to the connection's
// portable steps, so the events run when that thread dispatches its messages.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <mutex>

#include "platform/tcp/TcpClientImpl.h"

namespace korvane::platform {

namespace {
constexpr UINT kResolvedMessage = WM_APP + 1;
constexpr UINT kSocketMessage = WM_APP + 2;
constexpr char kWindowClass[] = "KorvaneConnectionWindow";

// The portable event of a WSAAsyncSelect notification; false for one the client ignores.
bool EventOf(LPARAM info, SocketEvent& event) {
  switch (WSAGETSELECTEVENT(info)) {
    case FD_CONNECT:
      event = SocketEvent::kConnect;
      return true;
    case FD_READ:
      event = SocketEvent::kRead;
      return true;
    case FD_CLOSE:
      event = SocketEvent::kClose;
      return true;
    default:
      return false;
  }
}

LRESULT CALLBACK ConnectionWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  auto* impl = reinterpret_cast<TcpClient::Impl*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (impl && message == kResolvedMessage) {
    impl->OnResolved(static_cast<unsigned>(w));
    return 0;
  }
  if (impl && message == kSocketMessage) {
    SocketEvent event;
    if (EventOf(l, event)) {
      impl->OnSocketEvent(static_cast<sockets::Handle>(w), event, WSAGETSELECTERROR(l));
    }
    return 0;
  }
  return ::DefWindowProcA(window, message, w, l);
}

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

void RegisterWindowClassOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = ConnectionWindowProc;
    wc.hInstance = CodeModule();
    wc.lpszClassName = kWindowClass;
    ::RegisterClassA(&wc);
  });
}
}  // namespace

struct EventDelivery::Side final {
  HWND window = nullptr;
};

EventDelivery::EventDelivery(TcpClient::Impl& client)
    : client_(client), side_(std::make_unique<Side>()) {
  RegisterWindowClassOnce();
}

EventDelivery::~EventDelivery() {
  HWND window = side_->window;
  if (!window) return;
  // No message left in the queue may reach the connection once it is gone; a window of
  // another thread is closed by that thread.
  ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  if (!::DestroyWindow(window)) ::PostMessageA(window, WM_CLOSE, 0, 0);
}

void EventDelivery::Prepare() {
  if (side_->window) return;
  side_->window = ::CreateWindowA(kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  CodeModule(), nullptr);
  ::SetWindowLongPtrA(side_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&client_));
}

void EventDelivery::Watch(sockets::Handle s) {
  ::WSAAsyncSelect(static_cast<SOCKET>(s), side_->window, kSocketMessage,
                   FD_CONNECT | FD_READ | FD_CLOSE);
}

std::function<void()> EventDelivery::Announcer(unsigned id) {
  HWND window = side_->window;
  return [window, id] { ::PostMessageA(window, kResolvedMessage, static_cast<WPARAM>(id), 0); };
}

void EventDelivery::Pump(int timeoutMs) {
  ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(timeoutMs), QS_ALLINPUT);
  MSG message;
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
}

}  // namespace korvane::platform
