// The framing rules every message reader shares (see docs/wire-format.md): how a length
// field is written and bounded, and where a server text ends. A reader over received bytes
// answers complete, need more or bad; a length is checked against its bound as soon as its
// field is complete, before any of its body is held, so that no announced length can make a
// reader allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::wire {

// What a reader made of the bytes it was given.
enum class ParseStatus { kComplete, kNeedMore, kBad };

// Converts a length field: an optional "-" and decimal digits whose value fits a signed
// 32-bit integer. False when it is anything else.
bool ParseLengthField(std::string_view text, int64_t& value);

// The conversion failure's message: "'text' is not a valid integer value".
std::string InvalidIntegerMessage(std::string_view text);

// The end of a server text that starts at text[0] (the byte after the kind): the index
// just past the first byte of value 0x0A or below, or text.size() when there is none.
size_t ServerTextLength(std::string_view text);

// Reads a length field one byte at a time up to its separator and checks it against its
// bound. The field's text is held only up to kMaxLengthFieldChars, so endless digits are
// refused as soon as they cannot be a 32-bit value.
class LengthField final {
 public:
  // what names the message in the refusal ("Disc list", "Compressed run").
  LengthField(char separator, int64_t bound, const char* what)
      : separator_(separator), bound_(bound), what_(what) {}

  // Takes the field's next byte: kNeedMore until the separator, then kComplete with Value()
  // between 0 and the bound, or kBad with Error().
  ParseStatus Feed(char c);
  // Forgets the bytes taken, for the next field.
  void Clear() { text_.clear(); }

  int64_t Value() const { return value_; }
  const std::string& Error() const { return error_; }
  // True when the field was refused because it is no integer (rather than out of bounds).
  bool NotInteger() const { return notInteger_; }

 private:
  ParseStatus Fail(std::string message, bool notInteger);

  char separator_;
  int64_t bound_;
  const char* what_;
  std::string text_;
  int64_t value_ = 0;
  std::string error_;
  bool notInteger_ = false;
};

}  // namespace korvane::wire
