// The per-thread deflate stream behind compressed runs.
#include "server/RunDeflater.h"

#include <limits>

namespace korvane::server {

RunDeflater& RunDeflater::ForThisThread(int level) {
  thread_local RunDeflater deflater;
  deflater.SetLevel(level);
  return deflater;
}

RunDeflater::~RunDeflater() {
  if (ready_) deflateEnd(&stream_);
}

bool RunDeflater::SetLevel(int level) {
  if (ready_ && level == level_) return true;
  if (ready_) deflateEnd(&stream_);
  stream_ = z_stream{};
  ready_ = deflateInit(&stream_, level) == Z_OK;
  level_ = ready_ ? level : -1;
  return ready_;
}

bool RunDeflater::AppendStream(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  if (!ready_ || size > std::numeric_limits<uInt>::max()) return false;
  if (deflateReset(&stream_) != Z_OK) return false;
  const size_t start = out.size();
  const uLong bound = deflateBound(&stream_, static_cast<uLong>(size));
  out.resize(start + bound);
  // zlib never writes through next_in; the cast only satisfies its older prototypes.
  stream_.next_in = const_cast<Bytef*>(data);
  stream_.avail_in = static_cast<uInt>(size);
  stream_.next_out = out.data() + start;
  stream_.avail_out = static_cast<uInt>(bound);
  const int result = deflate(&stream_, Z_FINISH);
  if (result != Z_STREAM_END) {
    out.resize(start);
    return false;
  }
  out.resize(start + (bound - stream_.avail_out));
  return true;
}

}  // namespace korvane::server
