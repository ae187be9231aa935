// Client addresses: limit keys and compression levels.
#include "server/PeerAddress.h"

#include <algorithm>
#include <cstdint>

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

// The address's bytes, four for IPv4 and sixteen for IPv6.
std::vector<uint8_t> BytesOf(const asio::ip::address& address) {
  if (address.is_v4()) {
    const auto bytes = address.to_v4().to_bytes();
    return {bytes.begin(), bytes.end()};
  }
  const auto bytes = address.to_v6().to_bytes();
  return {bytes.begin(), bytes.end()};
}

bool InRange(const asio::ip::address& peer, const AddressRange& range) {
  const std::vector<uint8_t> mine = BytesOf(peer);
  const std::vector<uint8_t> base = BytesOf(range.base);
  if (mine.size() != base.size()) return false;
  for (unsigned bit = 0; bit < range.prefixBits; bit += 8) {
    const unsigned bits = std::min(8u, range.prefixBits - bit);
    const auto mask = static_cast<uint8_t>(0xFF00 >> bits);
    if (((mine[bit / 8] ^ base[bit / 8]) & mask) != 0) return false;
  }
  return true;
}

}  // namespace

bool ParseAddressRange(std::string_view text, AddressRange& range) {
  const size_t slash = text.find('/');
  std::error_code failure;
  range.base = Unmapped(asio::ip::make_address(std::string(text.substr(0, slash)), failure));
  if (failure) return false;
  const unsigned most = range.base.is_v4() ? 32 : 128;
  range.prefixBits = most;
  if (slash == std::string_view::npos) return true;
  const std::string_view prefix = text.substr(slash + 1);
  if (prefix.empty() || prefix.size() > 3) return false;
  unsigned bits = 0;
  for (char c : prefix) {
    if (c < '0' || c > '9') return false;
    bits = bits * 10 + static_cast<unsigned>(c - '0');
  }
  range.prefixBits = bits;
  return bits <= most;
}

bool InRanges(const asio::ip::address& peer, const std::vector<AddressRange>& ranges) {
  const asio::ip::address address = Unmapped(peer);
  return std::any_of(ranges.begin(), ranges.end(),
                     [&address](const AddressRange& range) { return InRange(address, range); });
}

std::vector<AddressRange> LoopbackRanges() {
  return {{asio::ip::make_address_v4("127.0.0.0"), 8}, {asio::ip::address_v6::loopback(), 128}};
}

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
