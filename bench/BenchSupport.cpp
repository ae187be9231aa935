// Shared benchmark pieces.
#include "BenchSupport.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "TestSockets.h"
#include "core/Plugin.h"
#include "platform/FileSystem.h"

namespace bench {

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

WorkFolder::WorkFolder(const std::string& name)
    : path_((std::filesystem::temp_directory_path() / name).string()),
      previous_(korvane::platform::GetWorkingDirectory()) {
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
  korvane::platform::SetWorkingDirectory(path_);
}

WorkFolder::~WorkFolder() {
  korvane::platform::SetWorkingDirectory(previous_);
  std::filesystem::remove_all(path_);
}

Disc MakeDisc(const std::string& parent, uint32_t sectors) {
  Disc disc{parent + "/disc", parent + "/disc/disc.iso", sectors};
  std::filesystem::create_directories(disc.folder);
  std::ofstream out(disc.image, std::ios::binary | std::ios::trunc);
  std::vector<char> sector(2048);
  uint64_t state = 88172645463325252ull;
  for (uint32_t lsn = 0; lsn < sectors; ++lsn) {
    // Noise in the first part of each sector, repeating structure in the rest.
    for (size_t i = 0; i < 2048; ++i) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      sector[i] = i < 900 ? static_cast<char>(state) : static_cast<char>((i / 16 + lsn) & 0x3F);
    }
    out.write(sector.data(), 2048);
  }
  return disc;
}

double PlayLocal(const std::string& image, uint32_t sectors) {
  DiscardTrace trace;
  auto plugin = std::make_unique<korvane::Plugin>(trace);
  plugin->State().LocalImagePath = image;
  plugin->Open();
  auto start = std::chrono::steady_clock::now();
  for (uint32_t lsn = 0; lsn < sectors; ++lsn) {
    if (plugin->ReadTrack(lsn, korvane::kModeData2048) != 0 || !plugin->GetBuffer()) return 1e9;
  }
  double seconds = Since(start);
  plugin->Close();
  return seconds;
}

std::unique_ptr<korvane::Plugin> RemotePlugin(int port, DiscardTrace& trace) {
  auto plugin = std::make_unique<korvane::Plugin>(trace);
  korvane::ServerSocket& socket = plugin->CreatePluginSocket();
  socket.client.SetHost("127.0.0.1");
  socket.client.SetPortNumber(port);
  socket.Activate({"", "", 0, "disc.iso"});
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!socket.client.IsConnected() && std::chrono::steady_clock::now() < end) {
    socket.client.Pump(10);
  }
  // Greeting, disc list and prompt, however long the way to the server.
  while (socket.link.AwaitingPrompt() && std::chrono::steady_clock::now() < end) {
    socket.client.Pump(10);
  }
  if (!socket.client.IsConnected()) {
    std::fprintf(stderr, "cannot reach the disc server at 127.0.0.1:%d\n", port);
    std::exit(1);
  }
  korvane::PluginState& state = plugin->State();
  state.RemoteMode = true;
  state.SelectedDiscIndex = 0;
  state.SelectedDiscName = "disc.iso";
  plugin->Open();
  return plugin;
}

double PlainTcpTransfer(const std::string& path, uint64_t bytes) {
  int port = 0;
  const int listener = static_cast<int>(korvane::test::sock::Listen(port));
  std::thread sender([&] {
    int s = ::accept(listener, nullptr, nullptr);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    for (uint64_t left = bytes; left > 0;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
      in.read(chunk.data(), static_cast<std::streamsize>(n));
      for (size_t done = 0; done < n;)
        done += static_cast<size_t>(::send(s, chunk.data() + done, n - done, 0));
      left -= n;
    }
    ::close(s);
  });
  auto start = std::chrono::steady_clock::now();
  const int client = static_cast<int>(korvane::test::sock::Connect(port));
  std::FILE* out = std::fopen("plain-transfer.bin", "wb");
  std::vector<char> chunk(1 << 20);
  for (ssize_t got; (got = ::recv(client, chunk.data(), chunk.size(), 0)) > 0;) {
    std::fwrite(chunk.data(), 1, static_cast<size_t>(got), out);
  }
  std::fclose(out);
  double seconds = Since(start);
  sender.join();
  ::close(client);
  ::close(listener);
  std::remove("plain-transfer.bin");
  return bytes / 1e6 / seconds;
}

MappedImage::MappedImage(const Disc& disc) {
  const int fd = ::open(disc.image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  const size_t size = size_t{disc.sectors} * 2048;
  void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);  // the mapping stays
  if (mapped == MAP_FAILED) return;
  data_ = static_cast<const uint8_t*>(mapped);
  size_ = size;
}

MappedImage::~MappedImage() {
  if (data_) munmap(const_cast<uint8_t*>(data_), size_);
}

}  // namespace bench
