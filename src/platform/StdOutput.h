// The process's standard output, written unbuffered so that each trace line reaches the
// host's console at once and in order with the host's own output.
#pragma once

#include <cstddef>

namespace korvane::platform {

// Writes the bytes to standard output; does nothing when the process has none.
void WriteStdOutput(const char* bytes, size_t count);

}  // namespace korvane::platform
