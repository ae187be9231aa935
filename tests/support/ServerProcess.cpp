// The server program started through ChildProcess with its output in a temporary file,
// which is read for the port and the log.
#include "ServerProcess.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace korvane::load {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLogLimit = 1 << 20;

// The port of the program's "serving ... on ADDRESS:PORT with" line, 0 until it is there.
uint16_t PortFromLog(const std::string& log, const std::string& bindAddress) {
  const std::string marker = " on " + bindAddress + ":";
  const size_t at = log.find(marker);
  if (at == std::string::npos || log.find(' ', at + marker.size()) == std::string::npos) return 0;
  return static_cast<uint16_t>(std::stoi(log.substr(at + marker.size())));
}

// The inodes of the sockets process pid holds.
std::set<std::string> SocketInodes(pid_t pid) {
  std::set<std::string> inodes;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return inodes;
  const std::string_view prefix = "socket:[";
  for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
    char target[64];
    const ssize_t size = readlink((folder + entry->d_name).c_str(), target, sizeof target);
    const std::string_view link(target, size > 0 ? static_cast<size_t>(size) : 0);
    if (link.size() > prefix.size() + 1 && link.substr(0, prefix.size()) == prefix) {
      inodes.emplace(link.substr(prefix.size(), link.size() - prefix.size() - 1));
    }
  }
  closedir(dir);
  return inodes;
}

// The port pid listens on over TCP, 0 while it listens on none. Until pid has run its own
// program it holds the descriptors of this one, which must not be taken for its own.
uint16_t ListeningPort(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  char self[4096], other[4096];
  const ssize_t selfSize = readlink("/proc/self/exe", self, sizeof self);
  const ssize_t otherSize = readlink((proc + "/exe").c_str(), other, sizeof other);
  if (otherSize <= 0 || std::string_view(self, std::max<ssize_t>(selfSize, 0)) ==
                            std::string_view(other, static_cast<size_t>(otherSize))) {
    return 0;
  }
  const std::set<std::string> inodes = SocketInodes(pid);
  for (const char* table : {"/net/tcp", "/net/tcp6"}) {
    std::ifstream in(proc + table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, skip, inode;
      fields >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> inode;
      const size_t colon = local.rfind(':');
      if (state == "0A" && inodes.count(inode) != 0 && colon != std::string::npos) {
        return static_cast<uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16));
      }
    }
  }
  return 0;
}

}  // namespace

ServerProcess::~ServerProcess() {
  Stop(5000);
  if (!logPath_.empty()) unlink(logPath_.c_str());
}

bool ServerProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, std::string& error,
                          const std::string& bindAddress) {
  const char* temp = getenv("TMPDIR");
  std::string path =
      std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/korvane-server-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    error = "no log file";
    return false;
  }
  close(fd);
  logPath_ = path;
  std::vector<std::string> argv = args;
  argv.insert(argv.end(), {"--bind", bindAddress, "--port", "0"});
  process_.AddEnvironment(env);
  if (!process_.Start(program, argv, logPath_)) {
    error = "cannot start " + program;
    return false;
  }
  port_ = AwaitPort(bindAddress);
  if (port_ == 0) error = "the program told no port; it logged: " + Log();
  return port_ != 0;
}

uint16_t ServerProcess::AwaitPort(const std::string& bindAddress) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  for (;;) {
    if (const uint16_t logged = PortFromLog(Log(), bindAddress)) return logged;
    int status = 0;
    if (Clock::now() >= deadline || process_.Wait(0, status)) return 0;
    if (const uint16_t listening = ListeningPort(process_.Pid())) return listening;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

long ServerProcess::MemoryKiB(std::string_view field) const {
  std::ifstream status("/proc/" + std::to_string(process_.Pid()) + "/status");
  const std::string prefix = std::string(field) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

bool ServerProcess::Stop(int timeoutMs) {
  return process_.Terminate(timeoutMs);
}

bool ServerProcess::AwaitExit(int timeoutMs) {
  int status = -1;
  return process_.Wait(timeoutMs, status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ServerProcess::Log() const {
  std::ifstream in(logPath_, std::ios::binary);
  std::string log(kLogLimit, '\0');
  in.read(&log[0], static_cast<std::streamsize>(log.size()));
  log.resize(static_cast<size_t>(in.gcount()));
  return log;
}

}  // namespace korvane::load
