// The disc server program as a child process for the load test and the load benchmarks:
// started on a port of its own choosing, which it tells in its log (or, when quiet, shows
// among its listening sockets in /proc), with its memory readable from /proc, and stopped
// by SIGTERM as a service manager stops it. POSIX only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ChildProcess.h"

namespace korvane::load {

class ServerProcess final {
 public:
  ServerProcess() = default;
  // Stops the program if it still runs and removes its log.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts program with args (--bind bindAddress --port 0 are added after them) and the
  // environment plus env ("NAME=value"; appended with ':' to a variable already set), and
  // waits for its port; false with error when it is not known within 20 s.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, std::string& error,
             const std::string& bindAddress = "127.0.0.1");

  uint16_t Port() const { return port_; }
  int Pid() const { return process_.Pid(); }

  // A field of /proc/<pid>/status in KiB (VmHWM: peak resident memory, VmRSS: now); -1 when
  // it cannot be read.
  long MemoryKiB(std::string_view field) const;

  // Sends SIGTERM and waits up to timeoutMs for the exit; true when it exited with status 0.
  // After the wait, a program still running is killed.
  bool Stop(int timeoutMs);

  // Waits up to timeoutMs for the program to end by itself; true when it exited with status 0.
  bool AwaitExit(int timeoutMs);

  // What the program logged so far (its first MiB).
  std::string Log() const;

 private:
  uint16_t AwaitPort(const std::string& bindAddress);

  test::ChildProcess process_;
  std::string logPath_;
  uint16_t port_ = 0;
};

}  // namespace korvane::load
