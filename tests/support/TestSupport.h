// Helpers every test program uses: a scratch folder with disc images whose every byte is known,
// and a trace output that keeps what was written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/cache/CacheIndex.h"
#include "core/base/Trace.h"
#include "core/base/UserErrors.h"

namespace korvane::test {

// Trace text collected in memory.
class CapturedTrace final : public TraceOutput {
 public:
  void Write(std::string_view text) override { text_.append(text); }
  const std::string& Text() const { return text_; }
  void Clear() { text_.clear(); }

 private:
  std::string text_;
};

// Errors meant for the user, kept in the order shown.
class RecordedErrors final : public UserErrorReporter {
 public:
  void ShowError(const std::string& message) override { shown.push_back(message); }
  std::vector<std::string> shown;
};

// payload as one zlib stream (RFC 1950) at level.
std::string Deflated(const std::string& payload, int level = 1);

// The byte at position offset of sector lsn in a generated image: distinct for nearby
// sectors and positions, so a sector read from the wrong place never matches.
uint8_t PatternByte(uint64_t lsn, size_t offset);

// The sectorSize bytes of sector lsn in a generated image; a 2352-byte sector starts with
// the CD sync pattern.
std::vector<uint8_t> PatternSector(uint64_t lsn, size_t sectorSize);

// A folder of its own below the system's temporary folder, removed with everything in it.
class ScratchFolder final {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The native path of name inside the folder.
  std::string PathOf(const std::string& name) const;
  const std::filesystem::path& Path() const { return path_; }

  // Writes an image of sectors generated sectors of sectorSize bytes; returns its path.
  std::string MakeImage(const std::string& name, uint32_t sectors, size_t sectorSize);

  // Writes bytes into a new file; returns its path.
  std::string MakeFile(const std::string& name, const std::vector<uint8_t>& bytes);
  std::string Write(const std::string& name, std::string_view bytes);

 private:
  std::filesystem::path path_;
};

// Reads a .map text as a reader that follows the format's definition to the letter does:
// a field ends at "/" or CR and must be a signed 32-bit decimal, one character (the LF) is
// dropped after field 3 before the entry counts, and what the text ends in the middle of is
// dropped. False where such a reader fails.
bool StrictMapRead(const std::string& text, std::vector<CacheEntry>& out);

// Writes bytes at offset of an existing file, growing it (sparsely) as needed.
void WriteAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);

}  // namespace korvane::test
