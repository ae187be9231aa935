// What the server makes of a client's address: the key its connections are counted and
// throttled under, whether it is on this machine, and the compression level its runs get.
#pragma once

#include <string>

#include <asio/ip/address.hpp>

namespace korvane::server {

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
