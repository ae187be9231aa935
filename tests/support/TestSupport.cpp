// Test images and scratch folders.
#include "TestSupport.h"

#include <zlib.h>

#include <cctype>
#include <cstdint>

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>

namespace korvane::test {

std::string Deflated(const std::string& payload, int level) {
  uLongf size = compressBound(static_cast<uLong>(payload.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
            reinterpret_cast<const Bytef*>(payload.data()), payload.size(), level);
  out.resize(size);
  return out;
}

uint8_t PatternByte(uint64_t lsn, size_t offset) {
  return static_cast<uint8_t>((lsn * 131u) ^ (lsn >> 8) ^ (lsn >> 16) ^ (offset * 7u) ^
                              (offset >> 8));
}

std::vector<uint8_t> PatternSector(uint64_t lsn, size_t sectorSize) {
  std::vector<uint8_t> sector(sectorSize);
  for (size_t i = 0; i < sectorSize; ++i) sector[i] = PatternByte(lsn, i);
  if (sectorSize == 2352) {
    static const uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::copy(kSync, kSync + 12, sector.begin());
  }
  return sector;
}

ScratchFolder::ScratchFolder() {
  static std::atomic<unsigned> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = std::filesystem::temp_directory_path() /
          ("korvane-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchFolder::PathOf(const std::string& name) const {
  return (path_ / name).string();
}

std::string ScratchFolder::MakeImage(const std::string& name, uint32_t sectors, size_t sectorSize) {
  std::string path = PathOf(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (uint32_t lsn = 0; lsn < sectors; ++lsn) {
    std::vector<uint8_t> sector = PatternSector(lsn, sectorSize);
    out.write(reinterpret_cast<const char*>(sector.data()),
              static_cast<std::streamsize>(sector.size()));
  }
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

std::string ScratchFolder::MakeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  return Write(name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string ScratchFolder::Write(const std::string& name, std::string_view bytes) {
  std::string path = PathOf(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

void WriteAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write at offset in " + path);
}

bool StrictMapRead(const std::string& text, std::vector<CacheEntry>& out) {
  std::string acc;
  int64_t fields[3] = {};
  int field = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '/' && c != '\r') {
      acc += c;
      continue;
    }
    bool number = !acc.empty() && acc.size() <= 11;
    for (size_t k = 0; k < acc.size() && number; ++k) {
      number = std::isdigit(static_cast<unsigned char>(acc[k])) || (k == 0 && acc[k] == '-');
    }
    if (!number || acc == "-") return false;
    int64_t value = std::stoll(acc);
    if (value < INT32_MIN || value > INT32_MAX) return false;
    fields[field++] = value;
    acc.clear();
    if (field < 3) continue;
    field = 0;
    if (++i >= text.size()) break;  // the text ends before the line feed: no entry
    out.push_back({static_cast<int32_t>(fields[1]), static_cast<uint32_t>(fields[0]), fields[2]});
  }
  return true;
}

}  // namespace korvane::test
