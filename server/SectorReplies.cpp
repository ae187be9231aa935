// Run lengths, run compression and the bytes of sector replies.
#include "server/SectorReplies.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

#include "core/base/ImageLayout.h"
#include "server/DiscCatalog.h"

namespace korvane::server {
namespace {

// Input handed to zlib at a time: small enough that a run at level 9 notices a raised stop
// flag within a few tens of milliseconds even on data that compresses slowly.
constexpr size_t kDeflatePiece = 32 * 1024;

// zlib streams (RFC 1950) for runs. Each worker thread keeps one deflate stream and resets
// it between runs, so a run costs no allocation inside zlib; the stream is set up again only
// when a run asks for another compression level. (libdeflate compresses game data about
// twice as fast, but in one call that cannot be given up part way: a longest run at level 9
// would hold its thread for seconds after a stop. At level 1 it also writes a sixth more
// bytes, and compressed runs only go to links slower than the compressor.)
class RunDeflater final {
 public:
  RunDeflater() = default;
  ~RunDeflater() {
    if (ready_) deflateEnd(&stream_);
  }
  RunDeflater(const RunDeflater&) = delete;
  RunDeflater& operator=(const RunDeflater&) = delete;

  // The calling thread's deflater at level (0..9).
  static RunDeflater& ForThisThread(int level) {
    thread_local RunDeflater deflater;
    deflater.SetLevel(level);
    return deflater;
  }

  // Appends to out one complete zlib stream of data[0, size); false (out as it was) if zlib
  // fails or stop is raised first.
  bool AppendStream(const uint8_t* data, size_t size, const StopFlags& stop,
                    std::vector<uint8_t>& out);

 private:
  void SetLevel(int level) {
    if (ready_ && level == level_) return;
    if (ready_) deflateEnd(&stream_);
    stream_ = z_stream{};
    ready_ = deflateInit(&stream_, level) == Z_OK;
    level_ = level;
  }

