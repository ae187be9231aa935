// The framed messages the disc server sends its clients, built by the server (and by the
// tools that play one) and read by the plugin: text (01 text 0A), disc list (02 2C L 2C
// names), the compressed run's header (05 L 3A) and the disc prompt (06). Layouts are in
// docs/wire-format.md; ServerStream reads the whole stream these make, replies included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Framing.h"
#include "protocol/MessageKinds.h"

namespace korvane::wire {

// Appends a server text: text with every byte at or below 0x0A replaced by a space, then a
// single "\n" (a trailing newline of text is not doubled).
void AppendText(std::vector<uint8_t>& out, std::string_view text);

// True when name can appear in the disc list: no comma and no control byte (below 0x20,
// or DEL).
bool IsListableName(std::string_view name);

// Appends the disc list of names, all of which must be listable.
void AppendDiscList(std::vector<uint8_t>& out, const std::vector<std::string>& names);

// Appends the header of a compressed run whose zlib stream is streamLength bytes.
void AppendRunHeader(std::vector<uint8_t>& out, size_t streamLength);

// One listed disc's image as the size query's answer gives it.
struct DiscSize {
  uint64_t bytes = 0;
  uint32_t sectorSize = 0;  // 2048, or 2352 for a raw image
};

// The answer to a size query, a server text: "Disc sizes:" then, for each listed disc in
// the list's order, " BYTES/SECTORSIZE".
std::string DiscSizesText(const std::vector<DiscSize>& sizes);
// Reads such a text (its terminator, if held, is left out); false when text is no answer to a size query (any other text, such
// as an older server's "Ignored 1 bytes: unknown message kind").
bool ParseDiscSizesText(std::string_view text, std::vector<DiscSize>& sizes);

// True when text, with or without its terminator, is how a server answers bytes of a kind
// it does not know, "Ignored N bytes: unknown message kind": a server from before the tail
// request answers it so, with no reply after.
bool IsUnknownKindText(std::string_view text);

// Reads one disc list from its kind byte on, over as many batches as its body needs.
class DiscListReader final {
 public:
  using Status = ParseStatus;

  // Takes bytes, starting with the list's first byte on the first call. used tells how
  // many of them belong to the list; on kComplete the rest belongs to what follows.
  Status Feed(std::string_view bytes, size_t& used);

  // The names, in the order received (valid once complete).
  const std::vector<std::string>& Names() const { return names_; }
  // Why the list was refused (valid once bad).
  const std::string& Error() const { return length_.Error(); }
  // True when it was refused because its length field is no integer (rather than too big).
  bool LengthNotInteger() const { return length_.NotInteger(); }

 private:
  Status HeadByte(char c);
  Status TakeNames();

  enum class Stage { kKind, kComma, kLength, kBody, kDone, kBad };
  Stage stage_ = Stage::kKind;
  LengthField length_{',', protocol::kMaxDiscListBytes, "Disc list"};
  std::string body_;
  std::vector<std::string> names_;
};

}  // namespace korvane::wire
