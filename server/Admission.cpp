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

Admission ConnectionLimits::Admit(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Over(held_, caps_.total)) return Admission::kServerFull;
  const auto found = perAddress_.find(address);
  if (found != perAddress_.end() && Over(found->second, caps_.perAddress)) {
    return Admission::kAddressFull;
  }
  if (Over(loggingIn_, caps_.loggingIn)) return Admission::kLoginsFull;
  ++held_;
  ++loggingIn_;
  if (!address.empty()) ++perAddress_[address];
  return Admission::kAdmitted;
}

Admission ConnectionLimits::Readdress(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = perAddress_.find(to);
  if (found != perAddress_.end() && Over(found->second, caps_.perAddress)) {
    return Admission::kAddressFull;
  }
  ForgetAddress(from);
  if (!to.empty()) ++perAddress_[to];
  return Admission::kAdmitted;
}

void ConnectionLimits::ForgetAddress(const std::string& address) {
  const auto found = perAddress_.find(address);
  if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
}

void ConnectionLimits::LoggedIn(const std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  --loggingIn_;
}

void ConnectionLimits::Left(const std::string& address, bool loggedIn) {
  std::lock_guard<std::mutex> lock(mutex_);
  --held_;
  if (!loggedIn) --loggingIn_;
  ForgetAddress(address);
}

size_t ConnectionLimits::Held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

AdmissionTicket::AdmissionTicket(AdmissionTicket&& other) noexcept
    : limits_(other.limits_), address_(std::move(other.address_)), loggedIn_(other.loggedIn_) {
  other.limits_ = nullptr;
}

AdmissionTicket& AdmissionTicket::operator=(AdmissionTicket&& other) noexcept {
  if (this != &other) {
    Release();
    limits_ = other.limits_;
    address_ = std::move(other.address_);
    loggedIn_ = other.loggedIn_;
    other.limits_ = nullptr;
  }
  return *this;
}

void AdmissionTicket::LoggedIn() {
  if (limits_ == nullptr || loggedIn_) return;
  loggedIn_ = true;
  limits_->LoggedIn(address_);
}

Admission AdmissionTicket::Readdress(const std::string& address) {
  if (limits_ == nullptr) return Admission::kAdmitted;
  const Admission verdict = limits_->Readdress(address_, address);
  if (verdict == Admission::kAdmitted) address_ = address;
  return verdict;
}

void AdmissionTicket::Release() {
  if (limits_ == nullptr) return;
  limits_->Left(address_, loggedIn_);
  limits_ = nullptr;
}

std::chrono::milliseconds LoginThrottle::Step(uint32_t failures) const {
  const uint32_t doublings = std::min<uint32_t>(failures - 1, 20);
  return std::min(maxDelay_, kFirstLoginDelay * (int64_t{1} << doublings));
}

LoginThrottle::Clock::time_point LoginThrottle::CheckTime(const std::string& address,
                                                          Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = records_.find(address);
  if (found == records_.end()) return now;
  Record& record = found->second;
  if (now - record.lastFailure > kFailureMemory) {
    records_.erase(found);
    return now;
  }
  const Clock::time_point turn = std::max(now, record.next);
  record.next = turn + Step(record.failures);
  return turn;
}

void LoginThrottle::Failed(const std::string& address, Clock::time_point now) {
  if (maxDelay_.count() == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (records_.size() >= kMaxRecords && records_.find(address) == records_.end()) ForgetOld(now);
  Record& record = records_[address];
  if (record.failures > 0 && now - record.lastFailure > kFailureMemory) record = Record{};
  ++record.failures;
  record.lastFailure = now;
  record.next = std::max(record.next, now + Step(record.failures));
}

void LoginThrottle::ForgetOld(Clock::time_point now) {
  for (auto it = records_.begin(); it != records_.end();) {
    it = now - it->second.lastFailure > kFailureMemory ? records_.erase(it) : std::next(it);
  }
  if (records_.size() >= kMaxRecords) records_.clear();
}

}  // namespace korvane::server
