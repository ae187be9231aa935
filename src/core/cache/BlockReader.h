// Reads of sectors from a .Block file, served from a chunk of the file read ahead in one
// operation (open, read, close): a replay touches the file once per chunk, not once per
// sector. The chunk grows from 64 KiB up to 4 MiB while reads run on sequentially, and
// falls back to 64 KiB on a jump. Only bytes the file really held are ever served; a read
// that reaches past them opens the file again, since the file may have grown meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korvane {

class BlockReader final {
 public:
  // Copies up to count bytes at offset of the file at path into dest; returns how many
  // the file held there (0 when it cannot be opened or ends before offset).
  size_t Read(const std::string& path, int64_t offset, uint8_t* dest, size_t count);

  // Forgets the chunk, so that the next read goes to the file.
  void Invalidate() { length_ = 0; }

  // Called after bytes were appended to the file at path at offset: when the file turns
  // out to have been shorter than the chunk (it was replaced), the chunk is stale.
  void NoteAppend(const std::string& path, int64_t offset);

  // Number of times the file was opened and read, for inspection.
  uint64_t FileReads() const { return fileReads_; }

  // The identity (platform::ReadOnlyFile::Identity) of the file the chunk was read from:
  // the bytes served are that file's, even when another has taken its path since.
  const std::string& Identity() const { return identity_; }

 private:
  static constexpr size_t kMinChunk = 64 * 1024;
  static constexpr size_t kMaxChunk = 4 * 1024 * 1024;

  bool Holds(const std::string& path, int64_t offset, size_t count) const;
  void Refill(const std::string& path, int64_t offset, size_t count);

  std::unique_ptr<uint8_t[]> chunk_;
  std::string path_;
  int64_t start_ = 0;
  size_t length_ = 0;  // bytes of the chunk that the file supplied
  size_t chunkSize_ = kMinChunk;
  uint64_t fileReads_ = 0;
  std::string identity_;
};

}  // namespace korvane
