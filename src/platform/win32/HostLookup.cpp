// Win32 host lookup thread: getaddrinfo for an IPv4 stream address, the answer stored under
// the lookup's lock and announced by a posted message unless the lookup was abandoned.
#include "platform/win32/HostLookup.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

namespace korvane::platform {

namespace {
// What the new thread is handed: its share of the lookup and the module reference it
// drops when it ends.
struct ThreadStart {
  std::shared_ptr<HostLookup> lookup;
  HMODULE module = nullptr;
};

// A counted reference to the module holding this code (the plugin DLL, or the executable
// that links it statically); null when the module cannot be found.
HMODULE ReferenceOwnModule() {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&ReferenceOwnModule), &module)) {
    return nullptr;
  }
  return module;
}
}  // namespace

std::shared_ptr<HostLookup> HostLookup::Start(const std::string& host, HWND window, UINT message,
                                              unsigned id, int& error) {
  auto lookup = std::make_shared<HostLookup>(host, window, message, id);
  auto* start = new ThreadStart{lookup, ReferenceOwnModule()};
  HANDLE thread = ::CreateThread(nullptr, 0, &HostLookup::ThreadMain, start, 0, nullptr);
  if (!thread) {
    error = static_cast<int>(::GetLastError());
    if (start->module) ::FreeLibrary(start->module);
    delete start;
    return nullptr;
  }
  ::CloseHandle(thread);
  return lookup;
}

DWORD WINAPI HostLookup::ThreadMain(void* param) {
  HMODULE module;
  {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(param));
    module = start->module;
    start->lookup->Resolve();
  }  // the lookup's share and the start block are gone before the module reference is
  if (module) ::FreeLibraryAndExitThread(module, 0);
  return 0;
}

void HostLookup::Resolve() {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int error = ::getaddrinfo(host_.c_str(), nullptr, &hints, &found);
  u_long address = 0;
  if (error == 0 && found && found->ai_addr) {
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  } else if (error == 0) {
    error = WSANO_DATA;
  }
  if (found) ::freeaddrinfo(found);
  std::lock_guard<std::mutex> hold(lock_);
  error_ = error;
  address_ = address;
  done_ = true;
  answered_.notify_all();
  if (!abandoned_) ::PostMessageA(window_, message_, static_cast<WPARAM>(id_), 0);
}

bool HostLookup::WaitDone(int timeoutMs) {
  std::unique_lock<std::mutex> hold(lock_);
  return answered_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return done_; });
}

void HostLookup::Abandon() {
  std::lock_guard<std::mutex> hold(lock_);
  abandoned_ = true;
}

int HostLookup::Error() const {
  std::lock_guard<std::mutex> hold(lock_);
  return error_;
}

u_long HostLookup::Address() const {
  std::lock_guard<std::mutex> hold(lock_);
  return address_;
}

}  // namespace korvane::platform
