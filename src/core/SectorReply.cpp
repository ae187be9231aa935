// Sector reply reading.
#include "core/SectorReply.h"

#include <algorithm>

#include "core/ReadMode.h"
#include "core/WireProtocol.h"

namespace korvane {

namespace {
constexpr size_t kMaxLengthFieldChars = 11;
}  // namespace

SectorReplyReader::SectorReplyReader(int32_t mode) {
  size_t size = SectorBytesForMode(mode);
  expectedSector_ = size ? size : kRawSectorSize;
}

SectorReplyReader::Status SectorReplyReader::Fail(std::string message) {
  error_ = std::move(message);
  stage_ = Stage::kDone;
  return Status::kBad;
}

SectorReplyReader::Status SectorReplyReader::FeedRunHead(std::string_view bytes, size_t& used) {
  while (used < bytes.size()) {
    char c = bytes[used++];
    if (c != ':') {
      if (lengthText_.size() >= kMaxLengthFieldChars) {
        return Fail(wire::InvalidIntegerMessage(lengthText_ + c));
      }
      lengthText_ += c;
      continue;
    }
    if (!wire::ParseLengthField(lengthText_, streamLength_)) {
      return Fail(wire::InvalidIntegerMessage(lengthText_));
    }
    if (streamLength_ < 0 || streamLength_ > kMaxRunStreamBytes) {
      return Fail("Compressed run of " + lengthText_ + " bytes refused (at most " +
                  std::to_string(kMaxRunStreamBytes) + ")");
    }
    data_.reserve(static_cast<size_t>(streamLength_));
    stage_ = Stage::kRunStream;
    return Status::kNeedMore;
  }
  return Status::kNeedMore;
}

SectorReplyReader::Status SectorReplyReader::Feed(std::string_view bytes, size_t& used) {
  used = 0;
  if (stage_ == Stage::kKind && !bytes.empty()) {
    char kind = bytes[used++];
    if (kind == wire::kSectorReply) {
      stage_ = Stage::kSector;
    } else if (kind == wire::kCompressedRun) {
      stage_ = Stage::kRunLength;
      isRun_ = true;
    } else {
      return Fail("no sector reply");
    }
  }
  if (stage_ == Stage::kRunLength && FeedRunHead(bytes, used) == Status::kBad) return Status::kBad;
  size_t wanted = stage_ == Stage::kSector      ? expectedSector_
                  : stage_ == Stage::kRunStream ? static_cast<size_t>(streamLength_)
                                                : 0;
  if (stage_ != Stage::kSector && stage_ != Stage::kRunStream) return Status::kNeedMore;
  size_t take = std::min(bytes.size() - used, wanted - data_.size());
  data_.append(bytes.substr(used, take));
  used += take;
  if (data_.size() < wanted) return Status::kNeedMore;
  Status done = stage_ == Stage::kSector ? Status::kSector : Status::kRun;
  stage_ = Stage::kDone;
  return done;
}

SectorReplyReader::Status SectorReplyReader::AfterAppend(std::string& leftover) {
  size_t wanted = stage_ == Stage::kSector ? expectedSector_ : static_cast<size_t>(streamLength_);
  if (data_.size() < wanted) return Status::kNeedMore;
  leftover.assign(data_, wanted, std::string::npos);
  data_.resize(wanted);
  Status done = stage_ == Stage::kSector ? Status::kSector : Status::kRun;
  stage_ = Stage::kDone;
  return done;
}

bool SectorReplyReader::MayEndShort() const {
  return stage_ == Stage::kSector && data_.size() < expectedSector_ &&
         (data_.size() == kDataSectorSize || data_.size() == 2340);
}

SectorReplyReader::Status SectorReplyReader::EndShort() {
  if (!MayEndShort()) return Status::kNeedMore;
  stage_ = Stage::kDone;
  return Status::kSector;
}

}  // namespace korvane
