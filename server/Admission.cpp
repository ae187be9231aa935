// Connection caps and the login throttle.
#include "server/Admission.h"

#include <algorithm>

namespace korvane::server {
namespace {

constexpr std::chrono::milliseconds kFirstLoginDelay{100};
constexpr std::chrono::minutes kFailureMemory{15};
// Addresses remembered at most: past this the old ones are forgotten first, and should a
// crowd of fresh addresses still fill it, everything is, rather than memory growing.
constexpr size_t kMaxRecords = 65536;
// How soon a login behind the first in line asks again after the first one's turn.
constexpr std::chrono::milliseconds kInLineRetry{20};
// Users whose failures an address's record keeps apart, to forgive them on their login.
constexpr size_t kUsersForgiven = 4;
// Users failing from one address past which all its logins share one line.
constexpr size_t kSharedLineUsers = 4;

bool Over(size_t count, size_t cap) {
  return cap != 0 && count >= cap;
}

}  // namespace

const char* RefusalText(Admission why) {
  switch (why) {
    case Admission::kServerFull:
      return "The server is full, please try again later\n";
    case Admission::kAddressFull:
      return "Too many connections from your address, closing this one\n";
    case Admission::kLoginsFull:
      return "Too many connections are logging in, please try again later\n";
    case Admission::kAddressLoginsFull:
      return "Too many connections from your address are logging in, please try again later\n";
    case Admission::kNotABalancer:
      return "This server takes connections through its balancer only, closing this one\n";
    case Admission::kAdmitted:
      break;
  }
  return "";
}

ConnectionCaps ConnectionLimits::Caps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return caps_;
}

void ConnectionLimits::LowerTotal(size_t total) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (caps_.total == 0 || total < caps_.total) caps_.total = total;
}

Admission ConnectionLimits::Admit(const std::string& address, uint64_t& serial) {
  std::function<void()> closeForRoom;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Over(held_, caps_.total)) return Admission::kServerFull;
    const auto found = perAddress_.find(address);
    if (found != perAddress_.end() && Over(found->second, caps_.perAddress)) {
      return Admission::kAddressFull;
    }
    const auto logging = loggingInPerAddress_.find(address);
    if (!address.empty() && logging != loggingInPerAddress_.end() &&
        Over(logging->second, caps_.loggingInPerAddress)) {
      return Admission::kAddressLoginsFull;
    }
    if (Over(loggingIn_.size(), caps_.loggingIn)) {
      closeForRoom = MakeRoomFor(address);
      if (!closeForRoom) return Admission::kLoginsFull;
    }
    ++held_;
    serial = ++nextSerial_;
    loggingIn_.push_back({serial, address, true, {}});
    if (!address.empty()) {
      ++perAddress_[address];
      ++loggingInPerAddress_[address];
    }
  }
  // The connection closed for room leaves its count at once; its session ends on its own
  // thread.
  if (closeForRoom) closeForRoom();
  return Admission::kAdmitted;
}

std::function<void()> ConnectionLimits::MakeRoomFor(const std::string& address) {
  // The address holding the most connections logging in gives way, when it holds at least
  // two more than the newcomer's: a crowd of addresses, one each, is refused as before.
  const auto own = loggingInPerAddress_.find(address);
  const size_t newcomerHolds = own == loggingInPerAddress_.end() ? 0 : own->second;
  std::string most;
  size_t mostHeld = newcomerHolds + 1;
  for (const auto& [holder, count] : loggingInPerAddress_) {
    if (holder != address && count > mostHeld) {
      most = holder;
      mostHeld = count;
    }
  }
  if (most.empty()) return {};
  for (auto it = loggingIn_.begin(); it != loggingIn_.end(); ++it) {
    if (it->address == most && it->silent && it->close) {
      std::function<void()> close = std::move(it->close);
      StopLoggingIn(it->serial);
      return close;
    }
  }
  return {};
}

std::list<ConnectionLimits::Newcomer>::iterator ConnectionLimits::Find(uint64_t serial) {
  return std::find_if(loggingIn_.begin(), loggingIn_.end(),
                      [serial](const Newcomer& n) { return n.serial == serial; });
}

void ConnectionLimits::StopLoggingIn(uint64_t serial) {
  const auto found = Find(serial);
  if (found == loggingIn_.end()) return;
  const auto count = loggingInPerAddress_.find(found->address);
  if (count != loggingInPerAddress_.end() && --count->second == 0) {
    loggingInPerAddress_.erase(count);
  }
  loggingIn_.erase(found);
}

