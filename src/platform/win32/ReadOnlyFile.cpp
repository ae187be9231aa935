// Win32 side of ReadOnlyFile: CreateFileA without sharing, and ReadFile at an explicit
// offset (OVERLAPPED on a synchronous handle), so no separate seek is needed.
#include "platform/ReadOnlyFile.h"
#include "platform/win32/PositionedIo.h"

#include <windows.h>

namespace korvane::platform {

namespace {
HANDLE AsHandle(intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}
}  // namespace

ReadOnlyFile::~ReadOnlyFile() {
  Close();
}

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
  return IsOpen() ? ReadAtOffset(AsHandle(handle_), offset, dest, count) : 0;
}

}  // namespace korvane::platform

namespace korvane::platform {

int64_t ReadOnlyFile::Size() const {
  LARGE_INTEGER size{};
  if (!IsOpen() || !::GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &size)) return -1;
  return size.QuadPart;
}

std::string ReadOnlyFile::Identity() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!IsOpen() || !::GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), &info)) {
    return "";
  }
  const uint64_t number = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(number);
}

}  // namespace korvane::platform
