// POSIX side of ReadOnlyFile: open(2) and pread(2). POSIX has no exclusive open, so the
// file is merely held; the native build serves tests and benchmarks only.
#include "platform/ReadOnlyFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/PosixPath.h"

namespace korvane::platform {

ReadOnlyFile::~ReadOnlyFile() { Close(); }

bool ReadOnlyFile::Open(const std::string& path, Sharing sharing) {
  (void)sharing;
  Close();
  int fd = ::open(ToPosixPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

void ReadOnlyFile::Close() {
  if (!IsOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

size_t ReadOnlyFile::ReadAt(uint64_t offset, void* dest, size_t count) {
  if (!IsOpen()) return 0;
  size_t done = 0;
  auto* out = static_cast<unsigned char*>(dest);
  while (done < count) {
    ssize_t got = ::pread(static_cast<int>(handle_), out + done, count - done,
                          static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

}  // namespace korvane::platform

#include <sys/stat.h>

namespace korvane::platform {

int64_t ReadOnlyFile::Size() const {
  struct stat st {};
  if (!IsOpen() || ::fstat(static_cast<int>(handle_), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace korvane::platform
