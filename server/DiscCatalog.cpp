// Folder scanning and sector reads of the served disc images.
#include "server/DiscCatalog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "server/WireProtocol.h"

namespace korvane::server {
namespace {

namespace fs = std::filesystem;

bool HasImageExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string extension = name.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == "iso" || extension == "bin" || extension == "img";
}

// Opens path and probes it; nullptr with the reason in why on failure.
std::unique_ptr<DiscImage> OpenImage(const fs::path& path, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  uint8_t probe[11] = {};
  // A file shorter than the probe reads as zeros past its end, which means 2048 bytes.
  if (::pread(fd, probe, sizeof probe, 0) < 0) {
    why = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<DiscImage>(path.filename().string(), fd,
                                     static_cast<uint64_t>(info.st_size),
                                     SectorSizeFromProbe(probe));
}

}  // namespace

DiscImage::DiscImage(std::string name, int fd, uint64_t size, int32_t sectorSize)
    : name_(std::move(name)), fd_(fd), size_(size), sectorSize_(sectorSize) {}

DiscImage::~DiscImage() {
  ::close(fd_);
}

uint64_t DiscImage::SectorCount(const SectorGeometry& geometry) const {
  const uint64_t firstEnd = geometry.skip + geometry.count;
  if (size_ < firstEnd || geometry.stride == 0) return 0;
  return (size_ - firstEnd) / geometry.stride + 1;
}

bool DiscImage::ReadAt(uint64_t offset, uint8_t* into, size_t size) const {
  while (size > 0) {
    const ssize_t got = ::pread(fd_, into, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    offset += static_cast<uint64_t>(got);
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool DiscImage::ReadSectors(const SectorGeometry& geometry, uint32_t lsn, uint32_t count,
                            std::vector<uint8_t>& out) const {
  if (count == 0) {
    out.clear();
    return true;
  }
  // One read spans every wanted sector; the bytes between them are squeezed out after.
  const uint64_t start = uint64_t{lsn} * geometry.stride + geometry.skip;
  const size_t span = static_cast<size_t>((count - 1) * geometry.stride) + geometry.count;
  out.resize(span);
  if (!ReadAt(start, out.data(), span)) return false;
  if (geometry.stride != geometry.count) {
    // Each sector moves toward the front, never over a sector not yet moved.
    for (uint32_t i = 1; i < count; ++i) {
      std::memmove(out.data() + i * geometry.count, out.data() + i * geometry.stride,
                   geometry.count);
    }
  }
  out.resize(size_t{count} * geometry.count);
  return true;
}

bool DiscCatalog::Scan(const std::string& folder, DiscCatalog& discs,
                       std::vector<std::string>& skipped, std::string& error) {
  std::error_code failure;
  fs::directory_iterator it(folder, failure);
  if (failure) {
    error = "cannot list " + folder + ": " + failure.message();
    return false;
  }
  std::vector<fs::path> paths;
  for (; !failure && it != fs::directory_iterator(); it.increment(failure)) {
    std::error_code ignored;
    const std::string name = it->path().filename().string();
    if (it->is_regular_file(ignored) && HasImageExtension(name)) paths.push_back(it->path());
  }
  if (failure) {
    error = "cannot list " + folder + ": " + failure.message();
    return false;
  }
  std::sort(paths.begin(), paths.end(), [](const fs::path& a, const fs::path& b) {
    return a.filename().native() < b.filename().native();
  });
  discs.discs_.clear();
  for (const fs::path& path : paths) {
    const std::string name = path.filename().string();
    std::string why = "name holds a comma or a control byte";
    std::unique_ptr<DiscImage> image = IsListableName(name) ? OpenImage(path, why) : nullptr;
    if (image) {
      discs.discs_.push_back(std::move(image));
    } else {
      skipped.push_back(name + ": " + why);
    }
  }
  return true;
}

const DiscImage* DiscCatalog::At(size_t index) const {
  return index < discs_.size() ? discs_[index].get() : nullptr;
}

std::vector<std::string> DiscCatalog::Names() const {
  std::vector<std::string> names;
  names.reserve(discs_.size());
  for (const auto& disc : discs_) names.push_back(disc->Name());
  return names;
}

}  // namespace korvane::server
