// POSIX side of the file system queries and the working directory.
#include "platform/FileSystem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "platform/posix/PosixPath.h"

namespace korvane::platform {

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(ToPosixPath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat st {};
  return ::stat(ToPosixPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolder(const std::string& path) {
  return ::mkdir(ToPosixPath(path).c_str(), 0777) == 0;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(ToPosixPath(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::string GetWorkingDirectory() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

bool SetWorkingDirectory(const std::string& path) {
  return ::chdir(ToPosixPath(path).c_str()) == 0;
}

}  // namespace korvane::platform

#include <dirent.h>

#include <filesystem>

namespace korvane::platform {

std::string FullPath(const std::string& path) {
  std::error_code error;
  auto full = std::filesystem::absolute(ToPosixPath(path), error).lexically_normal().string();
  if (error) return "";
  if (full.size() > 1 && full.back() == '/') full.pop_back();
  return full;
}

std::vector<FolderEntry> ListFolder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  DIR* dir = ::opendir(ToPosixPath(folder).c_str());
  if (!dir) return entries;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back({name, FolderExists(folder + "\\" + name), name[0] == '.', false});
  }
  ::closedir(dir);
  return entries;
}

bool DeleteFileAt(const std::string& path) {
  return ::unlink(ToPosixPath(path).c_str()) == 0;
}

}  // namespace korvane::platform
