// Log text made safe for a terminal: what a client or a file name may put in a log line.
#include "server/ServerLog.h"

namespace korvane::server {
namespace {

// The length of the UTF-8 sequence of a character from U+00A0 up that starts text, or 0 when
// text starts with anything else.
size_t PrintableSequence(std::string_view text) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    if (lead == 0xC2) low = 0xA0;  // U+0080 to U+009F are the C1 controls
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // shorter forms of smaller characters
    if (lead == 0xED) high = 0x9F;  // UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string Printable(std::string_view text, size_t limit) {
  static const char kHex[] = "0123456789ABCDEF";
  const std::string_view kept = text.substr(0, limit);
  std::string out;
  for (size_t i = 0; i < kept.size();) {
    const auto c = static_cast<unsigned char>(kept[i]);
    if (c >= 0x20 && c < 0x7F) {
      if (c == '\\') out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (const size_t length = c >= 0x80 ? PrintableSequence(kept.substr(i)) : 0) {
      out.append(kept.substr(i, length));
      i += length;
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
      ++i;
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

}  // namespace korvane::server
