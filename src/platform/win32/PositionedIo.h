// Positioned reads on a Win32 file handle (OVERLAPPED offsets on a synchronous handle, so
// no separate seek), shared by the file classes of this side.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace korvane::platform {

// The OVERLAPPED that addresses byte position of a synchronous handle.
inline OVERLAPPED At(uint64_t position) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(position);
  at.OffsetHigh = static_cast<DWORD>(position >> 32);
  return at;
}

// Reads up to count bytes at offset of file; returns how many were read (short at the end
// of the file or on a failure).
inline size_t ReadAtOffset(HANDLE file, uint64_t offset, void* dest, size_t count) {
  size_t done = 0;
  auto* out = static_cast<unsigned char*>(dest);
  while (done < count) {
    OVERLAPPED at = At(offset + done);
    DWORD got = 0;
    if (!::ReadFile(file, out + done, static_cast<DWORD>(count - done), &got, &at) || got == 0) {
      break;
    }
    done += got;
  }
  return done;
}

}  // namespace korvane::platform
