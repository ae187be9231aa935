// The loopback test server on both socket interfaces.
#include "LoopbackServer.h"

#include <chrono>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include "TestSockets.h"

namespace korvane::test {

namespace {
template <typename Condition>
bool WaitUntil(Condition done, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
}  // namespace

LoopbackServer::LoopbackServer() {
  listener_ = sock::Listen(port_);
  thread_ = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  CloseClient();
  ::shutdown(listener_, 2);  // ends a pending accept on POSIX; closing does on Windows
  sock::Close(listener_);
#ifdef _WIN32
  // Winsock does not wake a recv blocked in another thread on shutdown; closing does.
  if (client_ >= 0) sock::Close(client_.exchange(-2));
#endif
  thread_.join();
  if (client_ >= 0) sock::Close(client_);
}

void LoopbackServer::Serve() {
  intptr_t client = static_cast<intptr_t>(::accept(listener_, nullptr, nullptr));
  if (client < 0 || stopping_) return;
  client_ = client;
  char chunk[4096];
  for (;;) {
    int got = static_cast<int>(::recv(client, chunk, sizeof chunk, 0));
    if (got <= 0) return;
    std::lock_guard<std::mutex> hold(lock_);
    received_.append(chunk, static_cast<size_t>(got));
  }
}

bool LoopbackServer::WaitForClient(int timeoutMs) {
  return WaitUntil([this] { return client_ >= 0; }, timeoutMs);
}

void LoopbackServer::Send(const std::string& bytes) {
  ::send(client_, bytes.data(), static_cast<int>(bytes.size()), 0);
}

// Only shuts the connection down: the serving thread may be in recv on it, so the socket
// itself is closed once that thread has ended.
void LoopbackServer::CloseClient() {
  intptr_t client = client_;
  if (client >= 0) ::shutdown(client, 2);
}

std::string LoopbackServer::Received(size_t count, int timeoutMs) {
  WaitUntil(
      [&] {
        std::lock_guard<std::mutex> hold(lock_);
        return received_.size() >= count;
      },
      timeoutMs);
  std::lock_guard<std::mutex> hold(lock_);
  return received_;
}

int LoopbackServer::UnusedPort() {
  int port = 0;
  sock::Close(sock::Listen(port));
  return port;
}

}  // namespace korvane::test
