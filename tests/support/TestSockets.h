// Blocking TCP sockets on 127.0.0.1 for the tests' own peers (a relay that cuts a
// reply, a server that misbehaves on purpose), with the same calls on Winsock and POSIX.
// Every wait has a timeout, so a peer thread notices that its test is ending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane::test::sock {

using Socket = intptr_t;
inline constexpr Socket kNoSocket = -1;

// What Receive found.
inline constexpr int kClosed = 0;     // the peer closed its side
inline constexpr int kFailed = -1;    // reset or another error
inline constexpr int kTimedOut = -2;  // nothing within the timeout

// A listening socket on 127.0.0.1 at port at, or at a port of the system's choosing when at
// is 0; the port is written to port.
Socket Listen(int& port, int at = 0);

// The next client of listener, or kNoSocket when none comes within timeoutMs.
Socket Accept(Socket listener, int timeoutMs);

// A connection to 127.0.0.1:port, from the loopback address source when one is given, or
// kNoSocket when it is refused.
Socket Connect(int port, const char* source = nullptr);

// Sends every byte; false when the connection failed first.
bool SendAll(Socket s, const char* data, size_t size);
inline bool SendAll(Socket s, const std::string& bytes) {
  return SendAll(s, bytes.data(), bytes.size());
}

// Receives what is there, up to size bytes, waiting up to timeoutMs for the first: the
// count, or kClosed, kFailed or kTimedOut.
int Receive(Socket s, char* buffer, size_t size, int timeoutMs);

// Ends both directions; a thread waiting in Receive on s sees kClosed or kFailed.
void Shutdown(Socket s);

// Ends the sending direction only: the peer sees a close once it has read everything.
void ShutdownSending(Socket s);

// Closes s; with reset, abortively, so that the peer sees a connection reset.
void Close(Socket s, bool reset = false);

}  // namespace korvane::test::sock
