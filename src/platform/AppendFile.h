// A file that grows: opened for reading and writing (created when missing) and written at
// its end. The block cache writes its .Block and .map files this way; the one cut it ever
// makes is a .map's torn last line.
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

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
};

}  // namespace korvane::platform
