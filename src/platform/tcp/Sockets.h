// The thin socket layer under the TCP client: each call it makes of a socket, written once
// for POSIX sockets and once for Windows Sockets, so that everything above it is the same
// code on both. Failures come back as the Windows socket error codes that the plugin's
// traces show, whichever system made them. The thread a host lookup runs on starts here
// too, since on Windows that thread must keep the module that runs it loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace korvane::platform::sockets {

// A socket: a SOCKET on Windows, a file descriptor on POSIX.
using Handle = std::uintptr_t;
inline constexpr Handle kNoSocket = ~Handle{0};

// The Windows socket error codes the client itself tells apart.
inline constexpr int kWouldBlock = 10035;
inline constexpr int kConnectionReset = 10054;

// What Wait asks for and reports, or-ed together. A failed socket is reported whether or
// not kFailed was asked for on POSIX; on Windows only when asked. kPeerClosed (the peer
// sent its close, bytes may still be unread) is seen on POSIX only.
enum Readiness : int { kReadable = 1, kWritable = 2, kFailed = 4, kPeerClosed = 8 };

// Starts the system's socket library, once per process.
void Startup();

// A new non-blocking IPv4 TCP socket that sends small writes at once; kNoSocket, with the
// error in error, when none could be made.
Handle OpenStream(int& error);

// Starts connecting s to address (IPv4, network byte order) and port: 0 when the connect
// is under way or done, else its error.
int Connect(Handle s, std::uint32_t address, int port);

// The outcome of a connect that has ended: 0 when connected, else its error.
int PendingError(Handle s);

// Waits up to timeoutMs for any of want on s: the Readiness found, 0 on timeout, -1 when
// the wait itself failed (a socket closed meanwhile, say).
int Wait(Handle s, int want, int timeoutMs);

// Sends up to size bytes without waiting: how many were taken, or -1 with the error.
int Send(Handle s, const char* data, std::size_t size, int& error);

// Receives up to size bytes without waiting: how many, 0 once the peer closed, or -1 with
// the error (kWouldBlock when nothing is there yet).
int Receive(Handle s, char* into, std::size_t size, int& error);

// How many received bytes wait to be read; 0 when none, or when that cannot be told.
std::size_t Pending(Handle s);

// Closes s.
void Close(Handle s);

// Reads a dotted IPv4 address (network byte order into address); false when text is not one.
bool ParseAddress(const std::string& text, std::uint32_t& address);

// Resolves host to an IPv4 address, waiting as long as that takes: 0, or the error.
int Resolve(const std::string& host, std::uint32_t& address);

// The connected peer's address as dotted text and its port; false, with both left as they
// are, when s has none.
bool Peer(Handle s, std::string& address, int& port);

// The host name of a dotted address by a reverse lookup; "" when there is none.
std::string ReverseLookup(const std::string& address);

// Runs body on a new thread that nobody joins; false, with the system's error code in
// error, when no thread could be started.
bool StartThread(std::function<void()> body, int& error);

}  // namespace korvane::platform::sockets
