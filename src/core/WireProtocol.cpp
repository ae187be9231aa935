// Message building and the disc list reader.
#include "core/WireProtocol.h"

#include <limits>

namespace korvane::wire {

namespace {
// A length field longer than this cannot be a 32-bit value and is refused unread.
constexpr size_t kMaxLengthFieldChars = 11;
}  // namespace

std::string BuildLogin(const std::string& user, const std::string& password) {
  std::string message = {static_cast<char>(protocol::kLogin),
                         static_cast<char>(protocol::kLoginSecond)};
  message += user;
  message += ',';
  message += password;
  return message;
}

std::string BuildDiscSelection(int32_t index) {
  return std::string{static_cast<char>(protocol::kDiscSelection),
                     static_cast<char>(static_cast<uint32_t>(index) & 0xFF)};
}

std::string BuildSectorRequest(int32_t mode, uint32_t lsn) {
  std::string message{static_cast<char>(protocol::kSectorRequest),
                      static_cast<char>(static_cast<uint32_t>(mode) & 0xFF)};
  message += std::to_string(lsn);
  return message;
}

bool ParseLengthField(std::string_view text, int64_t& value) {
  size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  if (i == text.size() || text.size() > kMaxLengthFieldChars) return false;
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
    if (static_cast<unsigned char>(text[i]) <= 0x0A) return i + 1;
  }
  return text.size();
}

DiscListReader::Status DiscListReader::Fail(std::string message, bool notInteger) {
  error_ = std::move(message);
  lengthNotInteger_ = notInteger;
  stage_ = Stage::kDone;
  return Status::kBad;
}

DiscListReader::Status DiscListReader::HeadByte(char c) {
  switch (stage_) {
    case Stage::kKind:
      stage_ = Stage::kComma;
      return Status::kNeedMore;
    case Stage::kComma:
      stage_ = Stage::kLength;
      return Status::kNeedMore;
    default:
      break;
  }
  if (c != ',') {
    if (lengthText_.size() >= kMaxLengthFieldChars)
      return Fail(InvalidIntegerMessage(lengthText_ + c), true);
    lengthText_ += c;
    return Status::kNeedMore;
  }
  if (!ParseLengthField(lengthText_, length_))
    return Fail(InvalidIntegerMessage(lengthText_), true);
  if (length_ < 0 || length_ > protocol::kMaxDiscListBytes) {
    return Fail("Disc list of " + lengthText_ + " bytes refused (at most " +
                std::to_string(protocol::kMaxDiscListBytes) + ")");
  }
  body_.reserve(static_cast<size_t>(length_));
  stage_ = Stage::kBody;
  return Status::kNeedMore;
}

DiscListReader::Status DiscListReader::Feed(std::string_view bytes, size_t& used) {
  used = 0;
  while (stage_ != Stage::kBody && stage_ != Stage::kDone && used < bytes.size()) {
    if (HeadByte(bytes[used++]) == Status::kBad) return Status::kBad;
  }
  if (stage_ == Stage::kDone) return error_.empty() ? Status::kComplete : Status::kBad;
  if (stage_ != Stage::kBody) return Status::kNeedMore;
  size_t take = std::min(bytes.size() - used, static_cast<size_t>(length_) - body_.size());
  body_.append(bytes.substr(used, take));
  used += take;
  if (body_.size() < static_cast<size_t>(length_)) return Status::kNeedMore;
  // Every name ends with a comma; a last name without one is taken as it is.
  for (size_t start = 0; start < body_.size();) {
    size_t comma = body_.find(',', start);
    size_t end = comma == std::string::npos ? body_.size() : comma;
    names_.push_back(body_.substr(start, end - start));
    start = end + 1;
  }
  stage_ = Stage::kDone;
  return Status::kComplete;
}

}  // namespace korvane::wire
