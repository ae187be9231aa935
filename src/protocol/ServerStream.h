// The plugin's reader of everything the disc server sends: a push parser that owns every
// byte received and not yet used, and turns them into messages. Whoever receives bytes
// appends a batch to Intake() and takes the complete messages with Next(); partial messages
// stay here until the rest arrives, so nothing is lost between batches, threads or fetches.
// Where texts and unframed sector replies end, under each reader's rules, is set out in
// docs/wire-format.md. Lengths are checked against their bounds when their field is
// complete, before any body byte is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ServerMessages.h"

namespace korvane {

// Largest compressed stream, and largest inflated payload, accepted in one run: room for
// thousands of sectors, while a hostile length or a zlib bomb cannot exhaust memory.
inline constexpr int64_t kMaxRunStreamBytes = 32 << 20;
inline constexpr size_t kMaxRunPayloadBytes = 32 << 20;

class ServerStream final {
 public:
  enum class Kind {
    kNothing,   // what is held is incomplete (or nothing is)
    kText,      // text: the server text, without its kind byte
    kDiscList,  // names: the disc names in order
    kPrompt,    // the disc prompt
    kSector,    // Reply(): one sector
    kRun,       // Reply(): a run's zlib stream; RunLength(): its announced length
    kUnknown,   // why: a byte that starts no message; what was held with it is dropped
    kUnframed,  // why: a length was refused; its body, still on its way, cannot be framed
  };
  struct Message {
    Kind kind = Kind::kNothing;
    std::string text;  // kText: the text; kUnknown, kUnframed: why
    std::vector<std::string> names;
    bool lengthNotInteger = false;  // kUnframed: a disc list's length is no integer
  };

  // Bytes taken into the parser's own buffer in one receive, at most.
  static constexpr size_t kIntakeChunk = 256 * 1024;

  // Who reads the stream decides where a batch's messages end.
  enum class Rules {
    kLinkEvents,  // the link's read handler: a batch carries one message; a text runs to its end
    kRead,        // a read: a text ends at its terminator, so that a reply after it is found
    kDialog,      // the dialog: texts end at their terminator; a list or a prompt ends its
                  // batch, and a prompt carries the rest of the batch (what is echoed)
  };
  void SetRules(Rules rules) { rules_ = rules; }
  // The next sector reply answers a request in mode, which gives the sector's usual size.
  void AwaitReply(int32_t mode);
  // No reply is awaited any more: a reply that comes now is unknown.
  void StopAwaiting() { awaiting_ = false; }

  // Where the next batch is appended, and how many bytes it may hold at most: the body of
  // a run is received in place. After each batch, take messages until kNothing.
  std::string& Intake(size_t& limit);

  // The next complete message, or kNothing when the rest has not arrived.
  Message Next();

  // True while a sector reply holds 2048 or 2340 bytes, short of its mode's size, and
  // nothing after them.
  bool MayEndShort() const;
  // Completes that sector reply as it is; Next() then returns it.
  void EndShort() { endShort_ = MayEndShort(); }

  // The last reply (valid until the next AwaitReply): a sector, or a run's stream with its
  // announced length.
  const std::string& Reply() const { return reply_; }
  bool LastWasRun() const { return lastWasRun_; }
  int64_t RunLength() const { return runLength_; }
  // Lends storage to receive the next reply into, so that long runs reuse one allocation;
  // TakeStorage gives it back.
  void UseStorage(std::string&& storage);
  std::string TakeStorage() { return std::move(reply_); }

  // True while part of a reply is held: what is still to come of it belongs to it.
  bool InReply() const {
    return stage_ == Stage::kSector || stage_ == Stage::kRunHead || stage_ == Stage::kRunBody;
  }
  // True while part of a message is held.
  bool HoldsPartial() const { return stage_ != Stage::kKind || Available() > 0; }
  // Forgets everything held, as for a connection closed.
  void Drop();

 private:
  enum class Stage { kKind, kList, kSector, kRunHead, kRunBody };
  Message TakeKind();
  Message TakeText();
  Message TakeList();
  Message TakeSector();
  Message TakeRunHead();
  Message TakeRunBody();
  Message Unframed(Kind kind, std::string why, bool notInteger = false);
  size_t SectorEnd() const;
  size_t Available() const { return held_.size() - used_; }
  Message Complete(Kind kind);
  Message EndOfBatch(Message message);

  Stage stage_ = Stage::kKind;
  std::string held_;  // received, not yet used
  size_t used_ = 0;   // of held_, already parsed
  Rules rules_ = Rules::kLinkEvents;
  bool awaiting_ = false;
  bool endShort_ = false;
  size_t modeSize_ = 2352;
  std::optional<wire::DiscListReader> list_;
  wire::LengthField runField_{':', kMaxRunStreamBytes, "Compressed run"};
  int64_t runLength_ = 0;
  bool lastWasRun_ = false;
  std::string reply_;
};

}  // namespace korvane
