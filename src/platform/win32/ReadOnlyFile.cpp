// Win32 side of ReadOnlyFile: CreateFileA without sharing, and ReadFile at an explicit
// offset (OVERLAPPED on a synchronous handle), so no separate seek is needed.
#include "platform/ReadOnlyFile.h"

#include <windows.h>

namespace korvane::platform {

namespace {
HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

ReadOnlyFile::~ReadOnlyFile() { Close(); }

bool ReadOnlyFile::Open(const std::string& path, Sharing sharing) {
  Close();
  DWORD share = sharing == Sharing::kShared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

void ReadOnlyFile::Close() {
  if (!IsOpen()) return;
  ::CloseHandle(AsHandle(handle_));
  handle_ = kNoHandle;
}

size_t ReadOnlyFile::ReadAt(uint64_t offset, void* dest, size_t count) {
  if (!IsOpen()) return 0;
  size_t done = 0;
  auto* out = static_cast<unsigned char*>(dest);
  while (done < count) {
    OVERLAPPED at{};
    uint64_t position = offset + done;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD got = 0;
    if (!::ReadFile(AsHandle(handle_), out + done, static_cast<DWORD>(count - done), &got, &at) ||
        got == 0) {
      break;
    }
    done += got;
  }
  return done;
}

}  // namespace korvane::platform

namespace korvane::platform {

int64_t ReadOnlyFile::Size() const {
  LARGE_INTEGER size{};
  if (!IsOpen() || !::GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &size)) return -1;
  return size.QuadPart;
}

}  // namespace korvane::platform
