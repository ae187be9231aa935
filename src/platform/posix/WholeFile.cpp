// POSIX side of whole-file reads and writes; errno is reported as the Windows error code
// a user of the product would see.
#include "platform/WholeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/PosixPath.h"

namespace korvane::platform {

namespace {
int WindowsCode(int error) {
  switch (error) {
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return 3;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kErrorAccessDenied;
    case ENOSPC:
      return 112;
    default:
      return 31;
  }
}
}  // namespace

int ReadFileOpenedForUpdate(const std::string& path, std::string& bytes) {
  bytes.clear();
  int fd = ::open(ToPosixPath(path).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return WindowsCode(errno);
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(fd, chunk, sizeof chunk)) > 0) bytes.append(chunk, static_cast<size_t>(got));
  int error = got < 0 ? WindowsCode(errno) : 0;
  ::close(fd);
  return error;
}

int WriteNewFile(const std::string& path, const std::string& bytes) {
  int fd = ::open(ToPosixPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return WindowsCode(errno);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put <= 0) {
      int error = WindowsCode(put < 0 ? errno : ENOSPC);
      ::close(fd);
      return error;
    }
    done += static_cast<size_t>(put);
  }
  return ::close(fd) == 0 ? 0 : WindowsCode(errno);
}

}  // namespace korvane::platform
