// Win32 side of AppendFile: CreateFileA with OPEN_ALWAYS, shared for reading and writing
// so the cache can be read and listed while it grows; writes at the size read just before,
// under LockFileEx for appends.
#include "platform/AppendFile.h"
#include "platform/win32/PositionedIo.h"

#include <windows.h>

#include <string>

namespace korvane::platform {

namespace {
HANDLE AsHandle(intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

// The system's words for error code, without the line end it puts after them.
std::string SystemText(DWORD code) {
  char text[256] = {};
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
  std::string words(text, n);
  return words.empty() ? "error " + std::to_string(code) : words;
}
}  // namespace

AppendFile::~AppendFile() {
  Close();
}

bool AppendFile::Open(const std::string& path) {
  Close();
  HANDLE h =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error_ = SystemText(::GetLastError());
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

void AppendFile::Close() {
  if (!IsOpen()) return;
  Unlock();
  ::CloseHandle(AsHandle(handle_));
  handle_ = kNoHandle;
}

bool AppendFile::Lock(int waitMs) {
  if (!IsOpen()) return false;
  // Polled: Wine answers a lock that a native program holds at once, whatever the flags.
  for (int waited = 0;; ++waited) {
    OVERLAPPED at = At(kLockOffset);
    if (::LockFileEx(AsHandle(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                     0, &at)) {
      return locked_ = true;
    }
    const DWORD code = ::GetLastError();
    if (code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION) return true;
    if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) {
      error_ = SystemText(code);
      return false;
    }
    if (waited >= waitMs) {
      error_ = "another program holds the cache's lock";
      return false;
    }
    ::Sleep(1);
  }
}

void AppendFile::Unlock() {
  if (!locked_) return;
  OVERLAPPED at = At(kLockOffset);
  ::UnlockFileEx(AsHandle(handle_), 0, 1, 0, &at);
  locked_ = false;
}

int64_t AppendFile::Size() {
  LARGE_INTEGER size{};
  if (!IsOpen() || !::GetFileSizeEx(AsHandle(handle_), &size)) return -1;
  return size.QuadPart;
}

size_t AppendFile::ReadAt(uint64_t offset, void* dest, size_t count) {
  return IsOpen() ? ReadAtOffset(AsHandle(handle_), offset, dest, count) : 0;
}

size_t AppendFile::Append(const void* bytes, size_t count) {
  int64_t end = Size();
  if (end < 0) return 0;
  size_t done = 0;
  auto* in = static_cast<const unsigned char*>(bytes);
  while (done < count) {
    OVERLAPPED at = At(static_cast<uint64_t>(end) + done);
    DWORD put = 0;
    if (!::WriteFile(AsHandle(handle_), in + done, static_cast<DWORD>(count - done), &put, &at) ||
        put == 0) {
      error_ = put == 0 && ::GetLastError() == ERROR_SUCCESS ? "nothing could be written"
                                                             : SystemText(::GetLastError());
      break;
    }
    done += put;
  }
  return done;
}

bool AppendFile::CutTo(int64_t size) {
  int64_t now = Size();
  if (now < 0 || size < 0 || size > now) return false;
  // Every read and write names its offset, so moving the file pointer here is harmless.
  LARGE_INTEGER end{};
  end.QuadPart = size;
  if (::SetFilePointerEx(AsHandle(handle_), end, nullptr, FILE_BEGIN) &&
      ::SetEndOfFile(AsHandle(handle_))) {
    return true;
  }
  error_ = SystemText(::GetLastError());
  return false;
}

}  // namespace korvane::platform
