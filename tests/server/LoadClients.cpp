// The server program as a child process, whole-message reads on plain POSIX sockets from a
// chosen source address, the login and the inflation of runs.
#include "LoadClients.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>

extern char** environ;

namespace korvane::load {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLogLimit = 1 << 20;
// Larger than any run the server makes (4096 sectors of 2352 bytes, barely compressed).
constexpr size_t kMaxMessageBody = 64u << 20;

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
}

bool ServerProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, std::string& error,
                          const std::string& bindAddress) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    error = "no pipe";
    return false;
  }
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  for (const std::string& fixed :
       {std::string("--bind"), bindAddress, std::string("--port"), std::string("0")}) {
    argv.push_back(fixed);
  }
  std::vector<std::string> envp = ChildEnvironment(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, Pointers(argv).data(),
                                  Pointers(envp).data());
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (spawned != 0) {
    close(ends[0]);
    pid_ = -1;
    error = "cannot start " + program;
    return false;
  }
  // Read all along: a program whose log fills the pipe would stop at its next line.
  reader_ = std::thread([this, fd = ends[0]] { ReadLog(fd); });
  port_ = AwaitPort(bindAddress);
  if (port_ == 0) error = "the program told no port; it logged: " + Log();
  return port_ != 0;
}

uint16_t ServerProcess::AwaitPort(const std::string& bindAddress) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    logged_.wait_for(lock, std::chrono::milliseconds(50),
                     [&] { return logEnded_ || PortFromLog(log_, bindAddress) != 0; });
    if (const uint16_t logged = PortFromLog(log_, bindAddress)) return logged;
    if (logEnded_ || Clock::now() >= deadline) return 0;
    lock.unlock();
    const uint16_t listening = ListeningPort(pid_);
    lock.lock();
    if (listening != 0) return listening;
  }
}

void ServerProcess::ReadLog(int fd) {
  char chunk[4096];
  for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.append(chunk,
                std::min(static_cast<size_t>(got), kLogLimit - std::min(kLogLimit, log_.size())));
    logged_.notify_all();
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  logEnded_ = true;
  logged_.notify_all();
}

long ServerProcess::MemoryKiB(std::string_view field) const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  const std::string prefix = std::string(field) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

