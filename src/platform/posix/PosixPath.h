// Paths on the POSIX side: the plugin writes "\" between folders, as on Windows.
#pragma once

#include <string>

namespace korvane::platform {

// The path with every "\" turned into "/".
inline std::string ToPosixPath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace korvane::platform
