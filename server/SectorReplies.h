// Answers to sector requests. A servable request (mode 0, 1 or 3 on a selected disc, LSN
// inside it) gets a compressed run of whole sectors starting at its LSN, clipped to the end
// of the image, or one sector when runs are off. Anything else gets a text saying why and,
// in the same write, a compressed run of nothing, so that a client always has its reply.
//
// Run lengths follow the reading: a session starts at the minimum, doubles (up to the
// maximum) while each request continues where the previous run ended, and falls back to the
// minimum on any other request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/WireProtocol.h"

namespace korvane::server {

class DiscImage;

// One session's run lengths.
class RunPolicy final {
 public:
  RunPolicy(uint32_t minSectors, uint32_t maxSectors);

  // The length of the run to serve for a request of mode at lsn.
  uint32_t LengthFor(uint8_t mode, uint32_t lsn);

  // Notes that a run of sectors sectors was served from lsn in mode.
  void Served(uint8_t mode, uint32_t lsn, uint32_t sectors);

  // Forgets the previous run, so the next request starts at the minimum.
  void Reset() { previous_ = false; }

 private:
  uint32_t min_;
  uint32_t max_;
  uint32_t length_;
  bool previous_ = false;
  uint8_t mode_ = 0;
  uint64_t nextLsn_ = 0;
};

struct ReplySettings {
  int level = 1;
  bool single = false;
};

// Writes into out the whole reply to a request of mode at lsn on disc (nullptr when none is
// selected); true when sectors were served, false when out holds a refusal.
bool AnswerSectorRequest(const DiscImage* disc, uint8_t mode, uint32_t lsn,
                         const ReplySettings& settings, RunPolicy& policy,
                         std::vector<uint8_t>& out);

// Writes into out the refusal of a request: a text holding why, then an empty run.
void AnswerRefusedRequest(const std::string& why, int level, std::vector<uint8_t>& out);

}  // namespace korvane::server
