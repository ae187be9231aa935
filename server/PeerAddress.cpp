// Client addresses: limit keys and compression levels.
#include "server/PeerAddress.h"

#include "server/LinkRate.h"
#include "server/ServerOptions.h"

namespace korvane::server {
namespace {

// peer with a mapped IPv4 address taken out of its IPv6 form.
asio::ip::address Unmapped(const asio::ip::address& peer) {
  if (peer.is_v6() && peer.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, peer.to_v6());
  }
  return peer;
}

}  // namespace

std::string AddressKey(const asio::ip::address& peer) {
  const asio::ip::address address = Unmapped(peer);
  if (address.is_v4()) return address.to_string();
  asio::ip::address_v6::bytes_type bytes = address.to_v6().to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

bool IsLoopback(const asio::ip::address& peer) {
  return Unmapped(peer).is_loopback();
}

int RunLevelFor(int configured, const asio::ip::address& peer, double linkBytesPerSecond) {
  if (configured != kLevelAuto) return configured;
  return IsLoopback(peer) || linkBytesPerSecond > kStoredAboveBytesPerSecond ? 0 : 1;
}

}  // namespace korvane::server
