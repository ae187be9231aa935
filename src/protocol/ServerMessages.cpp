// Building the server's framed messages, and the disc list reader.
#include "protocol/ServerMessages.h"

#include <algorithm>

namespace korvane::wire {
namespace {

void AppendDecimal(std::vector<uint8_t>& out, size_t value) {
  std::string digits = std::to_string(value);
  out.insert(out.end(), digits.begin(), digits.end());
}

}  // namespace

void AppendText(std::vector<uint8_t>& out, std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  out.push_back(protocol::kText);
  for (char c : text) {
    auto byte = static_cast<uint8_t>(c);
    out.push_back(byte <= protocol::kTextEnd ? uint8_t{' '} : byte);
  }
  out.push_back('\n');
}

bool IsListableName(std::string_view name) {
  // A control byte ends a client's text early at or below 0x0A, and above it would be
  // obeyed by whatever terminal shows the list.
  return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<uint8_t>(c);
    return c == ',' || byte < 0x20 || byte == 0x7F;
  });
}

void AppendDiscList(std::vector<uint8_t>& out, const std::vector<std::string>& names) {
  size_t bodyLength = 0;
  for (const std::string& name : names) bodyLength += name.size() + 1;
  out.push_back(protocol::kDiscList);
  out.push_back(',');
  AppendDecimal(out, bodyLength);
  out.push_back(',');
  for (const std::string& name : names) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(',');
  }
}

void AppendRunHeader(std::vector<uint8_t>& out, size_t streamLength) {
  out.push_back(protocol::kRun);
  AppendDecimal(out, streamLength);
  out.push_back(':');
}

DiscListReader::Status DiscListReader::HeadByte(char c) {
  switch (stage_) {
    case Stage::kKind:
      stage_ = Stage::kComma;
      return Status::kNeedMore;
    case Stage::kComma:
      // The byte after the kind is taken as the comma, whatever it is.
      stage_ = Stage::kLength;
      return Status::kNeedMore;
    default:
      break;
  }
  const Status status = length_.Feed(c);
  if (status == Status::kBad) {
    stage_ = Stage::kBad;
  } else if (status == Status::kComplete) {
    body_.reserve(static_cast<size_t>(length_.Value()));
    stage_ = Stage::kBody;
  }
  return status == Status::kBad ? Status::kBad : Status::kNeedMore;
}

DiscListReader::Status DiscListReader::Feed(std::string_view bytes, size_t& used) {
  used = 0;
  while (stage_ < Stage::kBody && used < bytes.size()) {
    if (HeadByte(bytes[used++]) == Status::kBad) return Status::kBad;
  }
  if (stage_ == Stage::kDone) return Status::kComplete;
  if (stage_ == Stage::kBad) return Status::kBad;
  if (stage_ != Stage::kBody) return Status::kNeedMore;
  const auto length = static_cast<size_t>(length_.Value());
  size_t take = std::min(bytes.size() - used, length - body_.size());
  body_.append(bytes.substr(used, take));
  used += take;
  return body_.size() < length ? Status::kNeedMore : TakeNames();
}

DiscListReader::Status DiscListReader::TakeNames() {
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

namespace {
constexpr std::string_view kDiscSizesHead = "Disc sizes:";

// Reads the decimal number at the front of text up to stop; false unless it is one that fits.
bool TakeNumber(std::string_view& text, char stop, uint64_t limit, uint64_t& value) {
  size_t digits = 0;
  value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    if (digits == 20 || value > (limit - (text[digits] - '0')) / 10) return false;
    value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
    ++digits;
  }
  if (digits == 0 || (stop != 0 && (digits == text.size() || text[digits] != stop))) return false;
  text.remove_prefix(stop != 0 ? digits + 1 : digits);
  return true;
}

// Text without the terminator it holds as read.
std::string_view WithoutTerminator(std::string_view text) {
  while (!text.empty() && static_cast<uint8_t>(text.back()) <= protocol::kTextEnd) {
    text.remove_suffix(1);
  }
  return text;
}
}  // namespace

std::string DiscSizesText(const std::vector<DiscSize>& sizes) {
  std::string text(kDiscSizesHead);
  for (const DiscSize& size : sizes) {
    text += ' ' + std::to_string(size.bytes) + '/' + std::to_string(size.sectorSize);
  }
  return text;
}

bool ParseDiscSizesText(std::string_view text, std::vector<DiscSize>& sizes) {
  sizes.clear();
  text = WithoutTerminator(text);
  if (text.substr(0, kDiscSizesHead.size()) != kDiscSizesHead) return false;
  text.remove_prefix(kDiscSizesHead.size());
  while (!text.empty()) {
    if (text.front() != ' ' || sizes.size() == protocol::kMaxListedDiscs) return false;
    text.remove_prefix(1);
    DiscSize size;
    uint64_t sectorSize = 0;
    if (!TakeNumber(text, '/', UINT64_MAX, size.bytes) ||
        !TakeNumber(text, 0, protocol::kLongestSector, sectorSize)) {
      return false;
    }
    size.sectorSize = static_cast<uint32_t>(sectorSize);
    sizes.push_back(size);
  }
  return true;
}

bool IsUnknownKindText(std::string_view text) {
  constexpr std::string_view kHead = "Ignored ", kRest = "bytes: unknown message kind";
  text = WithoutTerminator(text);
  if (text.substr(0, kHead.size()) != kHead) return false;
  text.remove_prefix(kHead.size());
  uint64_t count = 0;
  return TakeNumber(text, ' ', UINT64_MAX, count) && text == kRest;
}

}  // namespace korvane::wire