Admission ConnectionLimits::Readdress(uint64_t serial, const std::string& from,
                                      const std::string& to) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = perAddress_.find(to);
  if (found != perAddress_.end() && Over(found->second, caps_.perAddress)) {
    return Admission::kAddressFull;
  }
  const auto newcomer = Find(serial);
  if (newcomer != loggingIn_.end() && !to.empty()) {
    const auto logging = loggingInPerAddress_.find(to);
    if (logging != loggingInPerAddress_.end() && Over(logging->second, caps_.loggingInPerAddress)) {
      return Admission::kAddressLoginsFull;
    }
    const bool silent = newcomer->silent;
    std::function<void()> close = std::move(newcomer->close);
    StopLoggingIn(serial);
    loggingIn_.push_back({serial, to, silent, std::move(close)});
    ++loggingInPerAddress_[to];
  }
  ForgetAddress(from);
  if (!to.empty()) ++perAddress_[to];
  return Admission::kAdmitted;
}

void ConnectionLimits::SetCloser(uint64_t serial, std::function<void()> close) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = Find(serial);
  if (found != loggingIn_.end()) found->close = std::move(close);
}

void ConnectionLimits::Spoke(uint64_t serial) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = Find(serial);
  if (found != loggingIn_.end()) found->silent = false;
}

void ConnectionLimits::ForgetAddress(const std::string& address) {
  const auto found = perAddress_.find(address);
  if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
}

void ConnectionLimits::LoggedIn(uint64_t serial, const std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  StopLoggingIn(serial);
}

void ConnectionLimits::Left(uint64_t serial, const std::string& address, bool loggedIn) {
  std::lock_guard<std::mutex> lock(mutex_);
  --held_;
  if (!loggedIn) StopLoggingIn(serial);
  ForgetAddress(address);
}

size_t ConnectionLimits::Held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

AdmissionTicket::AdmissionTicket(AdmissionTicket&& other) noexcept
    : limits_(other.limits_), serial_(other.serial_), address_(std::move(other.address_)),
      loggedIn_(other.loggedIn_) {
  other.limits_ = nullptr;
}

AdmissionTicket& AdmissionTicket::operator=(AdmissionTicket&& other) noexcept {
  if (this != &other) {
    Release();
    limits_ = other.limits_;
    serial_ = other.serial_;
    address_ = std::move(other.address_);
    loggedIn_ = other.loggedIn_;
    other.limits_ = nullptr;
  }
  return *this;
}

void AdmissionTicket::LoggedIn() {
  if (limits_ == nullptr || loggedIn_) return;
  loggedIn_ = true;
  limits_->LoggedIn(serial_, address_);
}

void AdmissionTicket::SetCloser(std::function<void()> close) {
  if (limits_ != nullptr) limits_->SetCloser(serial_, std::move(close));
}

void AdmissionTicket::Spoke() {
  if (limits_ != nullptr) limits_->Spoke(serial_);
}

Admission AdmissionTicket::Readdress(const std::string& address) {
  if (limits_ == nullptr) return Admission::kAdmitted;
  const Admission verdict = limits_->Readdress(serial_, address_, address);
  if (verdict == Admission::kAdmitted) address_ = address;
  return verdict;
}

void AdmissionTicket::Release() {
  if (limits_ == nullptr) return;
  limits_->Left(serial_, address_, loggedIn_);
  limits_ = nullptr;
}

std::chrono::milliseconds LoginThrottle::Step(uint32_t failures) const {
  const uint32_t doublings = std::min<uint32_t>(failures - 1, 20);
  return std::min(maxDelay_, kFirstLoginDelay * (int64_t{1} << doublings));
}

std::string LoginThrottle::LineOf(const std::string& address, size_t user,
                                  Clock::time_point now) {
  const auto found = failing_.find(address);
  if (found != failing_.end() && now - found->second.lastFailure > kFailureMemory) {
    failing_.erase(found);
  } else if (found != failing_.end() && found->second.users.size() >= kSharedLineUsers) {
    return address + "\n";
  }
  return address + "\n" + std::to_string(user);
}

void LoginThrottle::NoteFailingUser(const std::string& address, size_t user, bool failed,
                                    Clock::time_point now) {
  auto found = failing_.find(address);
  if (!failed) {
    if (found == failing_.end()) return;
    std::vector<size_t>& users = found->second.users;
    users.erase(std::remove(users.begin(), users.end(), user), users.end());
    if (users.empty()) failing_.erase(found);
    return;
  }
  if (found == failing_.end()) {
    if (failing_.size() >= kMaxRecords) failing_.clear();
    found = failing_.emplace(address, FailingUsers{}).first;
  }
  std::vector<size_t>& users = found->second.users;
  if (users.size() < kSharedLineUsers && std::find(users.begin(), users.end(), user) == users.end()) {
    users.push_back(user);
  }
  found->second.lastFailure = now;
}

