// The parser of what the server sends, as the plugin link and the dialog take it.
#include "protocol/ServerStream.h"

#include <algorithm>

namespace korvane {

namespace {
using protocol::kSectorSizes;

bool IsSectorSize(size_t n) {
  return std::find(std::begin(kSectorSizes), std::end(kSectorSizes), n) != std::end(kSectorSizes);
}

// True for the kinds of message that may follow a reply in the same batch.
bool StartsMessageAfterReply(char kind) {
  return kind == protocol::kText || kind == protocol::kDiscList || kind == protocol::kPrompt;
}
}  // namespace

void ServerStream::AwaitReply(int32_t mode) {
  size_t size = protocol::ReplySectorBytes(mode);
  modeSize_ = size ? size : protocol::kLongestSector;
  awaiting_ = true;
  endShort_ = false;
  reply_.clear();
  runLength_ = 0;
}

void ServerStream::UseStorage(std::string&& storage) {
  reply_ = std::move(storage);
  reply_.clear();
}

void ServerStream::Drop() {
  held_.clear();
  used_ = 0;
  stage_ = Stage::kKind;
  list_.reset();
  runField_.Clear();
  endShort_ = false;
}

std::string& ServerStream::Intake(size_t& limit) {
  if (used_ == held_.size()) {
    held_.clear();
    used_ = 0;
  }
  if (stage_ == Stage::kRunBody && held_.empty()) {
    limit = static_cast<size_t>(runLength_) - reply_.size();
    return reply_;
  }
  held_.erase(0, used_);
  used_ = 0;
  limit = kIntakeChunk;
  return held_;
}

ServerStream::Message ServerStream::Next() {
  switch (stage_) {
    case Stage::kKind:
      return Available() == 0 ? Message{} : EndOfBatch(TakeKind());
    case Stage::kList:
      return EndOfBatch(TakeList());
    case Stage::kSector:
      return TakeSector();
    case Stage::kRunHead:
      return TakeRunHead();
    case Stage::kRunBody:
      return TakeRunBody();
  }
  return Message{};
}

ServerStream::Message ServerStream::Unframed(Kind kind, std::string why, bool notInteger) {
  Drop();
  Message message;
  message.kind = kind;
  message.text = std::move(why);
  message.lengthNotInteger = notInteger;
  return message;
}

// Drops what the batch holds after a list or a prompt, except for a read, which takes
// every message. (A text for the link's events runs to the batch's end anyway.)
ServerStream::Message ServerStream::EndOfBatch(Message message) {
  bool ends = message.kind == Kind::kDiscList || message.kind == Kind::kPrompt;
  if (ends && rules_ != Rules::kRead) {
    held_.clear();
    used_ = 0;
  }
  return message;
}

ServerStream::Message ServerStream::Complete(Kind kind) {
  stage_ = Stage::kKind;
  awaiting_ = false;  // one reply per request
  endShort_ = false;
  lastWasRun_ = kind == Kind::kRun;
  Message message;
  message.kind = kind;
  return message;
}

ServerStream::Message ServerStream::TakeKind() {
  const char kind = held_[used_];
  switch (kind) {
    case protocol::kText:
      return TakeText();
    case protocol::kDiscList:
      stage_ = Stage::kList;
      list_.emplace();
      return TakeList();
    case protocol::kPrompt: {
      Message message;
      message.kind = Kind::kPrompt;
      if (rules_ == Rules::kDialog) message.text = held_.substr(used_);
      ++used_;
      return message;
    }
    case protocol::kSingleSector:
    case protocol::kRun:
      if (!awaiting_) return Unframed(Kind::kUnknown, "Sector reply that nothing asked for");
      ++used_;
      runField_.Clear();
      stage_ = kind == protocol::kSingleSector ? Stage::kSector : Stage::kRunHead;
      return stage_ == Stage::kSector ? TakeSector() : TakeRunHead();
    default: {
      const char* digits = "0123456789ABCDEF";
      auto byte = static_cast<unsigned char>(kind);
      return Unframed(Kind::kUnknown, std::string("Server sent no sector reply (first byte 0x") +
                                          digits[byte >> 4] + digits[byte & 15] + ")");
    }
  }
}

ServerStream::Message ServerStream::TakeText() {
  size_t start = used_ + 1;
  size_t end = held_.size();
  if (rules_ != Rules::kLinkEvents) {
    end = start + wire::ServerTextLength(std::string_view(held_).substr(start));
  }
  Message message;
  message.kind = Kind::kText;
  message.text = held_.substr(start, end - start);
  used_ = end;
  return message;
}

ServerStream::Message ServerStream::TakeList() {
  size_t used = 0;
  auto status = list_->Feed(std::string_view(held_).substr(used_), used);
  used_ += used;
  if (status == wire::DiscListReader::Status::kNeedMore) return Message{};
  if (status == wire::DiscListReader::Status::kBad) {
    return Unframed(Kind::kUnframed, list_->Error(), list_->LengthNotInteger());
  }
  Message message;
  message.kind = Kind::kDiscList;
  message.names = list_->Names();
  list_.reset();
  stage_ = Stage::kKind;
  return message;
}

// How many of the held bytes are the sector, or 0 while more must come.
size_t ServerStream::SectorEnd() const {
  const size_t n = Available();
  if (IsSectorSize(n) && (n >= modeSize_ || endShort_)) return n;
  if (n <= modeSize_) return 0;
  // More than the mode's size is held: a message after the sector starts at its end.
  for (size_t size : kSectorSizes) {
    if (size >= modeSize_ && size < n && StartsMessageAfterReply(held_[used_ + size])) return size;
  }
  return n > protocol::kLongestSector ? modeSize_ : 0;
}

bool ServerStream::MayEndShort() const {
  const size_t n = Available();
  return stage_ == Stage::kSector && n < modeSize_ && (n == 2048 || n == 2340);
}

ServerStream::Message ServerStream::TakeSector() {
  size_t size = SectorEnd();
  if (size == 0) return Message{};
  reply_.assign(held_, used_, size);
  used_ += size;
  return Complete(Kind::kSector);
}

ServerStream::Message ServerStream::TakeRunHead() {
  while (used_ < held_.size()) {
    switch (runField_.Feed(held_[used_++])) {
      case wire::ParseStatus::kNeedMore:
        continue;
      case wire::ParseStatus::kBad:
        return Unframed(Kind::kUnframed, runField_.Error());
      case wire::ParseStatus::kComplete:
        runLength_ = runField_.Value();
        reply_.reserve(static_cast<size_t>(runLength_));
        stage_ = Stage::kRunBody;
        return TakeRunBody();
    }
  }
  return Message{};
}

ServerStream::Message ServerStream::TakeRunBody() {
  size_t wanted = static_cast<size_t>(runLength_) - reply_.size();
  size_t take = std::min(wanted, Available());
  reply_.append(held_, used_, take);
  used_ += take;
  if (reply_.size() < static_cast<size_t>(runLength_)) return Message{};
  return Complete(Kind::kRun);
}

}  // namespace korvane
