// The measuring half of the mount's benchmarks (scripts/bench.sh mounts, unmounts and
// shapes the link around it): the plain TCP floor the mount's cold read is held against,
// and the latency of random small reads of a mounted image file.
//
//   mount_bench tcp FILE             MB/s of sending FILE over a loopback TCP connection
//                                    into a new file
//   mount_bench random FILE COUNT    COUNT reads of 4 KiB at random 4 KiB-aligned offsets of
//                                    FILE, each opened with O_DIRECT so that it goes to the
//                                    file system and not to the page cache; their latencies,
//                                    after a first read at offset 0 that is not counted
//
// Each prints one line of figures that the script reads back with awk.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace {

constexpr size_t kReadSize = 4096;

int Usage() {
  std::fputs("usage: mount_bench tcp FILE | mount_bench random FILE COUNT\n", stderr);
  return 2;
}

off_t SizeOf(int fd) {
  const off_t size = ::lseek(fd, 0, SEEK_END);
  return size < 0 ? 0 : size;
}

// One timed read of kReadSize bytes at offset into buffer; its milliseconds, or a negative
// number when it failed or came back short.
double TimedRead(int fd, void* buffer, off_t offset) {
  const auto start = std::chrono::steady_clock::now();
  const ssize_t got = ::pread(fd, buffer, kReadSize, offset);
  const double ms = bench::Since(start) * 1000;
  return got == static_cast<ssize_t>(kReadSize) ? ms : -1;
}

int RandomReads(const char* path, int count) {
  // O_DIRECT wants a buffer aligned to the block size: a page covers every file system's.
  void* buffer = nullptr;
  if (::posix_memalign(&buffer, 4096, kReadSize) != 0) return 1;
  const int fd = ::open(path, O_RDONLY | O_DIRECT | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "cannot open %s with O_DIRECT: %s\n", path, std::strerror(errno));
    return 1;
  }
  const off_t blocks = SizeOf(fd) / static_cast<off_t>(kReadSize);
  // The first read also waits for the disc's link to connect and log in: it is left out.
  if (TimedRead(fd, buffer, 0) < 0) {
    std::fprintf(stderr, "the first read of %s failed\n", path);
    return 1;
  }
  std::mt19937_64 random(25);  // the same offsets in every run
  std::vector<double> latencies;
  for (int n = 0; n < count && blocks > 0; ++n) {
    const off_t offset = static_cast<off_t>(random() % static_cast<uint64_t>(blocks)) *
                         static_cast<off_t>(kReadSize);
    const double ms = TimedRead(fd, buffer, offset);
    if (ms < 0) {
      std::fprintf(stderr, "read of %s at %lld failed\n", path, static_cast<long long>(offset));
      return 1;
    }
    latencies.push_back(ms);
  }
  ::close(fd);
  std::free(buffer);
  std::printf("reads %zu median_ms %.2f p99_ms %.2f max_ms %.2f\n", latencies.size(),
              bench::Percentile(latencies, 0.5), bench::Percentile(latencies, 0.99),
              bench::Percentile(latencies, 1.0));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string what = argv[1];
  if (what == "tcp") {
    const int fd = ::open(argv[2], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Usage();
    const auto bytes = static_cast<uint64_t>(SizeOf(fd));
    ::close(fd);
    std::printf("tcp_mbs %.1f\n", bench::PlainTcpTransfer(argv[2], bytes));
    return 0;
  }
  if (what == "random" && argc == 4) return RandomReads(argv[2], std::atoi(argv[3]));
  return Usage();
}
