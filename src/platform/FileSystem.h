// Whole-file and folder queries, and the process's working directory. Paths are byte
// strings in the system code page; "\" separates folders on every side (the POSIX side
// reads it as "/"), so the plugin builds its paths one way everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::platform {

// True when path names an existing file (not a folder).
bool FileExists(const std::string& path);

// True when path names an existing folder.
bool FolderExists(const std::string& path);

// Creates one folder level; true when it was created.
bool CreateFolder(const std::string& path);

// Size of the file in bytes, or -1 when it cannot be opened.
int64_t FileSize(const std::string& path);

// The full path of path, resolved against the working directory; "" when it cannot be.
std::string FullPath(const std::string& path);

// One entry of a folder listing.
struct FolderEntry {
  std::string name;  // without the folder
  bool folder;
  bool hidden;  // on POSIX: a name that starts with "."
  bool system;
};

// The entries of folder (without "." and ".."), in no particular order; empty when it
// cannot be read.
std::vector<FolderEntry> ListFolder(const std::string& folder);

// Deletes the file; true when it was deleted.
bool DeleteFileAt(const std::string& path);

// The process's current working directory, or an empty string when it cannot be read.
std::string GetWorkingDirectory();

// Makes path the current working directory; true on success.
bool SetWorkingDirectory(const std::string& path);

}  // namespace korvane::platform