  z_stream stream_{};
  bool ready_ = false;
  int level_ = -1;
};

bool RunDeflater::AppendStream(const uint8_t* data, size_t size, const StopFlags& stop,
                               std::vector<uint8_t>& out) {
  if (!ready_ || size > std::numeric_limits<uInt>::max()) return false;
  if (deflateReset(&stream_) != Z_OK) return false;
  // A stream given up part way leaves input behind, which the reset does not forget.
  stream_.next_in = Z_NULL;
  stream_.avail_in = 0;
  const size_t start = out.size();
  out.resize(start + deflateBound(&stream_, static_cast<uLong>(size)));
  size_t fed = 0;
  while (!stop.Raised()) {
    if (stream_.avail_in == 0 && fed < size) {
      // zlib never writes through next_in; the cast only satisfies its older prototypes.
      stream_.next_in = const_cast<Bytef*>(data + fed);
      stream_.avail_in = static_cast<uInt>(std::min(kDeflatePiece, size - fed));
      fed += stream_.avail_in;
    }
    // The output is addressed by what zlib has written so far, as growing it moves it.
    const size_t written = stream_.total_out;
    if (out.size() - start == written) out.resize(out.size() + kDeflatePiece);
    stream_.next_out = out.data() + start + written;
    stream_.avail_out = static_cast<uInt>(
        std::min<size_t>(out.size() - start - written, std::numeric_limits<uInt>::max()));
    const int result = deflate(&stream_, fed == size ? Z_FINISH : Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      out.resize(start + stream_.total_out);
      return true;
    }
    // There is always input or Z_FINISH, and room to write: anything else is a failure.
    if (result != Z_OK) break;
  }
  out.resize(start);
  return false;
}

// Appends a run of size bytes whose zlib stream is stored blocks (level 0), the bytes put
// in place by fill(at, into, length): the stream deflate makes at level 0, without its copy
// of the data nor the copy of the stream into out. False (out as it was) when fill fails.
template <typename Fill>
bool AppendStoredRun(size_t size, const Fill& fill, std::vector<uint8_t>& out) {
  constexpr size_t kBlock = 65535;  // the most a stored block holds
  const size_t blocks = std::max<size_t>(1, (size + kBlock - 1) / kBlock);
  const size_t streamLength = 2 + blocks * 5 + size + 4;
  const size_t start = out.size();
  wire::AppendRunHeader(out, streamLength);
  out.resize(out.size() + streamLength);
  uint8_t* next = out.data() + out.size() - streamLength;
  *next++ = 0x78;  // deflate with a 32 KiB window, no dictionary, fastest level
  *next++ = 0x01;
  uLong check = adler32_z(0, Z_NULL, 0);
  for (size_t block = 0; block < blocks; ++block) {
    const size_t at = block * kBlock;
    const auto length = static_cast<uint16_t>(std::min(kBlock, size - at));
    const auto complement = static_cast<uint16_t>(~length);
    const uint8_t head[5] = {uint8_t(block + 1 == blocks ? 1 : 0), uint8_t(length),
                             uint8_t(length >> 8), uint8_t(complement), uint8_t(complement >> 8)};
    next = std::copy(head, head + 5, next);
    if (length > 0 && !fill(at, next, length)) {
      out.resize(start);
      return false;
    }
    check = adler32_z(check, next, length);
    next += length;
  }
  for (int shift = 24; shift >= 0; shift -= 8) *next++ = static_cast<uint8_t>(check >> shift);
  return true;
}

bool AppendRun(const uint8_t* data, size_t size, int level, const StopFlags& stop,
               std::vector<uint8_t>& out) {
  if (level == 0) {
    return AppendStoredRun(
        size,
        [data](size_t at, uint8_t* into, size_t length) {
          std::copy(data + at, data + at + length, into);
          return true;
        },
        out);
  }
  // Buffers live for one run only: kept by each thread, megabytes of them would stay
  // resident for as long as the server runs, crowd or not.
  std::vector<uint8_t> stream;
  if (!RunDeflater::ForThisThread(level).AppendStream(data, size, stop, stream)) return false;
  wire::AppendRunHeader(out, stream.size());
  out.insert(out.end(), stream.begin(), stream.end());
  return true;
}

// Why a request of mode at lsn on disc is not served, or "" when it is; fills geometry.
std::string RefusalReason(const DiscImage* disc, uint8_t mode, uint32_t lsn,
                          SectorGeometry& geometry) {
  if (disc == nullptr) return "no disc selected";
  if (!GeometryFor(mode, disc->SectorSize(), geometry)) {
    return "read mode " + std::to_string(mode) + " is not served (modes 0, 1 and 3 are)";
  }
  if (lsn >= disc->SectorCount(geometry)) {
    return "sector " + std::to_string(lsn) + " is past the end of " + disc->Name();
  }
  return "";
}

}  // namespace

RunPolicy::RunPolicy(uint32_t minSectors, uint32_t maxSectors)
    : min_(std::max<uint32_t>(1, minSectors)), max_(std::max(min_, maxSectors)), length_(min_) {}

uint32_t RunPolicy::LengthFor(uint8_t mode, uint32_t lsn) {
  length_ = Peek(mode, lsn);
  return length_;
}

uint32_t RunPolicy::Peek(uint8_t mode, uint32_t lsn) const {
  return previous_ && mode == mode_ && lsn == nextLsn_ ? Grown() : min_;
}

uint32_t RunPolicy::Grown() const {
  const uint32_t most = limit_ == 0 ? max_ : std::clamp(limit_, min_, max_);
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{length_} * 2, most));
}

void RunPolicy::Served(uint8_t mode, uint32_t lsn, uint32_t sectors) {
  previous_ = true;
  mode_ = mode;
  nextLsn_ = uint64_t{lsn} + sectors;
}

bool RunPolicy::NextRun(uint8_t& mode, uint32_t& lsn, uint32_t& length) const {
  if (!previous_ || nextLsn_ > std::numeric_limits<uint32_t>::max()) return false;
  mode = mode_;
  lsn = static_cast<uint32_t>(nextLsn_);
  length = Grown();
  return true;
}

bool IsServable(const DiscImage* disc, uint8_t mode, uint32_t lsn) {
  SectorGeometry geometry{};
  return RefusalReason(disc, mode, lsn, geometry).empty();
}

namespace {

// Appends the reply carrying count sectors of geometry from lsn of disc; false when they
// cannot be read or compressed, or stop was raised.
bool AppendSectors(const DiscImage& disc, const SectorGeometry& geometry, uint32_t lsn,
                   uint32_t count, const ReplySettings& settings, const StopFlags& stop,
                   std::vector<uint8_t>& out) {
  if (!settings.single && settings.level == 0 && geometry.stride == geometry.count) {
    // The sectors lie end to end in the image: each block is read straight into place.
    const uint64_t start = uint64_t{lsn} * geometry.stride + geometry.skip;
    return AppendStoredRun(
        size_t{count} * geometry.count,
        [&disc, start](size_t at, uint8_t* into, size_t length) {
          return disc.ReadBytes(start + at, into, length);
        },
        out);
  }
  std::vector<uint8_t> raw;
  if (!disc.ReadSectors(geometry, lsn, count, raw)) return false;
  if (!settings.single) return AppendRun(raw.data(), raw.size(), settings.level, stop, out);
  out.push_back(protocol::kSingleSector);
  out.insert(out.end(), raw.begin(), raw.end());
  return true;
}

}  // namespace

