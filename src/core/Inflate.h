// Whole-buffer inflation of zlib streams (RFC 1950) with a bound on the output, so that a
// stream that inflates beyond it (a zlib bomb) is refused without being held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvane {

class Inflater final {
 public:
  enum class Result { kOk, kCorrupt, kTooLarge };

  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Inflates the whole stream into out (replacing its content); kTooLarge when the payload
  // would exceed maxOutput bytes, kCorrupt when the stream is not a complete zlib stream.
  Result Inflate(const std::string& stream, size_t maxOutput, std::vector<uint8_t>& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvane
