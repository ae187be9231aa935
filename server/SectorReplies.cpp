// Run lengths, run compression and the bytes of sector replies.
#include "server/SectorReplies.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

#include "core/ImageLayout.h"
#include "server/DiscCatalog.h"

namespace korvane::server {
namespace {

// zlib streams (RFC 1950) for runs. Each worker thread keeps one deflate stream and resets
// it between runs, so a run costs no allocation inside zlib; the stream is set up again only
// when a run asks for another compression level.
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

  // Appends to out one complete zlib stream of data[0, size); false if zlib fails.
  bool AppendStream(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

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

bool RunDeflater::AppendStream(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  if (!ready_ || size > std::numeric_limits<uInt>::max()) return false;
  if (deflateReset(&stream_) != Z_OK) return false;
  const size_t start = out.size();
  const uLong bound = deflateBound(&stream_, static_cast<uLong>(size));
  out.resize(start + bound);
  // zlib never writes through next_in; the cast only satisfies its older prototypes.
  stream_.next_in = const_cast<Bytef*>(data);
  stream_.avail_in = static_cast<uInt>(size);
  stream_.next_out = out.data() + start;
  stream_.avail_out = static_cast<uInt>(bound);
  if (deflate(&stream_, Z_FINISH) != Z_STREAM_END) {
    out.resize(start);
    return false;
  }
  out.resize(start + (bound - stream_.avail_out));
  return true;
}

// Raw sectors of the run being compressed; each worker thread reuses its own.
std::vector<uint8_t>& ThreadScratch() {
  thread_local std::vector<uint8_t> scratch;
  return scratch;
}

bool AppendRun(const uint8_t* data, size_t size, int level, std::vector<uint8_t>& out) {
  thread_local std::vector<uint8_t> stream;
  stream.clear();
  if (!RunDeflater::ForThisThread(level).AppendStream(data, size, stream)) return false;
  AppendRunHeader(out, stream.size());
  out.insert(out.end(), stream.begin(), stream.end());
  return true;
}

}  // namespace

RunPolicy::RunPolicy(uint32_t minSectors, uint32_t maxSectors)
    : min_(std::max<uint32_t>(1, minSectors)), max_(std::max(min_, maxSectors)), length_(min_) {}

uint32_t RunPolicy::LengthFor(uint8_t mode, uint32_t lsn) {
  if (previous_ && mode == mode_ && lsn == nextLsn_) {
    length_ = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{length_} * 2, max_));
  } else {
    length_ = min_;
  }
  return length_;
}

void RunPolicy::Served(uint8_t mode, uint32_t lsn, uint32_t sectors) {
  previous_ = true;
  mode_ = mode;
  nextLsn_ = uint64_t{lsn} + sectors;
}

bool AnswerSectorRequest(const DiscImage* disc, uint8_t mode, uint32_t lsn,
                         const ReplySettings& settings, RunPolicy& policy,
                         std::vector<uint8_t>& out) {
  out.clear();
  SectorGeometry geometry{};
  std::string why;
  if (disc == nullptr) {
    why = "no disc selected";
  } else if (!GeometryFor(mode, disc->SectorSize(), geometry)) {
    why = "read mode " + std::to_string(mode) + " is not served (modes 0, 1 and 3 are)";
  } else if (lsn >= disc->SectorCount(geometry)) {
    why = "sector " + std::to_string(lsn) + " is past the end of " + disc->Name();
  }
  if (!why.empty()) {
    policy.Reset();
    AnswerRefusedRequest(why, settings.level, out);
    return false;
  }
  const uint64_t left = disc->SectorCount(geometry) - lsn;
  const uint32_t wanted = settings.single ? 1 : policy.LengthFor(mode, lsn);
  const auto count = static_cast<uint32_t>(std::min<uint64_t>(wanted, left));
  std::vector<uint8_t>& sectors = ThreadScratch();
  if (!disc->ReadSectors(geometry, lsn, count, sectors)) {
    why = "cannot read sector " + std::to_string(lsn) + " of " + disc->Name();
  } else if (settings.single) {
    out.push_back(kKindSingleSector);
    out.insert(out.end(), sectors.begin(), sectors.end());
  } else if (!AppendRun(sectors.data(), sectors.size(), settings.level, out)) {
    why = "cannot compress the sectors";
  }
  if (!why.empty()) {
    policy.Reset();
    AnswerRefusedRequest(why, settings.level, out);
    return false;
  }
  if (!settings.single) policy.Served(mode, lsn, count);
  return true;
}

void AnswerRefusedRequest(const std::string& why, int level, std::vector<uint8_t>& out) {
  out.clear();
  AppendText(out, "Sector request refused: " + why + "\n");
  AppendRun(nullptr, 0, level, out);
}

}  // namespace korvane::server
