// A file that grows: opened for reading and writing (created when missing) and written at
// its end. The block cache writes its .Block and .map files this way; the one cut it ever
// makes is a .map's torn last line.
//
// Several programs may append to one file: each takes the file's append lock first, and
// takes the end to write at from the file itself under it. The lock is a byte range far
// past any data (1 TiB), so it never stops a reader, and it is one that every side sees:
// an open-file-description record lock on Linux, LockFileEx on Windows (which Wine keeps
// as a record lock on the Linux file, so a plugin under Wine and a native program exclude
// each other too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane::platform {

class AppendFile final {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens path for reading and appending, creating an empty file when none exists; closes
  // any file held before. False when it can be neither opened nor created.
  bool Open(const std::string& path);

  void Close();
  bool IsOpen() const { return handle_ != kNoHandle; }

  // Current size in bytes, or -1 when it cannot be read.
  int64_t Size();

  // Reads up to count bytes at offset; returns how many were read.
  size_t ReadAt(uint64_t offset, void* dest, size_t count);

  // Writes the bytes at the end of the file; returns how many were written.
  size_t Append(const void* bytes, size_t count);

  // Shortens the file to size bytes (never lengthens it); false when it cannot.
  bool CutTo(int64_t size);

  // Takes the append lock, waiting up to waitMs for another holder; false when it could
  // not be had. A file system without record locks counts as locked. Held until Unlock or
  // Close.
  bool Lock(int waitMs);
  void Unlock();

  // Why the last Open, Append, CutTo or Lock that failed did, as the system words it.
  const std::string& LastError() const { return error_; }

  // Where the append lock lies.
  static constexpr uint64_t kLockOffset = uint64_t{1} << 40;

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
  bool locked_ = false;
  std::string error_;
};

}  // namespace korvane::platform
