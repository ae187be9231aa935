// Win32 side of the file system queries and the working directory (ANSI calls: every
// path is a byte string in the system code page).
#include "platform/FileSystem.h"

#include <windows.h>

namespace korvane::platform {

namespace {
DWORD Attributes(const std::string& path) {
  return ::GetFileAttributesA(path.c_str());
}
}  // namespace

bool FileExists(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateFolder(const std::string& path) {
  return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
}

int64_t FileSize(const std::string& path) {
  // Read from the directory entry rather than by opening the file: the disc image may be
  // held open without sharing, and it must still be measurable.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return -1;
  }
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string GetWorkingDirectory() {
  DWORD needed = ::GetCurrentDirectoryA(0, nullptr);
  if (needed == 0) return std::string();
  std::string path(needed, '\0');
  DWORD length = ::GetCurrentDirectoryA(needed, &path[0]);
  path.resize(length < needed ? length : 0);
  return path;
}

bool SetWorkingDirectory(const std::string& path) {
  return ::SetCurrentDirectoryA(path.c_str()) != 0;
}

}  // namespace korvane::platform

namespace korvane::platform {

std::string FullPath(const std::string& path) {
  char full[MAX_PATH];
  DWORD length = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return "";
  std::string result(full, length);
  if (result.size() > 3 && result.back() == '\\') result.pop_back();  // "C:\" keeps its own
  return result;
}

std::vector<FolderEntry> ListFolder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    DWORD a = found.dwFileAttributes;
    entries.push_back({name, (a & FILE_ATTRIBUTE_DIRECTORY) != 0, (a & FILE_ATTRIBUTE_HIDDEN) != 0,
                       (a & FILE_ATTRIBUTE_SYSTEM) != 0});
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return entries;
}

bool DeleteFileAt(const std::string& path) {
  return ::DeleteFileA(path.c_str()) != 0;
}

}  // namespace korvane::platform
