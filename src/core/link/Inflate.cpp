// zlib inflation, reusing one inflate state across runs.
#include "core/link/Inflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

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

void ByteBuffer::Reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  auto grown = std::make_unique<uint8_t[]>(capacity);
  if (size_) std::memcpy(grown.get(), data_.get(), size_);
  data_ = std::move(grown);
  capacity_ = capacity;
}

Inflater::Result Inflater::Inflate(const std::string& input, size_t maxOutput, ByteBuffer& out) {
  out.size_ = 0;
  if (!state_->ready || inflateReset(&state_->stream) != Z_OK) return Result::kCorrupt;
  z_stream& z = state_->stream;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  z.avail_in = static_cast<uInt>(input.size());
  // Room up to the bound plus one byte, which tells a payload of exactly maxOutput from a
  // larger one; a buffer kept from earlier runs is used as it is.
  size_t limit = maxOutput + 1;
  out.Reserve(std::min(limit, std::max<size_t>(input.size() * 2, 64 * 1024)));
  for (;;) {
    size_t room = std::min(out.capacity_, limit);
    z.next_out = out.data_.get() + out.size_;
    z.avail_out = static_cast<uInt>(room - out.size_);
    int status = inflate(&z, Z_NO_FLUSH);
    out.size_ = room - z.avail_out;
    if (out.size_ > maxOutput) return Result::kTooLarge;
    if (status == Z_STREAM_END) return Result::kOk;
    if (status != Z_OK && status != Z_BUF_ERROR) return Result::kCorrupt;
    if (z.avail_out != 0) return Result::kCorrupt;  // input ended before the stream did
    if (room >= limit) return Result::kTooLarge;
    out.Reserve(std::min(limit, out.capacity_ * 2));
  }
}

}  // namespace korvane