bool LoginThrottle::TakeTurn(const std::string& address, std::string_view user, uint64_t login,
                             Clock::time_point now, Clock::time_point& retryAt) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto line = lineOf_.find(login);
  if (line == lineOf_.end()) {
    line = lineOf_.emplace(login, LineOf(address, std::hash<std::string_view>{}(user), now)).first;
  }
  const auto found = records_.find(line->second);
  // An address that failed nothing is not held up: its logins are checked as they come.
  if (found == records_.end()) return true;
  Record& record = found->second;
  if (record.failures > 0 && now - record.lastFailure > kFailureMemory) {
    record.failures = 0;
    record.failedUsers.clear();
    record.next = now;
  }
  if (std::find(record.waiting.begin(), record.waiting.end(), login) == record.waiting.end()) {
    record.waiting.push_back(login);
  }
  const bool first = record.waiting.front() == login && record.checking == 0;
  if (first && now >= record.next) {
    record.waiting.pop_front();
    record.checking = login;
    return true;
  }
  // One behind the first asks again a moment after the first's turn, when that one has
  // either failed, and moved the turn on, or not, and left it to the next.
  retryAt = std::max(record.next, now) + (first ? Clock::duration{} : kInLineRetry);
  return false;
}

void LoginThrottle::Checked(const std::string& address, uint64_t login, std::string_view user,
                            bool accepted, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t userKey = std::hash<std::string_view>{}(user);
  std::string line = LineOf(address, userKey, now);
  if (const auto known = lineOf_.find(login); known != lineOf_.end()) {
    line = std::move(known->second);
    lineOf_.erase(known);
  }
  if (maxDelay_.count() != 0) NoteFailingUser(address, userKey, !accepted, now);
  auto found = records_.find(line);
  if (accepted) {
    if (found == records_.end()) return;
    if (found->second.checking == login) found->second.checking = 0;
    Forgive(found->second, userKey);
    return ForgetIfDone(found);
  }
  if (maxDelay_.count() == 0) return;
  if (found == records_.end()) {
    if (records_.size() >= kMaxRecords) ForgetOld(now);
    found = records_.emplace(line, Record{}).first;
  }
  Record& record = found->second;
  if (record.checking == login) record.checking = 0;
  if (record.failures > 0 && now - record.lastFailure > kFailureMemory) {
    record.failures = 0;
    record.failedUsers.clear();
  }
  ++record.failures;
  record.lastFailure = now;
  record.next = std::max(record.next, now + Step(record.failures));
  const auto counted = std::find_if(record.failedUsers.begin(), record.failedUsers.end(),
                                    [userKey](const UserFailures& u) { return u.user == userKey; });
  if (counted != record.failedUsers.end()) {
    ++counted->failures;
  } else if (record.failedUsers.size() < kUsersForgiven) {
    record.failedUsers.push_back({userKey, 1});
  }
}

void LoginThrottle::Left(const std::string& address, uint64_t login) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto line = lineOf_.find(login);
  if (line == lineOf_.end()) return;
  const auto found = records_.find(line->second);
  lineOf_.erase(line);
  (void)address;
  if (found == records_.end()) return;
  std::deque<uint64_t>& waiting = found->second.waiting;
  waiting.erase(std::remove(waiting.begin(), waiting.end(), login), waiting.end());
  ForgetIfDone(found);
}

void LoginThrottle::Forgive(Record& record, size_t user) {
  const auto counted = std::find_if(record.failedUsers.begin(), record.failedUsers.end(),
                                    [user](const UserFailures& u) { return u.user == user; });
  if (counted == record.failedUsers.end()) return;
  record.failures -= std::min(record.failures, counted->failures);
  record.failedUsers.erase(counted);
  if (record.failures == 0) record.next = Clock::time_point{};
}

void LoginThrottle::ForgetIfDone(std::unordered_map<std::string, Record>::iterator found) {
  const Record& record = found->second;
  if (record.failures == 0 && record.checking == 0 && record.waiting.empty()) {
    records_.erase(found);
  }
}

void LoginThrottle::ForgetOld(Clock::time_point now) {
  for (auto it = records_.begin(); it != records_.end();) {
    const bool old = now - it->second.lastFailure > kFailureMemory &&
                     it->second.waiting.empty() && it->second.checking == 0;
    it = old ? records_.erase(it) : std::next(it);
  }
  if (records_.size() >= kMaxRecords) records_.clear();
}

}  // namespace korvane::server
