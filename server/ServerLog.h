// The server's log: one line per event on standard output, each with the local time in
// front and flushed at once, so that a watcher sees it when it happens. Lines from
// different threads never interleave. A quiet log writes nothing.
//
// Writing never holds up serving: lines go to a queue of bounded size that a thread of the
// log's own writes out. While the output is not drained (a pipe nobody reads, a stalled
// terminal), that thread waits and the queue fills; lines that find it full are dropped
// and counted, and the next line written says "N log lines dropped" first.
//
// A flood of connections that close before logging in would fill any log with two lines
// each. The first kFullConnectionsPerAddress of them from an address, and kFullConnections
// from all addresses, in each summary interval are logged in full; the lines of the others
// wait for their login, and those that close first are summed up once the interval is over
// in one line per address: "N more connections from ADDRESS closed before a login".
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace korvane::server {

class ServerLog final {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kQueueLines = 8192;
  static constexpr size_t kFullConnectionsPerAddress = 20;
  static constexpr size_t kFullConnections = 200;
  static constexpr std::chrono::seconds kSummaryInterval{10};

  explicit ServerLog(bool quiet, std::FILE* out = stdout);
  ~ServerLog();
  ServerLog(const ServerLog&) = delete;
  ServerLog& operator=(const ServerLog&) = delete;

  // Writes text as one line, unless the queue is full.
  void Line(std::string_view text);

  // A connection from address has come: true when its lines are to be logged as they come,
  // false when they wait for its login (and its close before one is only counted).
  bool ConnectionInFull(const std::string& address);
  // A connection from address whose lines waited closed before a login.
  void ClosedBeforeLogin(const std::string& address);

  // Returns once every line queued so far is written (or dropped).
  void Flush();

 private:
  const bool quiet_;
  struct State;  // what the writer thread shares with the log, which may outlive it
  std::shared_ptr<State> state_;
  std::thread writer_;
};

// text made safe for a log line and a terminal: UTF-8 characters from U+00A0 up stay as
// they are; every other byte (C0 and C1 controls, DEL, ESC, bytes that are no UTF-8 or that
// encode a C1 control) becomes \xNN, and a backslash becomes \\. At most limit bytes of
// text are kept.
std::string Printable(std::string_view text, size_t limit = 64);

}  // namespace korvane::server