ReplyOutcome MakeSectorReply(const DiscImage* disc, uint8_t mode, uint32_t lsn, uint32_t wanted,
                             const ReplySettings& settings, const StopFlags& stop,
                             std::vector<uint8_t>& out, uint32_t& sectors) {
  out.clear();
  sectors = 0;
  SectorGeometry geometry{};
  std::string why = RefusalReason(disc, mode, lsn, geometry);
  if (!why.empty()) {
    AnswerRefusedRequest(why, settings.level, out);
    return ReplyOutcome::kRefused;
  }
  if (stop.Raised()) return ReplyOutcome::kGivenUp;
  const uint64_t left = disc->SectorCount(geometry) - lsn;
  const auto count = static_cast<uint32_t>(std::min<uint64_t>(settings.single ? 1 : wanted, left));
  if (!AppendSectors(*disc, geometry, lsn, count, settings, stop, out)) {
    if (stop.Raised()) {
      out.clear();
      return ReplyOutcome::kGivenUp;
    }
    why = "cannot read or compress sector " + std::to_string(lsn) + " of " + disc->Name();
  }
  if (!why.empty()) {
    AnswerRefusedRequest(why, settings.level, out);
    return ReplyOutcome::kRefused;
  }
  sectors = count;
  return ReplyOutcome::kServed;
}

ReplyOutcome AnswerSectorRequest(const DiscImage* disc, uint8_t mode, uint32_t lsn,
                                 const ReplySettings& settings, const StopFlags& stop,
                                 RunPolicy& policy, std::vector<uint8_t>& out, uint32_t& sectors) {
  const uint32_t wanted = settings.single ? 1 : policy.LengthFor(mode, lsn);
  const ReplyOutcome outcome =
      MakeSectorReply(disc, mode, lsn, wanted, settings, stop, out, sectors);
  if (outcome != ReplyOutcome::kServed) {
    policy.Reset();
  } else if (!settings.single) {
    policy.Served(mode, lsn, sectors);
  }
  return outcome;
}

namespace {
// Writes into out a refusal: a text, then an empty run.
void AppendRefusal(const std::string& text, int level, std::vector<uint8_t>& out) {
  out.clear();
  wire::AppendText(out, text + "\n");
  AppendRun(nullptr, 0, level, StopFlags{}, out);
}
}  // namespace

void AnswerRefusedRequest(const std::string& why, int level, std::vector<uint8_t>& out) {
  AppendRefusal("Sector request refused: " + why, level, out);
}

ReplyOutcome AnswerTailRequest(const DiscImage* disc, int level, std::vector<uint8_t>& out) {
  out.clear();
  const uint64_t tail =
      disc == nullptr ? 0 : disc->Size() % static_cast<uint64_t>(disc->SectorSize());
  std::string why = disc == nullptr ? "no disc selected" : disc->Name() + " ends at a whole sector";
  if (tail != 0) {
    std::vector<uint8_t> sector(static_cast<size_t>(disc->SectorSize()), 0);
    if (disc->ReadBytes(disc->Size() - tail, sector.data(), static_cast<size_t>(tail)) &&
        AppendRun(sector.data(), sector.size(), level, StopFlags{}, out)) {
      return ReplyOutcome::kServed;
    }
    why = "cannot read the last bytes of " + disc->Name();
  }
  AppendRefusal("Tail request refused: " + why, level, out);
  return ReplyOutcome::kRefused;
}

PreparedRun::PreparedRun(const DiscImage* disc, uint8_t mode, uint32_t lsn, uint32_t length,
                         const ReplySettings& settings)
    : disc_(disc), mode_(mode), lsn_(lsn), length_(length), settings_(settings) {}

bool PreparedRun::Answers(const DiscImage* disc, uint8_t mode, uint32_t lsn,
                          uint32_t length) const {
  return disc == disc_ && mode == mode_ && lsn == lsn_ && length == length_;
}

void PreparedRun::Make(const std::atomic<bool>& serverStopping) {
  const StopFlags stop{&serverStopping, &cancelled_};
  if (stop.Raised()) return;
  outcome_ = MakeSectorReply(disc_, mode_, lsn_, length_, settings_, stop, reply_, sectors_);
}

}  // namespace korvane::server
