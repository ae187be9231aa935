// POSIX side of AppendFile: open(2) with O_CREAT, fstat(2) for the size, pread(2) and
// pwrite(2) at the size read just before each write, and an fcntl(2) record lock for
// appends (open file description locks where the system has them, so that two threads of
// one program exclude each other, and closing another descriptor of the file keeps it).
#include "platform/AppendFile.h"
#include "platform/posix/PositionedIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/PosixPath.h"

namespace korvane::platform {

namespace {
#ifdef F_OFD_SETLK
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLock = F_SETLK;
#endif

// Sets (F_WRLCK) or clears (F_UNLCK) the append lock's byte without waiting.
int SetAppendLock(int fd, short type) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(AppendFile::kLockOffset);
  range.l_len = 1;
  return ::fcntl(fd, kSetLock, &range);
}
}  // namespace

AppendFile::~AppendFile() {
  Close();
}

bool AppendFile::Open(const std::string& path) {
  Close();
  int fd = ::open(ToPosixPath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  handle_ = fd;
  return true;
}

void AppendFile::Close() {
  if (!IsOpen()) return;
  Unlock();
  ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

bool AppendFile::Lock(int waitMs) {
  if (!IsOpen()) return false;
  const int fd = static_cast<int>(handle_);
  // Polled rather than waited for in the kernel: a holder that was stopped must not hold
  // every other program's appends for ever.
  for (int waited = 0;; ++waited) {
    if (SetAppendLock(fd, F_WRLCK) == 0) return locked_ = true;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) return true;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) break;
    if (waited >= waitMs) {
      error_ = "another program holds the cache's lock";
      return false;
    }
    timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
  }
  error_ = std::strerror(errno);
  return false;
}

void AppendFile::Unlock() {
  if (!locked_) return;
  SetAppendLock(static_cast<int>(handle_), F_UNLCK);
  locked_ = false;
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
    if (put <= 0) {
      error_ = put < 0 ? std::strerror(errno) : "nothing could be written";
      break;
    }
    done += static_cast<size_t>(put);
  }
  return done;
}

bool AppendFile::CutTo(int64_t size) {
  int64_t now = Size();
  if (now < 0 || size < 0 || size > now) return false;
  if (::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) == 0) return true;
  error_ = std::strerror(errno);
  return false;
}

}  // namespace korvane::platform
