// The PROXY protocol header (version 1, the text form) that a TCP balancer in front of the
// server sends first on each connection it opens, so that the server learns the client's
// own address rather than the balancer's:
//
//   "PROXY TCP4 " src " " dst " " srcport " " dstport "\r\n"   IPv4 addresses
//   "PROXY TCP6 " src " " dst " " srcport " " dstport "\r\n"   IPv6 addresses
//   "PROXY UNKNOWN" anything "\r\n"                           the balancer's own connection
//                                                              (a health check): no client
//
// Fields are separated by single spaces; ports are decimal without leading zeros (0 to
// 65535). The whole header is at most 107 bytes; the client's own bytes follow it at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include <asio/ip/address.hpp>

#include "protocol/Framing.h"

namespace korvane::server {

inline constexpr size_t kMaxProxyHeaderBytes = 107;

struct ProxyHeader {
  size_t length = 0;   // bytes the header takes, with its CR LF
  bool known = false;  // false for UNKNOWN: keep the connection's own address
  asio::ip::address source;
  uint16_t sourcePort = 0;
};

// Parses the header at the front of data[0, size): kComplete with out filled, kNeedMore
// while the bytes so far may still become one, kBad when they cannot.
wire::ParseStatus ParseProxyHeader(const uint8_t* data, size_t size, ProxyHeader& out);

}  // namespace korvane::server
