// Win32 side of whole-file reads and writes, with GetLastError's codes.
#include "platform/WholeFile.h"

#include <windows.h>

namespace korvane::platform {

namespace {

// 0 when the file at path is missing or may be created anew over, else the code that
// creating it anew (CREATE_ALWAYS, no sharing) would fail with: access denied for a folder,
// a read-only, hidden or system file, a sharing violation for a file open elsewhere.
int CheckRewritable(const std::string& path) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    int error = static_cast<int>(::GetLastError());
    // A missing folder is reported when the temporary file cannot be made in it.
    return error == kErrorFileNotFound || error == kErrorPathNotFound ? 0 : error;
  }
  ::CloseHandle(file);
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
    return kErrorAccessDenied;
  }
  return 0;
}

// Creates or truncates the file, writes bytes and flushes them to the disk; a file that this
// could not fill is deleted again. Returns 0 or the error code.
int WriteFlushed(const std::string& path, const std::string& bytes) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  DWORD put = 0;
  int error = 0;
  if (!bytes.empty() &&
      (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) ||
       put != bytes.size())) {
    error = static_cast<int>(::GetLastError());
    if (error == 0) error = kErrorDiskFull;  // a short write: the disk is full
  }
  if (error == 0 && !::FlushFileBuffers(file)) error = static_cast<int>(::GetLastError());
  if (!::CloseHandle(file) && error == 0) error = static_cast<int>(::GetLastError());
  if (error != 0) ::DeleteFileA(path.c_str());
  return error;
}

}  // namespace

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

int ReplaceFileContents(const std::string& path, const std::string& bytes) {
  if (int error = CheckRewritable(path)) return error;
  std::string temporary = TemporaryPathOf(path);
  if (int error = WriteFlushed(temporary, bytes)) return error;
  if (::MoveFileExA(temporary.c_str(), path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  int error = static_cast<int>(::GetLastError());
  ::DeleteFileA(temporary.c_str());
  return error;
}

}  // namespace korvane::platform
