// POSIX side of AppendFile: open(2) with O_CREAT, fstat(2) for the size, pread(2) and
// pwrite(2) at the size read just before each write.
#include "platform/AppendFile.h"
#include "platform/posix/PositionedIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/PosixPath.h"

namespace korvane::platform {

AppendFile::~AppendFile() {
  Close();
}

bool AppendFile::Open(const std::string& path) {
  Close();
  int fd = ::open(ToPosixPath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

void AppendFile::Close() {
  if (!IsOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

int64_t AppendFile::Size() {
  struct stat st {};
  if (!IsOpen() || ::fstat(static_cast<int>(handle_), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

size_t AppendFile::ReadAt(uint64_t offset, void* dest, size_t count) {
  return IsOpen() ? ReadAtOffset(static_cast<int>(handle_), offset, dest, count) : 0;
}

size_t AppendFile::Append(const void* bytes, size_t count) {
  int64_t end = Size();
  if (end < 0) return 0;
  size_t done = 0;
  auto* in = static_cast<const unsigned char*>(bytes);
  while (done < count) {
    ssize_t put = ::pwrite(static_cast<int>(handle_), in + done, count - done,
                           static_cast<off_t>(end + static_cast<int64_t>(done)));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += static_cast<size_t>(put);
  }
  return done;
}

bool AppendFile::CutTo(int64_t size) {
  int64_t now = Size();
  if (now < 0 || size < 0 || size > now) return false;
  return ::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) == 0;
}

}  // namespace korvane::platform
