// Win32 side of AppendFile: CreateFileA with OPEN_ALWAYS, shared for reading and writing
// so the cache can be read and listed while it grows; writes at the size read just before.
#include "platform/AppendFile.h"
#include "platform/win32/PositionedIo.h"

#include <windows.h>

namespace korvane::platform {

namespace {
HANDLE AsHandle(intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
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
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

void AppendFile::Close() {
  if (!IsOpen()) return;
  ::CloseHandle(AsHandle(handle_));
  handle_ = kNoHandle;
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
  return ::SetFilePointerEx(AsHandle(handle_), end, nullptr, FILE_BEGIN) &&
         ::SetEndOfFile(AsHandle(handle_));
}

}  // namespace korvane::platform
