// The flood of the crowd benchmark: non-blocking connects from one source address started
// back to back, none of which ever sends a byte, and the sorting of what the server made of
// them; and the count of the server's descriptors from /proc.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "CrowdProbes.h"
#include "protocol/MessageKinds.h"

namespace crowd {
namespace {

// Reads what the server sent on a connected socket without waiting: true when it has closed
// (or reset) the connection; text gets the bytes it sent, if any.
bool ClosedByServer(int fd, std::string& text) {
  char chunk[4096];
  for (;;) {
    const ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) {
      text.append(chunk, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) return true;
    return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
  }
}

// A server text made printable: the kind byte and the terminator dropped.
std::string Printable(const std::string& bytes) {
  std::string text;
  const bool hasKind = !bytes.empty() && bytes[0] == korvane::protocol::kText;
  for (size_t i = hasKind ? 1 : 0; i < bytes.size() && text.size() < 120; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c <= korvane::protocol::kTextEnd) break;
    text.push_back(c < 0x20 || c >= 0x7F ? '?' : static_cast<char>(c));
  }
  return text;
}

}  // namespace

Flood::~Flood() {
  Close();
}

void Flood::Open(uint16_t port, const std::string& source, int count, std::atomic<int>& started) {
  sockaddr_in server{}, local{};
  server.sin_family = local.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1) return;
  const int one = 1;
  sockets_.reserve(sockets_.size() + static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      failedToStart_ += count - i;  // out of descriptors: the rest cannot start either
      return;
    }
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 &&
         errno != EINPROGRESS)) {
      close(fd);
      ++failedToStart_;
    } else {
      sockets_.push_back(fd);
    }
    ++started;
  }
}

FloodTally Flood::Tally() {
  FloodTally tally;
  tally.made = static_cast<int>(sockets_.size()) + failedToStart_;
  tally.unstarted = failedToStart_;
  std::vector<pollfd> waits;
  for (int fd : sockets_) waits.push_back({fd, POLLIN | POLLOUT, 0});
  poll(waits.data(), waits.size(), 0);
  for (const pollfd& wait : waits) {
    if ((wait.revents & (POLLIN | POLLOUT | POLLERR | POLLHUP)) == 0) {
      ++tally.pending;
      continue;
    }
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(wait.fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0 && error != ECONNRESET && error != EPIPE) {
      ++tally.failed;  // refused or timed out before it was ever connected
      continue;
    }
    std::string sent;
    const bool closed = error != 0 || ClosedByServer(wait.fd, sent);
    ++(closed ? tally.closed : tally.open);
    if (!sent.empty() && ++tally.withText == 1) tally.text = Printable(sent);
  }
  return tally;
}

void Flood::Close() {
  for (int fd : sockets_) close(fd);
  sockets_.clear();
  failedToStart_ = 0;
}

int DescriptorCount(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

}  // namespace crowd
