// Length fields and text ends, as every reader of the protocol takes them.
#include "protocol/Framing.h"

#include <limits>

#include "protocol/MessageKinds.h"

namespace korvane::wire {

bool ParseLengthField(std::string_view text, int64_t& value) {
  size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  if (i == text.size() || text.size() > protocol::kMaxLengthFieldChars) return false;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + (text[i] - '0');
  }
  value = text[0] == '-' ? -magnitude : magnitude;
  return value >= std::numeric_limits<int32_t>::min() &&
         value <= std::numeric_limits<int32_t>::max();
}

std::string InvalidIntegerMessage(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid integer value";
}

size_t ServerTextLength(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) <= protocol::kTextEnd) return i + 1;
  }
  return text.size();
}

ParseStatus LengthField::Fail(std::string message, bool notInteger) {
  error_ = std::move(message);
  notInteger_ = notInteger;
  return ParseStatus::kBad;
}

ParseStatus LengthField::Feed(char c) {
  if (c != separator_) {
    if (text_.size() >= protocol::kMaxLengthFieldChars)
      return Fail(InvalidIntegerMessage(text_ + c), true);
    text_ += c;
    return ParseStatus::kNeedMore;
  }
  if (!ParseLengthField(text_, value_)) return Fail(InvalidIntegerMessage(text_), true);
  if (value_ < 0 || value_ > bound_) {
    return Fail(std::string(what_) + " of " + text_ + " bytes refused (at most " +
                    std::to_string(bound_) + ")",
                false);
  }
  return ParseStatus::kComplete;
}

}  // namespace korvane::wire
