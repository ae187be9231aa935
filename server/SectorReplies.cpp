// Run lengths and the bytes of sector replies.
#include "server/SectorReplies.h"

#include <algorithm>

#include "core/ImageLayout.h"
#include "server/DiscCatalog.h"
#include "server/RunDeflater.h"

namespace korvane::server {
namespace {

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
    : min_(std::max<uint32_t>(1, minSectors)),
      max_(std::max(min_, maxSectors)),
      length_(min_) {}

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
