// What the server makes of a client's address: the key its connections are counted and
// throttled under, whether it is on this machine, and the compression level its runs get.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <asio/ip/address.hpp>

namespace korvane::server {

// The addresses that share their first prefixBits bits with base.
struct AddressRange {
  asio::ip::address base;
  unsigned prefixBits = 0;
};

// Parses "ADDR" (that address alone) or "ADDR/PREFIX" into range; false when text is
// neither or the prefix is longer than the address.
bool ParseAddressRange(std::string_view text, AddressRange& range);

// True when peer (a mapped IPv4 address taken as IPv4) lies in one of ranges.
bool InRanges(const asio::ip::address& peer, const std::vector<AddressRange>& ranges);

// 127.0.0.0/8 and ::1, the balancers trusted when none is named.
std::vector<AddressRange> LoopbackRanges();

// The key of peer for per-address limits: an IPv4 address (also when it reached a
// dual-stack listener as a mapped IPv6 address) as itself, an IPv6 address as its /64
// prefix, since one client holds a whole /64.
std::string AddressKey(const asio::ip::address& peer);

// True when peer is on the loopback interface (127.0.0.0/8 or ::1, mapped or not).
bool IsLoopback(const asio::ip::address& peer);

// The compression level of runs for a client at peer whose link has been seen to carry
// linkBytesPerSecond (0 while unknown), for the configured level (0 to 9, or kLevelAuto).
int RunLevelFor(int configured, const asio::ip::address& peer, double linkBytesPerSecond);

}  // namespace korvane::server
