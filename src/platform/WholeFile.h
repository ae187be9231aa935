// Whole small files read and written in one operation, with the Windows error code of a
// failure (0 on success), as the settings files need: they are opened for reading and
// writing even when only read, so a file the user may not write fails to load.
#pragma once

#include <string>

namespace korvane::platform {

inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorAccessDenied = 5;

// Opens an existing file for reading and writing and reads all of it into bytes; returns 0
// or the Windows error code of the failure.
int ReadFileOpenedForUpdate(const std::string& path, std::string& bytes);

// Creates the file, or truncates it, and writes bytes; returns 0 or the Windows error code.
int WriteNewFile(const std::string& path, const std::string& bytes);

}  // namespace korvane::platform
