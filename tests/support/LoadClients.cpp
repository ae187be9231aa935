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

#include "protocol/ClientMessages.h"

namespace korvane::load {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

WireConnection::~WireConnection() {
  Close();
}

void WireConnection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  stream_.Drop();
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
  size_t limit = 0;
  std::string& intake = stream_.Intake(limit);
  const size_t had = intake.size();
  intake.resize(had + std::min<size_t>(limit, 65536));
  const ssize_t got = recv(fd_, &intake[had], intake.size() - had, 0);
  intake.resize(had + static_cast<size_t>(std::max<ssize_t>(got, 0)));
  if (got <= 0) {
    error = "connection closed by the server";
    return false;
  }
  return true;
}

// Puts got into message; false (with error) when it is no server message.
bool WireConnection::Take(const ServerStream::Message& got, WireMessage& message,
                          std::string& error) {
  using Kind = ServerStream::Kind;
  message.body.clear();
  switch (got.kind) {
    case Kind::kText:
      message.kind = protocol::kText;
      message.body = got.text;
      if (!got.text.empty() && static_cast<uint8_t>(got.text.back()) <= protocol::kTextEnd)
        message.body.pop_back();
      return true;
    case Kind::kDiscList:
      message.kind = protocol::kDiscList;
      for (const std::string& name : got.names) message.body += name + ",";
      return true;
    case Kind::kPrompt:
      message.kind = protocol::kPrompt;
      return true;
    case Kind::kSector:
    case Kind::kRun:
      message.kind = got.kind == Kind::kRun ? protocol::kRun : protocol::kSingleSector;
      message.body = stream_.Reply();
      return true;
    default:
      error = got.text;
      return false;
  }
}

bool WireConnection::Read(WireMessage& message, int timeoutMs, std::string& error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // A load client takes a reply whenever one comes; only a single sector needs the mode.
    if (!stream_.InReply()) stream_.AwaitReply(3);
    const ServerStream::Message got = stream_.Next();
    if (got.kind != ServerStream::Kind::kNothing) return Take(got, message, error);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!Fill(static_cast<int>(left.count()), error)) return false;
  }
}

bool LogInAndChoose(WireConnection& connection, std::string_view user, std::string_view password,
                    uint8_t disc, int timeoutMs, std::string& error) {
  if (!connection.Send(wire::BuildLogin(user, password))) {
    error = "login not sent";
    return false;
  }
  WireMessage message;
  for (uint8_t kind : {protocol::kText, protocol::kDiscList, protocol::kPrompt}) {
    const bool afterText = message.kind == protocol::kText;
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
  return connection.Send(wire::BuildDiscSelection(disc));
}

bool InflateRun(std::string_view stream, std::string& out) {
  out.clear();
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  int result = Z_OK;
  while (result == Z_OK && out.size() <= kMaxRunPayloadBytes) {
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
