// The read path's reader of the reply to one sector request: a single-sector reply
// (04 + 2048, 2340 or 2352 bytes, no length) or a compressed run (05 + L + ":" + L bytes
// of zlib stream). Announced lengths are checked against bounds before anything is held.
//
// A single-sector reply is complete when it reaches the size the requested mode expects
// (2352, 2340 or 2048 bytes; 2352 for modes without one). At 2048 or 2340 bytes short of
// that, it may also end there: the caller decides, by whether more bytes follow at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane {

// Largest compressed stream, and largest inflated payload, accepted in one run: room for
// thousands of sectors, while a hostile length or a zlib bomb cannot exhaust memory.
inline constexpr int64_t kMaxRunStreamBytes = 32 << 20;
inline constexpr size_t kMaxRunPayloadBytes = 32 << 20;

class SectorReplyReader final {
 public:
  enum class Status { kNeedMore, kSector, kRun, kBad };

  explicit SectorReplyReader(int32_t mode);

  // Takes storage as the buffer to read into (emptied, its capacity kept), so that a long
  // run needs no fresh allocation; TakeStorage hands it back afterwards.
  void UseStorage(std::string&& storage) {
    data_ = std::move(storage);
    data_.clear();
  }
  std::string TakeStorage() { return std::move(data_); }

  // Takes bytes, the reply's kind byte first on the first call; used tells how many
  // belong to the reply.
  Status Feed(std::string_view bytes, size_t& used);

  // True while the reply's body is being read: its bytes may then be appended to Body()
  // directly, followed by AfterAppend.
  bool ReadingBody() const { return stage_ == Stage::kSector || stage_ == Stage::kRunStream; }
  std::string& Body() { return data_; }
  // Takes note of bytes appended to Body(): bytes past the reply's end move to leftover.
  Status AfterAppend(std::string& leftover);

  // True when a single-sector reply holds 2048 or 2340 bytes, short of the mode's size.
  bool MayEndShort() const;
  // Accepts the single-sector reply as it is; only when MayEndShort.
  Status EndShort();

  bool IsRun() const { return isRun_; }
  const std::string& Sector() const { return data_; }     // a single sector
  const std::string& Stream() const { return data_; }     // a run's zlib stream
  int64_t StreamLength() const { return streamLength_; }  // as announced
  const std::string& Error() const { return error_; }

 private:
  Status Fail(std::string message);
  Status FeedRunHead(std::string_view bytes, size_t& used);

  enum class Stage { kKind, kSector, kRunLength, kRunStream, kDone };
  Stage stage_ = Stage::kKind;
  bool isRun_ = false;
  size_t expectedSector_;
  std::string lengthText_;
  int64_t streamLength_ = 0;
  std::string data_;
  std::string error_;
};

}  // namespace korvane
