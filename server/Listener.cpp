// Accepting connections, refusing those over the caps, and riding out a lack of descriptors.
#include "server/Listener.h"

#include <algorithm>
#include <array>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "protocol/ServerMessages.h"
#include "server/PeerAddress.h"
#include "server/ServerLog.h"

namespace korvane::server {
namespace {

using asio::ip::tcp;

constexpr size_t kReserveDescriptors = 4;
constexpr std::chrono::milliseconds kFirstRetry{10};
constexpr std::chrono::milliseconds kLongestRetry{1000};
constexpr std::chrono::milliseconds kFullRetry{50};
constexpr std::chrono::seconds kRefusalLogEvery{1};

const char* RefusalReason(Admission why) {
  switch (why) {
    case Admission::kServerFull:
      return "server full";
    case Admission::kAddressFull:
      return "too many from the address";
    case Admission::kLoginsFull:
      return "too many logging in";
    case Admission::kAddressLoginsFull:
      return "too many logging in from the address";
    case Admission::kNotABalancer:
      return "not a trusted balancer";
    case Admission::kAdmitted:
      break;
  }
  return "";
}

bool OutOfDescriptors(const std::error_code& error) {
  return error == asio::error::no_descriptors || error == std::errc::too_many_files_open_in_system;
}

}  // namespace

Listener::Listener(asio::io_context& io, ConnectionLimits& limits, ServerLog& log,
                   Admitted admitted, bool clientsFromHeader, std::vector<AddressRange> balancers)
    : io_(io),
      limits_(limits),
      log_(log),
      admitted_(std::move(admitted)),
      clientsFromHeader_(clientsFromHeader),
      balancers_(std::move(balancers)),
      strand_(asio::make_strand(io)),
      acceptor_(strand_),
      retry_(strand_) {}

Listener::~Listener() {
#ifndef _WIN32
  for (int fd : reserve_) ::close(fd);
#endif
}

bool Listener::Open(const std::string& bindAddress, uint16_t port, std::string& error) {
  std::error_code failure;
  const asio::ip::address address = asio::ip::make_address(bindAddress, failure);
  if (failure) {
    error = "bad bind address " + bindAddress;
    return false;
  }
  const tcp::endpoint endpoint(address, port);
  acceptor_.open(endpoint.protocol(), failure);
  if (!failure) acceptor_.set_option(tcp::acceptor::reuse_address(true), failure);
  if (!failure) acceptor_.bind(endpoint, failure);
  if (!failure) acceptor_.listen(asio::socket_base::max_listen_connections, failure);
  if (!failure) port_ = acceptor_.local_endpoint(failure).port();
  if (failure) {
    error =
        "cannot listen on " + bindAddress + ":" + std::to_string(port) + ": " + failure.message();
    return false;
  }
  TakeReserve();
  return true;
}

void Listener::Start() {
  asio::post(strand_, [this] { Accept(); });
}

void Listener::Stop() {
  asio::post(strand_, [this] {
    std::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
  });
}

void Listener::Accept() {
  acceptor_.async_accept(asio::any_io_executor(asio::make_strand(io_)),
                         [this](const std::error_code& error, tcp::socket socket) {
                           OnAccept(error, std::move(socket));
                         });
}

void Listener::OnAccept(const std::error_code& error, tcp::socket socket) {
  if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
  if (error) return OnAcceptError(error);
  if (failures_ > 0) {
    log_.Line("accepting again after " + std::to_string(failures_) + " failed accepts");
    failures_ = 0;
  }
  std::error_code failure;
  const tcp::endpoint peer = socket.remote_endpoint(failure);
  if (!failure && clientsFromHeader_ && !InRanges(peer.address(), balancers_)) {
    // A header from anyone else could name any address, and so escape every per-address
    // limit and fill a real client's.
    Refuse(socket, Admission::kNotABalancer, AddressKey(peer.address()));
  } else if (!failure) {
    std::string address = clientsFromHeader_ ? "" : AddressKey(peer.address());
    uint64_t serial = 0;
    const Admission verdict = limits_.Admit(address, serial);
    if (verdict == Admission::kAdmitted) {
      admitted_(std::move(socket), AdmissionTicket(limits_, serial, std::move(address)));
    } else {
      Refuse(socket, verdict, address);
    }
  }
  Accept();
}

void Listener::OnAcceptError(const std::error_code& error) {
  if (OutOfDescriptors(error)) {
    switch (AcceptOnReserve()) {
      case ReserveAccept::kRefused:
        return Accept();
      case ReserveAccept::kNoneWaiting:
        // Linux takes the new descriptor before it looks for a connection, so a process
        // out of descriptors fails to accept even when nobody is waiting: no failure, and
        // the next look comes a little later.
        return RetryAfter(kFullRetry);
      case ReserveAccept::kFailed:
        break;
    }
  }
  ++failures_;
  if ((failures_ & (failures_ - 1)) == 0) {
    log_.Line("accept failed: " + error.message() + " (" + std::to_string(failures_) +
              " times in a row)");
  }
  const uint32_t doublings = std::min<uint32_t>(failures_ - 1, 7);
  RetryAfter(std::min(kLongestRetry, kFirstRetry * (1 << doublings)));
}

void Listener::RetryAfter(std::chrono::milliseconds delay) {
  retry_.expires_after(delay);
  retry_.async_wait([this](const std::error_code& waited) {
    if (!waited) Accept();
  });
}

Listener::ReserveAccept Listener::AcceptOnReserve() {
  if (reserve_.empty()) return ReserveAccept::kFailed;
  SpendReserve();
  tcp::socket socket(io_);
  std::error_code failure;
  acceptor_.non_blocking(true, failure);
  if (!failure) acceptor_.accept(socket, failure);
  ReserveAccept outcome = ReserveAccept::kRefused;
  if (failure == asio::error::would_block || failure == asio::error::try_again) {
    outcome = ReserveAccept::kNoneWaiting;
  } else if (failure) {
    outcome = ReserveAccept::kFailed;
  } else {
    tcp::endpoint peer = socket.remote_endpoint(failure);
    Refuse(socket, Admission::kServerFull, failure ? "unknown" : AddressKey(peer.address()));
  }
  TakeReserve();
  return outcome;
}

void Listener::Refuse(tcp::socket& socket, Admission why, const std::string& address) {
  std::error_code ignored;
  socket.non_blocking(true, ignored);
  // Bytes the client has sent already, left unread, would turn the close into a reset,
  // which may discard the text before the client reads it.
  std::array<char, 4096> unread{};
  for (int i = 0; i < 16 && socket.read_some(asio::buffer(unread), ignored) > 0; ++i) {
  }
  std::vector<uint8_t> text;
  wire::AppendText(text, RefusalText(why));
  socket.write_some(asio::buffer(text), ignored);
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  socket.close(ignored);
  NoteRefusal(why, address);
}

void Listener::NoteRefusal(Admission why, const std::string& address) {
  const auto now = std::chrono::steady_clock::now();
  if (now - lastRefusalLog_ < kRefusalLogEvery) {
    ++unloggedRefusals_;
    return;
  }
  std::string line = "refused a connection from " + Printable(address) + " (" + RefusalReason(why) +
                     ", " + std::to_string(limits_.Held()) + " held)";
  if (unloggedRefusals_ > 0) {
    line += " and " + std::to_string(unloggedRefusals_) + " more since the last such line";
  }
  log_.Line(line);
  lastRefusalLog_ = now;
  unloggedRefusals_ = 0;
}

void Listener::TakeReserve() {
#ifndef _WIN32
  while (reserve_.size() < kReserveDescriptors) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    reserve_.push_back(fd);
  }
#endif
}

void Listener::SpendReserve() {
#ifndef _WIN32
  ::close(reserve_.back());
  reserve_.pop_back();
#endif
}

}  // namespace korvane::server
