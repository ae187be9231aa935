// A file opened for reading only, as an existing file, addressed by 64-bit byte offsets.
// The disc image is held open without sharing between CDVDopen and CDVDclose, so on
// Windows nobody can write, rename or delete it while it is held; block cache reads share
// the file with writers, since the cache grows while it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane::platform {

class ReadOnlyFile final {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  enum class Sharing { kExclusive, kShared };

  // Opens an existing file for reading, with or without sharing it; closes any file held
  // before. Returns false (and holds nothing) when the file cannot be opened.
  bool Open(const std::string& path, Sharing sharing = Sharing::kExclusive);

#ifndef _WIN32
  // Takes over fd, a descriptor open for reading, closing any file held before.
  void Adopt(int fd);
#endif

  // Closes the file if one is open.
  void Close();

  bool IsOpen() const { return handle_ != kNoHandle; }

  // Size of the open file in bytes, or -1.
  int64_t Size() const;

  // What tells this file from another that was put at its path later (its volume and file
  // number), or "" when it cannot be read.
  std::string Identity() const;

  // Reads up to count bytes at offset into dest; returns how many were read (0 on failure).
  // A short count means the file ended or the read failed.
  size_t ReadAt(uint64_t offset, void* dest, size_t count);

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
};

}  // namespace korvane::platform
