// Positioned reads on a POSIX descriptor, shared by the file classes of this side.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace korvane::platform {

// Reads up to count bytes at offset of fd; returns how many were read (short at the end
// of the file or on a failure).
inline size_t ReadAtOffset(int fd, uint64_t offset, void* dest, size_t count) {
  size_t done = 0;
  auto* out = static_cast<unsigned char*>(dest);
  while (done < count) {
    ssize_t got = ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

}  // namespace korvane::platform
