// zlib streams (RFC 1950) for compressed-run replies. Each thread keeps one deflate stream
// and resets it between runs, so a run costs no allocation inside zlib; a stream is set up
// again only when a run asks for another compression level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <zlib.h>

namespace korvane::server {

class RunDeflater final {
 public:
  // The calling thread's deflater at level (0..9).
  static RunDeflater& ForThisThread(int level);

  RunDeflater() = default;
  ~RunDeflater();
  RunDeflater(const RunDeflater&) = delete;
  RunDeflater& operator=(const RunDeflater&) = delete;

  // Appends to out one complete zlib stream of data[0, size); false if zlib fails.
  bool AppendStream(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

 private:
  bool SetLevel(int level);

  z_stream stream_{};
  bool ready_ = false;
  int level_ = -1;
};

}  // namespace korvane::server
