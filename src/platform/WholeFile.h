// Whole small files read and written in one operation, with the Windows error code of a
// failure (0 on success), as the settings files need: they are opened for reading and
// writing even when only read, so a file the user may not write fails to load. A file is
// rewritten through a temporary file beside it that then takes its place, so a crash, a kill
// or a full disk in the middle leaves the old contents whole.
#pragma once

#include <string>

namespace korvane::platform {

inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorPathNotFound = 3;
inline constexpr int kErrorAccessDenied = 5;
inline constexpr int kErrorDiskFull = 112;

// Opens an existing file for reading and writing and reads all of it into bytes; returns 0
// or the Windows error code of the failure.
int ReadFileOpenedForUpdate(const std::string& path, std::string& bytes);

// The temporary file that ReplaceFileContents writes before it takes path's place.
inline std::string TemporaryPathOf(const std::string& path) {
  return path + ".tmp";
}

// Makes bytes the whole contents of the file at path, which may be missing: refuses what
// creating the file anew would refuse (with the same code), writes and flushes the
// temporary file, then puts it in the file's place. Returns 0 or the Windows error code; on
// failure the file is as it was and no temporary file of this call is left.
int ReplaceFileContents(const std::string& path, const std::string& bytes);

}  // namespace korvane::platform