bool ServerProcess::Stop(int timeoutMs) {
  if (pid_ <= 0) return false;
  kill(pid_, SIGTERM);
  int status = -1;
  pid_t done = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (done == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  if (reader_.joinable()) reader_.join();
  return done == 0 ? false : WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ServerProcess::Log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

WireConnection::~WireConnection() {
  Close();
}

void WireConnection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::string LoopbackAddress(uint32_t n) {
  in_addr address{htonl(INADDR_LOOPBACK - 1 + n)};
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

bool WireConnection::Connect(uint16_t port, const std::string& host, const std::string& source) {
  Close();
  sockaddr_in address{}, local{};
  address.sin_family = local.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
      (!source.empty() && inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1)) {
    return false;
  }
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  // The port is then chosen at connect for the whole address pair, so that one source
  // address is not limited to the ports no socket of it has bound.
  if (fd_ >= 0 && !source.empty()) {
    setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  }
  if (fd_ >= 0 &&
      ((!source.empty() && bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
       connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)) {
    close(fd_);
    fd_ = -1;
  }
  // As the plugin does: a request must not wait for the ACK of the disc selection before it.
  if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd_ >= 0;
}

bool WireConnection::Send(std::string_view bytes) {
  return fd_ >= 0 &&
         send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool WireConnection::Fill(int timeoutMs, std::string& error) {
  pollfd wait{fd_, POLLIN, 0};
  if (fd_ < 0 || poll(&wait, 1, std::max(0, timeoutMs)) <= 0) {
    error = "no reply in time";
    return false;
  }
  char chunk[65536];
  const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
  if (got <= 0) {
    error = "connection closed by the server";
    return false;
  }
  buffer_.append(chunk, static_cast<size_t>(got));
  return true;
}

// The length of the message at the front of the buffer, 0 while it is incomplete,
// std::string::npos (with error) when it is no server message.
size_t WireConnection::Decode(WireMessage& message, std::string& error) const {
  if (buffer_.empty()) return 0;
  message.kind = static_cast<uint8_t>(buffer_[0]);
  if (message.kind == 0x06) return 1;
  if (message.kind == 0x01) {
    const auto end = std::find_if(buffer_.begin() + 1, buffer_.end(),
                                  [](char c) { return static_cast<uint8_t>(c) <= 0x0A; });
    if (end == buffer_.end()) return 0;
    message.body.assign(buffer_.begin() + 1, end);
    return static_cast<size_t>(end - buffer_.begin()) + 1;
  }
  if (message.kind != 0x02 && message.kind != 0x05) {
    error = "unexpected message kind " + std::to_string(message.kind);
    return std::string::npos;
  }
  // A list and a run carry a decimal length between separators, then that many bytes.
  const size_t digits = message.kind == 0x02 ? 2 : 1;
  size_t end = digits;
  while (end < buffer_.size() && end - digits < 9 && buffer_[end] >= '0' && buffer_[end] <= '9')
    ++end;
  if (end >= buffer_.size()) return end - digits < 9 ? 0 : std::string::npos;
  const char separator = message.kind == 0x02 ? ',' : ':';
  const size_t length = end == digits ? 0 : std::stoul(buffer_.substr(digits, end - digits));
  if ((digits == 2 && buffer_[1] != ',') || end == digits || buffer_[end] != separator ||
      length > kMaxMessageBody) {
    error = "bad message length";
    return std::string::npos;
  }
  if (buffer_.size() < end + 1 + length) return 0;
  message.body.assign(buffer_, end + 1, length);
  return end + 1 + length;
}

bool WireConnection::Read(WireMessage& message, int timeoutMs, std::string& error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t used = Decode(message, error);
    if (used == std::string::npos) return false;
    if (used != 0) {
      buffer_.erase(0, used);
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!Fill(static_cast<int>(left.count()), error)) return false;
  }
}

bool LogInAndChoose(WireConnection& connection, std::string_view user, std::string_view password,
                    uint8_t disc, int timeoutMs, std::string& error) {
  if (!connection.Send("\x01\x05" + std::string(user) + "," + std::string(password))) {
    error = "login not sent";
    return false;
  }
  WireMessage message;
  for (uint8_t kind : {0x01, 0x02, 0x06}) {
    const bool afterText = message.kind == 0x01;
    const std::string text = message.body;
    if (!connection.Read(message, timeoutMs, error)) {
      if (afterText) error += " after the text \"" + text + "\"";
      return false;
    }
    if (message.kind != kind) {
      error = "login answered with kind " + std::to_string(message.kind) + ": " + message.body;
      return false;
    }
  }
  return connection.Send(std::string{'\x03', static_cast<char>(disc)});
}

bool InflateRun(std::string_view stream, std::string& out) {
  out.clear();
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  int result = Z_OK;
  while (result == Z_OK && out.size() <= kMaxMessageBody) {
    // Room for a run of stored sectors in one step; a compressed one takes a few.
    const size_t had = out.size();
    out.resize(had + std::max<size_t>(stream.size(), 1 << 16));
    z.next_out = reinterpret_cast<Bytef*>(out.data() + had);
    z.avail_out = static_cast<uInt>(out.size() - had);
    result = inflate(&z, Z_NO_FLUSH);
    out.resize(out.size() - z.avail_out);
  }
  const bool whole = result == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return whole;
}

double PlayResult::MegabytesPerSecond(size_t sectorBytes) const {
  return ok && seconds > 0 ? sectors * sectorBytes / 1e6 / seconds : 0;
}

}  // namespace korvane::load
