// Child processes on both systems: posix_spawn and waitpid natively, CreateProcess and
// TerminateProcess on Windows.
#include "ChildProcess.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace korvane::test {

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::string();
  std::string bytes(static_cast<size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

ChildProcess::~ChildProcess() {
  if (started_) Kill();
}

#ifdef _WIN32

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& outputFile) {
  std::string line = "\"" + program + "\"";
  for (const std::string& arg : args) line += " \"" + arg + "\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE output =
      ::CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return false;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = output;
  PROCESS_INFORMATION info{};
  started_ = ::CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                              nullptr, &startup, &info) != 0;
  ::CloseHandle(output);
  if (!started_) return false;
  ::CloseHandle(info.hThread);
  process_ = info.hProcess;
  return true;
}

void ChildProcess::Kill() {
  if (!started_) return;
  ::TerminateProcess(process_, 9);
  ::WaitForSingleObject(process_, INFINITE);
  ::CloseHandle(process_);
  started_ = false;
}

bool ChildProcess::Wait(int timeoutMs, int& status) {
  if (!started_ ||
      ::WaitForSingleObject(process_, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
    return false;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process_, &code);
  status = static_cast<int>(code);
  ::CloseHandle(process_);
  started_ = false;
  return true;
}

std::string ChildProcess::ProgramBesideThisOne(const std::string& name) {
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path(self);
  return path.substr(0, path.find_last_of("\\/") + 1) + name + ".exe";
}

#else

namespace {

// The environment with extra's "NAME=value" entries added, or appended to a variable of
// that name already set.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
  for (const std::string& add : extra) {
    const std::string name = add.substr(0, add.find('=') + 1);
    auto same = std::find_if(env.begin(), env.end(), [&](const std::string& e) {
      return e.compare(0, name.size(), name) == 0;
    });
    if (same == env.end()) {
      env.push_back(add);
    } else {
      *same += ":" + add.substr(name.size());
    }
  }
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& outputFile) {
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings = ChildEnvironment(extra_);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  started_ = posix_spawn(&pid, program.c_str(), &actions, nullptr, Pointers(argStrings).data(),
                         Pointers(envStrings).data()) == 0;
  posix_spawn_file_actions_destroy(&actions);
  pid_ = pid;
  return started_;
}

void ChildProcess::Kill() {
  if (!started_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  started_ = false;
}

bool ChildProcess::Terminate(int timeoutMs) {
  if (!started_) return false;
  ::kill(pid_, SIGTERM);
  int status = -1;
  if (!Wait(timeoutMs, status)) {
    Kill();
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A signal is delivered some time after kill returns: the wait makes sure that no thread
// of the process still runs when this returns.
bool ChildProcess::Suspend() {
  int status = 0;
  return started_ && ::kill(pid_, SIGSTOP) == 0 && ::waitpid(pid_, &status, WUNTRACED) == pid_ &&
         WIFSTOPPED(status);
}

bool ChildProcess::Resume() {
  return started_ && ::kill(pid_, SIGCONT) == 0;
}

bool ChildProcess::Wait(int timeoutMs, int& status) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (started_) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      started_ = false;
      return true;
    }
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string ChildProcess::ProgramBesideThisOne(const std::string& name) {
  char self[4096] = {};
  ssize_t size = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, size > 0 ? static_cast<size_t>(size) : 0);
  return path.substr(0, path.find_last_of('/') + 1) + name;
}

#endif

}  // namespace korvane::test
