// Whole-buffer inflation of zlib streams (RFC 1950) with a bound on the output, so that a
// stream that inflates beyond it (a zlib bomb) is refused without being held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korvane {

// A growable byte buffer that is never zero-filled: inflation writes every byte it holds.
class ByteBuffer final {
 public:
  const uint8_t* Data() const { return data_.get(); }
  size_t Size() const { return size_; }
  size_t Capacity() const { return capacity_; }
  bool Empty() const { return size_ == 0; }

 private:
  friend class Inflater;
  // Makes room for capacity bytes, keeping the first size ones.
  void Reserve(size_t capacity);

  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

class Inflater final {
 public:
  enum class Result { kOk, kCorrupt, kTooLarge };

  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Inflates the whole stream into out (replacing its content); kTooLarge when the payload
  // would exceed maxOutput bytes, kCorrupt when the stream is not a complete zlib stream.
  Result Inflate(const std::string& stream, size_t maxOutput, ByteBuffer& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvane
