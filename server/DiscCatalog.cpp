// Folder scanning and sector reads of the served disc images.
#include "server/DiscCatalog.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/FileSystem.h"
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

// Lists in names the regular files of folder with an image extension; false with error when
// the folder cannot be listed. An entry whose name has no byte-string form (a Windows name
// that is not valid UTF-16) goes to skipped.
bool ListImageNames(const std::string& folder, std::vector<std::string>& names,
                    std::vector<std::string>& skipped, std::string& error) {
  std::error_code failure;
  try {
    fs::directory_iterator it(fs::path(folder), failure);
    for (; !failure && it != fs::directory_iterator(); it.increment(failure)) {
      std::error_code ignored;
      if (!it->is_regular_file(ignored)) continue;
      try {
        std::string name = it->path().filename().string();
        if (HasImageExtension(name)) names.push_back(std::move(name));
      } catch (const std::exception&) {
        skipped.push_back("an entry whose name cannot be read");
      }
    }
  } catch (const std::exception& thrown) {
    error = "cannot list " + folder + ": " + thrown.what();
    return false;
  }
  if (failure) error = "cannot list " + folder + ": " + failure.message();
  return !failure;
}

}  // namespace

std::unique_ptr<DiscImage> DiscImage::Open(const std::string& path, std::string name,
                                           std::string& why) {
  std::unique_ptr<DiscImage> image(new DiscImage(std::move(name)));
  const int64_t size = platform::FileSize(path);
  if (size < 0 || !image->file_.Open(path, platform::ReadOnlyFile::Sharing::kShared)) {
    why = "cannot be opened";
    return nullptr;
  }
  // A file shorter than the probe reads as zeros past its end, which means 2048 bytes.
  uint8_t probe[11] = {};
  image->file_.ReadAt(0, probe, sizeof probe);
  image->size_ = static_cast<uint64_t>(size);
  image->sectorSize_ = SectorSizeFromProbe(probe);
  return image;
}

uint64_t DiscImage::SectorCount(const SectorGeometry& geometry) const {
  const uint64_t firstEnd = geometry.skip + geometry.count;
  if (size_ < firstEnd || geometry.stride == 0) return 0;
  return (size_ - firstEnd) / geometry.stride + 1;
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
  if (file_.ReadAt(start, out.data(), span) != span) return false;
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
  std::vector<std::string> names;
  if (!ListImageNames(folder, names, skipped, error)) return false;
  std::sort(names.begin(), names.end());
  discs.discs_.clear();
  for (std::string& name : names) {
    std::string why = "name holds a comma or a control byte";
    const std::string path = folder + "/" + name;
    std::unique_ptr<DiscImage> image =
        IsListableName(name) ? DiscImage::Open(path, name, why) : nullptr;
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
