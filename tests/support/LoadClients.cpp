// Whole-message reads on plain POSIX sockets from a chosen source address, the login and the
// inflation of runs.
#include "LoadClients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>

namespace korvane::load {
namespace {

using Clock = std::chrono::steady_clock;

// Larger than any run the server makes (4096 sectors of 2352 bytes, barely compressed).
constexpr size_t kMaxMessageBody = 64u << 20;

}  // namespace

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
