// Folder scanning and sector reads of the served disc images.
#include "server/DiscCatalog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "protocol/MessageKinds.h"
#include "protocol/ServerMessages.h"
#include "server/ServerLog.h"

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

// Why the folder's entry cannot be served as an image, or "" when it is a regular file (or
// a symbolic link to one). The entry is looked at, never opened: opening a device may do
// something, and a FIFO waits.
std::string WhyNoImage(const fs::directory_entry& entry) {
  std::error_code failure, ignored;
  const fs::file_status target = entry.status(failure);
  if (fs::is_regular_file(target)) return "";
  if (fs::is_directory(target)) return "is a folder";
  if (fs::is_fifo(target)) return "is a FIFO";
  if (fs::is_block_file(target) || fs::is_character_file(target)) return "is a device";
  if (fs::is_socket(target)) return "is a socket";
  if (target.type() == fs::file_type::not_found && entry.is_symlink(ignored)) {
    return "is a symbolic link to nothing";
  }
  if (failure) return "cannot be looked at: " + failure.message();
  return "is no regular file";
}

// Lists in names the entries of folder with an image extension, each with why it cannot be
// served ("" for a regular file); false with error when the folder cannot be listed. An
// entry whose name has no byte-string form (a Windows name that is not valid UTF-16) goes
// to skipped.
bool ListImageNames(const std::string& folder,
                    std::vector<std::pair<std::string, std::string>>& names,
                    std::vector<std::string>& skipped, std::string& error) {
  std::error_code failure;
  try {
    fs::directory_iterator it(fs::path(folder), failure);
    for (; !failure && it != fs::directory_iterator(); it.increment(failure)) {
      try {
        std::string name = it->path().filename().string();
        if (HasImageExtension(name)) names.emplace_back(std::move(name), WhyNoImage(*it));
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

// The folder held open while its images are opened in it.
class OpenFolder final {
 public:
  explicit OpenFolder(const std::string& path) {
    folder_.path = path;
#ifndef _WIN32
    folder_.fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_.fd < 0) failure_ = std::strerror(errno);
#endif
  }
  ~OpenFolder() {
#ifndef _WIN32
    if (folder_.fd >= 0) ::close(folder_.fd);
#endif
  }
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;

  // False with error when the folder could not be opened.
  bool Opened(std::string& error) const {
    if (failure_.empty()) return true;
    error = "cannot open " + folder_.path + ": " + failure_;
    return false;
  }
  const ImageFolder& Entry() const { return folder_; }

 private:
  ImageFolder folder_;
  std::string failure_;
};

// Opens the folder's own entry name into file, read-only; false with why (and, when the
// process ran out of descriptors, outOfDescriptors) otherwise. Only a name of the folder's
// own entries is opened: never the folder or its parent, and never a path. A backslash
// separates folders on Windows only; elsewhere it is a byte of the name like any other.
bool OpenFolderEntry(const ImageFolder& folder, const std::string& name,
                     platform::ReadOnlyFile& file, std::string& why, bool& outOfDescriptors) {
#ifdef _WIN32
  const char* separators = "/\\";
#else
  const char* separators = "/";
#endif
  if (name == "." || name == ".." || name.find_first_of(separators) != std::string::npos) {
    why = "is no file of the folder";
    return false;
  }
#ifdef _WIN32
  return file.Open(folder.path + "\\" + name, platform::ReadOnlyFile::Sharing::kShared);
#else
  // Non-blocking, so that a FIFO with an image's name cannot hold the scan.
  const int fd = ::openat(folder.fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    outOfDescriptors = errno == EMFILE || errno == ENFILE;
    return false;
  }
  file.Adopt(fd);
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    why = "is no regular file";
    return false;
  }
  return true;
#endif
}

}  // namespace

std::unique_ptr<DiscImage> DiscImage::Open(const ImageFolder& folder, std::string name,
                                           ServerLog* log, std::string& why,
                                           bool& outOfDescriptors) {
  std::unique_ptr<DiscImage> image(new DiscImage(std::move(name), log));
  outOfDescriptors = false;
  why = "cannot be opened";
  if (!OpenFolderEntry(folder, image->name_, image->file_, why, outOfDescriptors)) {
    return nullptr;
  }
  const int64_t size = image->file_.Size();
  if (size < 0) return nullptr;
  // A file shorter than the probe reads as zeros past its end, which means 2048 bytes.
  uint8_t probe[11] = {};
  image->file_.ReadAt(0, probe, sizeof probe);
  image->size_ = static_cast<uint64_t>(size);
  image->sectorSize_ = SectorSizeFromProbe(probe);
  return image;
}

bool DiscImage::ReadBytes(uint64_t offset, uint8_t* into, size_t size) const {
  const size_t got = file_.ReadAt(offset, into, size);
  if (got != size) NoteFailedRead(offset, size, got);
  return got == size;
}

void DiscImage::NoteFailedRead(uint64_t offset, size_t size, size_t got) const {
  if (log_ == nullptr || failureLogged_.exchange(true)) return;
  log_->Line("disc " + Printable(name_, 200) + ": reading " + std::to_string(size) +
             " bytes at byte " + std::to_string(offset) + " brought " + std::to_string(got) +
             "; the image has " + std::to_string(file_.Size()) + " bytes now and had " +
             std::to_string(size_) +
             " when listed (truncated under the server?); later failed reads of it are not logged");
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
  if (!ReadBytes(start, out.data(), span)) return false;
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

bool DiscCatalog::Scan(const ScanSettings& settings, DiscCatalog& discs, ScanReport& report,
                       std::string& error) {
  std::vector<std::pair<std::string, std::string>> names;
  if (!ListImageNames(settings.folder, names, report.skipped, error)) return false;
  std::sort(names.begin(), names.end());
  OpenFolder folder(settings.folder);
  if (!folder.Opened(error)) return false;
  discs.discs_.clear();
  size_t listBytes = 0;
  bool outOfDescriptors = false;
  for (auto& [name, whyNoImage] : names) {
    if (!whyNoImage.empty()) {
      report.skipped.push_back(name + ": " + whyNoImage);
    } else if (!wire::IsListableName(name)) {
      report.skipped.push_back(name + ": name holds a comma or a control byte");
    } else if (discs.discs_.size() >= protocol::kMaxListedDiscs ||
               listBytes + name.size() + 1 > uint64_t{protocol::kMaxDiscListBytes}) {
      report.unlisted.push_back(std::move(name));
    } else if (outOfDescriptors ||
               (settings.maxOpen != 0 && discs.discs_.size() >= settings.maxOpen)) {
      ++report.unopened;
    } else {
      std::string why;
      std::unique_ptr<DiscImage> image =
          DiscImage::Open(folder.Entry(), name, settings.log, why, outOfDescriptors);
      if (image) {
        listBytes += name.size() + 1;
        discs.discs_.push_back(std::move(image));
      } else if (outOfDescriptors) {
        ++report.unopened;
      } else {
        report.skipped.push_back(name + ": " + why);
      }
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
