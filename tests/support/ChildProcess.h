// A program the tests start as a process of its own so that they can kill it the way a
// crash or the task manager would (SIGKILL natively, TerminateProcess on Windows), freeze
// it, or stop it as a service manager would (SIGTERM). Its standard output and error go to
// a file the test can read.
#pragma once

#include <string>
#include <vector>

namespace korvane::test {

class ChildProcess final {
 public:
  ChildProcess() = default;
  // Kills the process if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program with args, output to outputFile (created anew); false when it cannot.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::string& outputFile);

  // Kills the process without warning and waits until it has gone.
  void Kill();

  // Waits up to timeoutMs for the process to end by itself; true when it has, with its
  // exit status in status.
  bool Wait(int timeoutMs, int& status);

  bool Started() const { return started_; }

#ifndef _WIN32
  // Adds "NAME=value" entries to the environment of the next Start (a value appended with
  // ':' to a variable already set).
  void AddEnvironment(const std::vector<std::string>& extra) {
    extra_ = extra;
  }

  int Pid() const {
    return pid_;
  }

  // Sends SIGTERM and waits up to timeoutMs for the exit, then kills a process still
  // running; true when it exited with status 0.
  bool Terminate(int timeoutMs);

  // Freezes the process (SIGSTOP), returning once it is stopped, and lets it go on
  // (SIGCONT); false when it is not running.
  bool Suspend();
  bool Resume();
#endif

  // The path of a program in the folder that holds the running test program.
  static std::string ProgramBesideThisOne(const std::string& name);

 private:
  bool started_ = false;
#ifdef _WIN32
  void* process_ = nullptr;
#else
  int pid_ = -1;
  std::vector<std::string> extra_;
#endif
};

// Reads the whole file at path; "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace korvane::test
