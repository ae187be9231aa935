// Players of a load: each on a thread of its own connects from its source address, logs in,
// waits for the release, then reads its range as the plugin reads on: it asks for the LSN
// after the run it got, inflates the run and checks every sector of it. A timed player
// starts its range again at its end until its time is up.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "LoadClients.h"
#include "protocol/ClientMessages.h"

namespace korvane::load {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Holds every player until all have logged in, then lets them go at one moment.
class Release final {
 public:
  explicit Release(size_t players) : waiting_(players) {}

  // Called by a player once it is ready (or has failed); returns the release time.
  Clock::time_point Arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--waiting_ == 0) {
      at_ = Clock::now();
      open_ = true;
      opened_.notify_all();
    }
    opened_.wait(lock, [this] { return open_; });
    return at_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  size_t waiting_;
  bool open_ = false;
  Clock::time_point at_;
};

// Asks for the run at lsn and checks it into sectors; the number of sectors it holds, 0 with
// result.error set when it fails.
uint64_t ReadRun(WireConnection& connection, const PlayPlan& plan, const LoadSettings& settings,
                 const SectorCheck& check, uint64_t lsn, std::string& sectors, PlayResult& result) {
  WireMessage reply;
  const auto asked = Clock::now();
  if (!connection.Send(wire::BuildSectorRequest(plan.mode, static_cast<uint32_t>(lsn))) ||
      !connection.Read(reply, settings.replyTimeoutMs, result.error)) {
    result.error = "at lsn " + std::to_string(lsn) + ": " + result.error;
    return 0;
  }
  result.longestWaitSeconds =
      std::max(result.longestWaitSeconds, SecondsBetween(asked, Clock::now()));
  ++result.runs;
  if (reply.kind != protocol::kRun) {
    result.error = "at lsn " + std::to_string(lsn) + " the reply was kind " +
                   std::to_string(reply.kind) + ": " + reply.body;
  } else if (!InflateRun(reply.body, sectors) || sectors.empty() ||
             sectors.size() % plan.sectorBytes != 0) {
    result.error = "the run at lsn " + std::to_string(lsn) + " does not inflate to sectors";
  } else if (!check(plan, static_cast<uint32_t>(lsn),
                    reinterpret_cast<const uint8_t*>(sectors.data()), sectors.size())) {
    result.error = "the run at lsn " + std::to_string(lsn) + " holds wrong bytes";
  } else {
    return sectors.size() / plan.sectorBytes;
  }
  return 0;
}

// Reads plan's range from the release on (over and over, when timed), into result.
void PlayRange(WireConnection& connection, const PlayPlan& plan, const LoadSettings& settings,
               const SectorCheck& check, Clock::time_point released, PlayResult& result) {
  std::string sectors;
  const uint64_t end = uint64_t{plan.first} + plan.count;
  const bool timed = settings.runSeconds > 0;
  const auto stopAt =
      released + std::chrono::duration_cast<Clock::duration>(
                     std::chrono::duration<double>(std::max(0.0, settings.runSeconds)));
  for (uint64_t lsn = plan.first; timed ? Clock::now() < stopAt : lsn < end;) {
    if (lsn >= end) lsn = plan.first;
    const uint64_t got = ReadRun(connection, plan, settings, check, lsn, sectors, result);
    if (got == 0) return;
    if (result.sectors == 0) result.secondsToFirst = SecondsBetween(released, Clock::now());
    result.sectors += got;
    lsn += got;
  }
  result.seconds = SecondsBetween(released, Clock::now());
  result.ok = true;
}

// The source address of player i: empty when the system picks it.
std::string SourceOf(const LoadSettings& settings, size_t i) {
  if (settings.playersPerSource <= 0) return {};
  return LoopbackAddress(settings.firstSource +
                         static_cast<uint32_t>(i / static_cast<size_t>(settings.playersPerSource)));
}

}  // namespace

LoadOutcome PlayAll(const LoadSettings& settings, const std::vector<PlayPlan>& plans,
                    const SectorCheck& check) {
  LoadOutcome outcome;
  outcome.results.resize(plans.size());
  Release release(plans.size());
  std::vector<std::thread> players;
  players.reserve(plans.size());
  for (size_t i = 0; i < plans.size(); ++i) {
    players.emplace_back([&, i] {
      PlayResult& result = outcome.results[i];
      WireConnection connection;
      bool ready = connection.Connect(settings.port, settings.host, SourceOf(settings, i));
      if (!ready) result.error = "cannot connect";
      ready = ready && LogInAndChoose(connection, settings.user, settings.password, plans[i].disc,
                                      settings.replyTimeoutMs, result.error);
      const Clock::time_point released = release.Arrive();
      if (ready) PlayRange(connection, plans[i], settings, check, released, result);
    });
  }
  for (std::thread& player : players) player.join();
  for (size_t i = 0; i < plans.size(); ++i) {
    const PlayResult& result = outcome.results[i];
    outcome.seconds = std::max(outcome.seconds, result.seconds);
    if (result.ok) outcome.bytes += result.sectors * plans[i].sectorBytes;
  }
  return outcome;
}

}  // namespace korvane::load
