// The log's queue and the thread that writes it out, the count of lines dropped, and the
// summaries of connections that closed before a login.
#include "server/ServerLog.h"

#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace korvane::server {

namespace {
// Addresses whose connections one interval tells apart; the others are summed up together.
constexpr size_t kAddressesKept = 4096;
constexpr const char* kOtherAddresses = "other addresses";
// How long the end of the log waits for a writer held up by its output.
constexpr std::chrono::seconds kEndWait{2};

// text with the local time in front, as one line.
std::string Stamped(std::string_view text) {
  char stamp[32] = "";
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  const bool known = localtime_s(&local, &now) == 0;
#else
  const bool known = localtime_r(&now, &local) != nullptr;
#endif
  if (known) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string line(stamp);
  line += ' ';
  line.append(text);
  line += '\n';
  return line;
}
}  // namespace

struct ServerLog::State {
  std::FILE* out;
  std::mutex mutex;
  std::condition_variable wake;     // a line is queued, or the log ends
  std::condition_variable written;  // what was taken from the queue is written
  std::deque<std::string> queue;
  size_t dropped = 0;
  size_t inFlight = 0;  // lines taken from the queue and not written yet
  bool ending = false;
  bool done = false;
  Clock::time_point intervalStart = Clock::now();
  size_t fullThisInterval = 0;
  std::map<std::string, size_t> fullByAddress;
  std::map<std::string, size_t> closedByAddress;

  // Queues a stamped line, or counts it dropped (under mutex).
  void Queue(std::string_view text) {
    if (queue.size() >= kQueueLines) {
      ++dropped;
      return;
    }
    queue.push_back(Stamped(text));
    wake.notify_one();
  }

  // Sums up the interval's connections that closed before a login, once it is over or when
  // forced (under mutex).
  void SummariseIfDue(Clock::time_point now, bool force = false) {
    if (!force && now - intervalStart < kSummaryInterval) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - intervalStart);
    for (const auto& [address, count] : closedByAddress) {
      Queue(std::to_string(count) + " more connections from " + address +
            " closed before a login in the last " + std::to_string(seconds.count()) + " s");
    }
    closedByAddress.clear();
    fullByAddress.clear();
    fullThisInterval = 0;
    intervalStart = now;
  }

  void Run();
};

void ServerLog::State::Run() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    wake.wait_for(lock, std::chrono::seconds(1),
                  [this] { return !queue.empty() || dropped > 0 || ending; });
    SummariseIfDue(Clock::now(), ending);
    std::vector<std::string> lines;
    if (dropped > 0) {
      lines.push_back(Stamped(std::to_string(dropped) + " log lines dropped"));
      dropped = 0;
    }
    lines.insert(lines.end(), std::make_move_iterator(queue.begin()),
                 std::make_move_iterator(queue.end()));
    queue.clear();
    inFlight = lines.size();
    const bool last = ending;
    lock.unlock();
    // Only this thread ever waits for the output.
    for (const std::string& line : lines) std::fwrite(line.data(), 1, line.size(), out);
    if (!lines.empty()) std::fflush(out);
    lock.lock();
    inFlight = 0;
    written.notify_all();
    if (last && queue.empty()) {
      done = true;
      written.notify_all();
      return;
    }
  }
}

ServerLog::ServerLog(bool quiet, std::FILE* out) : quiet_(quiet) {
  if (quiet_) return;
  state_ = std::make_shared<State>();
  state_->out = out;
  writer_ = std::thread([state = state_] { state->Run(); });
}

ServerLog::~ServerLog() {
  if (!state_) return;
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->ending = true;
    state_->wake.notify_one();
    // An output nobody drains must not keep the server from ending: the writer is let go,
    // with what it shares.
    if (!state_->written.wait_for(lock, kEndWait, [this] { return state_->done; })) {
      lock.unlock();
      writer_.detach();
      return;
    }
  }
  writer_.join();
}

void ServerLog::Line(std::string_view text) {
  if (quiet_) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->SummariseIfDue(Clock::now());
  state_->Queue(text);
}

bool ServerLog::ConnectionInFull(const std::string& address) {
  if (quiet_) return true;
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& state = *state_;
  state.SummariseIfDue(Clock::now());
  if (state.fullThisInterval >= kFullConnections) return false;
  const auto found = state.fullByAddress.find(address);
  if (found == state.fullByAddress.end()) {
    if (state.fullByAddress.size() >= kAddressesKept) return false;
    state.fullByAddress.emplace(address, 1);
  } else if (found->second >= kFullConnectionsPerAddress) {
    return false;
  } else {
    ++found->second;
  }
  ++state.fullThisInterval;
  return true;
}

void ServerLog::ClosedBeforeLogin(const std::string& address) {
  if (quiet_) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::map<std::string, size_t>& closed = state_->closedByAddress;
  const bool kept = closed.count(address) != 0 || closed.size() < kAddressesKept;
  ++closed[kept ? address : kOtherAddresses];
}

void ServerLog::Flush() {
  if (quiet_) return;
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->written.wait(lock, [this] {
    return (state_->queue.empty() && state_->inFlight == 0 && state_->dropped == 0) ||
           state_->done;
  });
}

}  // namespace korvane::server
