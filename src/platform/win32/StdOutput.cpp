// Win32 side of standard output: WriteFile on the process's standard output handle,
// which bypasses any C runtime buffering of the host's.
#include "platform/StdOutput.h"

#include <windows.h>

namespace korvane::platform {

void WriteStdOutput(const char* bytes, size_t count) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  while (count > 0) {
    DWORD put = 0;
    if (!::WriteFile(out, bytes, static_cast<DWORD>(count), &put, nullptr) || put == 0) return;
    bytes += put;
    count -= put;
  }
}

}  // namespace korvane::platform
