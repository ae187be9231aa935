// A host name lookup that runs on a thread of its own and answers with a message to a
// window. The client that started it may abandon it at any time: the thread then posts
// nothing, and the lookup's state lives on, shared, until the thread is done with it, so
// nothing the thread writes ever lands in memory the client has let go. Each thread holds a
// reference to the module that contains this code and drops it as its last act, so a
// plugin unloaded while a lookup runs is not unmapped under the thread.
#pragma once

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace korvane::platform {

class HostLookup final {
 public:
  // Starts resolving `host` to an IPv4 address; when done, posts `message` to `window` with
  // `id` as its WPARAM, unless Abandon() came first. Returns null, with the system's error
  // code in `error`, when no thread could be started.
  static std::shared_ptr<HostLookup> Start(const std::string& host, HWND window, UINT message,
                                           unsigned id, int& error);

  // After this returns, the lookup posts nothing more.
  void Abandon();

  // Waits up to timeoutMs for the answer, on any thread; true once it is there.
  bool WaitDone(int timeoutMs);

  unsigned Id() const { return id_; }
  // The answer, once its message has arrived: 0 and the address in network byte order, or
  // a Windows Sockets error.
  int Error() const;
  u_long Address() const;

  HostLookup(std::string host, HWND window, UINT message, unsigned id)
      : host_(std::move(host)), window_(window), message_(message), id_(id) {}

 private:
  static DWORD WINAPI ThreadMain(void* start);
  void Resolve();

  const std::string host_;
  const HWND window_;
  const UINT message_;
  const unsigned id_;
  mutable std::mutex lock_;
  std::condition_variable answered_;
  bool abandoned_ = false;
  bool done_ = false;
  int error_ = 0;
  u_long address_ = 0;
};

}  // namespace korvane::platform
