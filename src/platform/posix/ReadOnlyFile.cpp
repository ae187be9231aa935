// POSIX side of ReadOnlyFile: open(2) and pread(2). POSIX has no exclusive open, so the
// file is merely held; the native build serves tests and benchmarks only.
#include "platform/ReadOnlyFile.h"
#include "platform/posix/PositionedIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/PosixPath.h"

namespace korvane::platform {

ReadOnlyFile::~ReadOnlyFile() {
  Close();
}

bool ReadOnlyFile::Open(const std::string& path, Sharing sharing) {
  (void)sharing;
  Close();
  int fd = ::open(ToPosixPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

void ReadOnlyFile::Adopt(int fd) {
  Close();
  handle_ = fd;
}

void ReadOnlyFile::Close() {
  if (!IsOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

size_t ReadOnlyFile::ReadAt(uint64_t offset, void* dest, size_t count) {
  return IsOpen() ? ReadAtOffset(static_cast<int>(handle_), offset, dest, count) : 0;
}

}  // namespace korvane::platform

#include <sys/stat.h>

namespace korvane::platform {

int64_t ReadOnlyFile::Size() const {
  struct stat st {};
  if (!IsOpen() || ::fstat(static_cast<int>(handle_), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::string ReadOnlyFile::Identity() const {
  struct stat st {};
  if (!IsOpen() || ::fstat(static_cast<int>(handle_), &st) != 0) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

}  // namespace korvane::platform
