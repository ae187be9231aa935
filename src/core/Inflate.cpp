// zlib inflation, reusing one inflate state across runs.
#include "core/Inflate.h"

#include <zlib.h>

#include <algorithm>

namespace korvane {

struct Inflater::State {
  z_stream stream{};
  bool ready = false;
};

Inflater::Inflater() : state_(std::make_unique<State>()) {
  state_->ready = inflateInit(&state_->stream) == Z_OK;
}

Inflater::~Inflater() {
  if (state_->ready) inflateEnd(&state_->stream);
}

Inflater::Result Inflater::Inflate(const std::string& input, size_t maxOutput,
                                   std::vector<uint8_t>& out) {
  out.clear();
  if (!state_->ready || inflateReset(&state_->stream) != Z_OK) return Result::kCorrupt;
  z_stream& z = state_->stream;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  z.avail_in = static_cast<uInt>(input.size());
  // Grow the output as the stream inflates, never past the bound plus one byte (which
  // tells a payload of exactly maxOutput from a larger one).
  size_t capacity = std::min(maxOutput + 1, std::max<size_t>(input.size() * 4, 64 * 1024));
  for (;;) {
    size_t produced = out.size();
    out.resize(capacity);
    z.next_out = out.data() + produced;
    z.avail_out = static_cast<uInt>(capacity - produced);
    int status = inflate(&z, Z_NO_FLUSH);
    out.resize(capacity - z.avail_out);
    if (out.size() > maxOutput) return Result::kTooLarge;
    if (status == Z_STREAM_END) return Result::kOk;
    if (status != Z_OK && status != Z_BUF_ERROR) return Result::kCorrupt;
    if (z.avail_out != 0) return Result::kCorrupt;  // input ended before the stream did
    if (capacity > maxOutput) return Result::kTooLarge;
    capacity = std::min(maxOutput + 1, capacity * 2);
  }
}

}  // namespace korvane
