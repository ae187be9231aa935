// POSIX side of standard output: write(2) on descriptor 1, retried until all is out.
#include "platform/StdOutput.h"

#include <unistd.h>

#include <cerrno>

namespace korvane::platform {

void WriteStdOutput(const char* bytes, size_t count) {
  while (count > 0) {
    ssize_t put = ::write(1, bytes, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    bytes += put;
    count -= static_cast<size_t>(put);
  }
}

}  // namespace korvane::platform
