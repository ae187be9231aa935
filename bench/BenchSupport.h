// Pieces the benchmarks share: a trace that drops everything, a scratch working folder,
// a disc image of typical compressibility, local playback, a plugin connected to a disc
// server, and a plain TCP transfer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Plugin.h"
#include "core/base/Trace.h"

namespace bench {

class DiscardTrace final : public korvane::TraceOutput {
 public:
  void Write(std::string_view) override {}
};

// The value at fraction (0.5: the median, 1: the largest) of values by nearest rank; 0 when
// there is none.
double Percentile(std::vector<double> values, double fraction);

// Seconds since start.
inline double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A folder below the system's temporary folder that is the working directory while the
// object lives; removed afterwards.
class WorkFolder final {
 public:
  explicit WorkFolder(const std::string& name);
  ~WorkFolder();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

struct Disc {
  std::string folder;  // holds the image alone, for a server
  std::string image;   // folder/disc.iso
  uint32_t sectors;
};

// Writes a 2048-byte-sector image whose sectors compress about as game data does (roughly
// half to two thirds of their size with zlib level 1).
Disc MakeDisc(const std::string& parent, uint32_t sectors);

// A disc's image mapped read-only while the object lives, for checking what clients get.
class MappedImage final {
 public:
  explicit MappedImage(const Disc& disc);
  ~MappedImage();
  MappedImage(const MappedImage&) = delete;
  MappedImage& operator=(const MappedImage&) = delete;
  // The image's bytes, or null when it could not be mapped.
  const uint8_t* Data() const { return data_; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Seconds to play the first sectors of image through the plugin's read path, mode 3.
double PlayLocal(const std::string& image, uint32_t sectors);

// A plugin logged in to the disc server at 127.0.0.1:port, its prompt answered with disc 0
// (disc.iso), opened in remote mode; exits when the server cannot be reached.
std::unique_ptr<korvane::Plugin> RemotePlugin(int port, DiscardTrace& trace);

// MB/s of sending the first bytes of path over a loopback TCP connection into a new file.
double PlainTcpTransfer(const std::string& path, uint64_t bytes);

}  // namespace bench
