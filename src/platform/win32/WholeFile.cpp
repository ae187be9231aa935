// Win32 side of whole-file reads and writes, with GetLastError's codes.
#include "platform/WholeFile.h"

#include <windows.h>

namespace korvane::platform {

int ReadFileOpenedForUpdate(const std::string& path, std::string& bytes) {
  bytes.clear();
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  char chunk[4096];
  DWORD got = 0;
  int error = 0;
  for (;;) {
    if (!::ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
      error = static_cast<int>(::GetLastError());
      break;
    }
    if (got == 0) break;
    bytes.append(chunk, got);
  }
  ::CloseHandle(file);
  return error;
}

int WriteNewFile(const std::string& path, const std::string& bytes) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  DWORD put = 0;
  int error = 0;
  if (!bytes.empty() &&
      (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) ||
       put != bytes.size())) {
    error = static_cast<int>(::GetLastError());
    if (error == 0) error = 112;  // short write: the disk is full
  }
  if (!::CloseHandle(file) && error == 0) error = static_cast<int>(::GetLastError());
  return error;
}

}  // namespace korvane::platform
