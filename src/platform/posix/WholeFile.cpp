// POSIX side of whole-file reads and writes; errno is reported as the Windows error code
// a user of the product would see.
#include "platform/WholeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/PosixPath.h"

namespace korvane::platform {

namespace {

int WindowsCode(int error) {
  switch (error) {
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kErrorAccessDenied;
    case ENOSPC:
      return kErrorDiskFull;
    default:
      return 31;
  }
}

// 0 when the file at path is missing or may be written, else the code that creating it
// anew would fail with (a folder in its place, a file the user may not write).
int CheckRewritable(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    // A missing folder is reported when the temporary file cannot be made in it.
    return errno == ENOENT || errno == ENOTDIR ? 0 : WindowsCode(errno);
  }
  ::close(fd);
  return 0;
}

// Creates or truncates the file, writes bytes and flushes them to the disk; a file that this
// could not fill is deleted again. Returns 0 or the error code.
int WriteFlushed(const std::string& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return WindowsCode(errno);
  int error = 0;
  for (size_t done = 0; done < bytes.size() && error == 0;) {
    ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put <= 0) error = WindowsCode(put < 0 ? errno : ENOSPC);
    if (put > 0) done += static_cast<size_t>(put);
  }
  if (error == 0 && ::fsync(fd) != 0) error = WindowsCode(errno);
  if (::close(fd) != 0 && error == 0) error = WindowsCode(errno);
  if (error != 0) ::unlink(path.c_str());
  return error;
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

int ReplaceFileContents(const std::string& path, const std::string& bytes) {
  std::string target = ToPosixPath(path);
  if (int error = CheckRewritable(target)) return error;
  std::string temporary = ToPosixPath(TemporaryPathOf(path));
  if (int error = WriteFlushed(temporary, bytes)) return error;
  if (::rename(temporary.c_str(), target.c_str()) == 0) return 0;
  int error = WindowsCode(errno);
  ::unlink(temporary.c_str());
  return error;
}

}  // namespace korvane::platform
