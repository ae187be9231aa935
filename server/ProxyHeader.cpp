// Parsing of the PROXY protocol's text header (layout in ProxyHeader.h).
#include "server/ProxyHeader.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::server {
namespace {

constexpr std::string_view kSignature = "PROXY ";

std::vector<std::string_view> SplitBySpaces(std::string_view text) {
  std::vector<std::string_view> fields;
  for (size_t space = text.find(' '); space != std::string_view::npos; space = text.find(' ')) {
    fields.push_back(text.substr(0, space));
    text.remove_prefix(space + 1);
  }
  fields.push_back(text);
  return fields;
}

bool ParsePort(std::string_view text, uint16_t& port) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  port = static_cast<uint16_t>(value);
  return value <= 65535;
}

// The address of family ("TCP4" or "TCP6") written in text; false when it is none.
bool ParseAddress(std::string_view family, std::string_view text, asio::ip::address& address) {
  std::error_code failure;
  address = asio::ip::make_address(std::string(text), failure);
  if (failure) return false;
  return family == "TCP4" ? address.is_v4() : address.is_v6();
}

}  // namespace

wire::ParseStatus ParseProxyHeader(const uint8_t* data, size_t size, ProxyHeader& out) {
  out = ProxyHeader{};
  const std::string_view text(reinterpret_cast<const char*>(data),
                              std::min(size, kMaxProxyHeaderBytes));
  const size_t compared = std::min(text.size(), kSignature.size());
  if (text.substr(0, compared) != kSignature.substr(0, compared)) return wire::ParseStatus::kBad;
  const size_t end = text.find("\r\n");
  if (end == std::string_view::npos) {
    return size < kMaxProxyHeaderBytes ? wire::ParseStatus::kNeedMore : wire::ParseStatus::kBad;
  }
  out.length = end + 2;
  const std::vector<std::string_view> fields =
      SplitBySpaces(text.substr(kSignature.size(), end - kSignature.size()));
  if (fields[0] == "UNKNOWN") return wire::ParseStatus::kComplete;
  asio::ip::address destination;
  uint16_t destinationPort = 0;
  if (fields.size() != 5 || (fields[0] != "TCP4" && fields[0] != "TCP6") ||
      !ParseAddress(fields[0], fields[1], out.source) ||
      !ParseAddress(fields[0], fields[2], destination) || !ParsePort(fields[3], out.sourcePort) ||
      !ParsePort(fields[4], destinationPort)) {
    return wire::ParseStatus::kBad;
  }
  out.known = true;
  return wire::ParseStatus::kComplete;
}

}  // namespace korvane::server
