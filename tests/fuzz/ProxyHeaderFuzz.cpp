// libFuzzer program for the disc server's reader of a balancer's PROXY header: whatever
// the bytes, a header read whole takes at most its bound and ends with CR LF, a known one
// names an address of the family it says, and more bytes never turn a refusal around.
#include <cstddef>
#include <cstdint>

#include "server/ProxyHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvane::wire::ParseStatus;
  korvane::server::ProxyHeader header;
  const ParseStatus status = korvane::server::ParseProxyHeader(data, size, header);
  if (status == ParseStatus::kComplete) {
    const size_t length = header.length;
    if (length < 8 || length > korvane::server::kMaxProxyHeaderBytes || length > size ||
        data[length - 2] != '\r' || data[length - 1] != '\n') {
      __builtin_trap();
    }
    // The same header followed by anything else reads the same.
    korvane::server::ProxyHeader again;
    if (korvane::server::ParseProxyHeader(data, length, again) != ParseStatus::kComplete ||
        again.length != length || again.known != header.known) {
      __builtin_trap();
    }
  } else if (status == ParseStatus::kBad && size > 1) {
    // A refusal stands whatever comes after the bytes that earned it.
    korvane::server::ProxyHeader longer;
    if (size < korvane::server::kMaxProxyHeaderBytes &&
        korvane::server::ParseProxyHeader(data, size - 1, longer) == ParseStatus::kComplete) {
      __builtin_trap();
    }
  }
  return 0;
}
