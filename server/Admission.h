// Who may hold a connection to the server, and how fast an address may try passwords.
//
// ConnectionLimits counts the connections held: in all, per client address, and those not
// logged in yet; a connection that would pass one of its caps is refused before a session
// is made for it. Each admitted connection carries an AdmissionTicket, which gives its
// place back when the connection ends.
//
// LoginThrottle slows password guessing per address: every failed login from an address
// doubles the wait before the next login from it is checked (100 ms, 200 ms, ... up to the
// configured maximum). Logins from an address that has failed wait in line and are checked
// one at a time, so parallel connections guess no faster than one; only a failure delays
// the next in line, so a right password waits for the delay earned so far and for the
// failures of those ahead of it, never for other right ones. A login whose connection
// closes leaves the line at once. A user who logs in is forgiven the failures of that user
// name (typing mistakes, as the right password shows), though not those of others, so one
// account cannot clear the way for guessing another. A client sees only a slower answer.
// An address that fails no login for a quarter of an hour is forgotten.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane::server {

enum class Admission { kAdmitted, kServerFull, kAddressFull, kLoginsFull, kNotABalancer };

// The text sent to a connection refused for why (not kAdmitted).
const char* RefusalText(Admission why);

struct ConnectionCaps {
  size_t total = 0;  // 0: no cap, as for each of them
  size_t perAddress = 0;
  size_t loggingIn = 0;
};

class ConnectionLimits final {
 public:
  explicit ConnectionLimits(ConnectionCaps caps) : caps_(caps) {}

  // The caps in force.
  ConnectionCaps Caps() const;
  // Lowers the total cap to total (when lower, or when there was none).
  void LowerTotal(size_t total);

  // Counts a new connection from address as logging in, unless that passes a cap. An empty
  // address (not known yet) is counted in all but under no address.
  Admission Admit(const std::string& address);
  // Counts the connection counted under from (empty) under to instead, unless to is full.
  Admission Readdress(const std::string& from, const std::string& to);
  // The connection from address that was logging in has logged in.
  void LoggedIn(const std::string& address);
  // A connection from address has ended; loggedIn tells whether it had logged in.
  void Left(const std::string& address, bool loggedIn);

  // Connections held now.
  size_t Held() const;

 private:
  void ForgetAddress(const std::string& address);  // under mutex_

  mutable std::mutex mutex_;
  ConnectionCaps caps_;
  size_t held_ = 0;
  size_t loggingIn_ = 0;
  std::unordered_map<std::string, size_t> perAddress_;
};

// One admitted connection's place in its ConnectionLimits; movable, given back once.
class AdmissionTicket final {
 public:
  AdmissionTicket() = default;
  AdmissionTicket(ConnectionLimits& limits, std::string address)
      : limits_(&limits), address_(std::move(address)) {}
  AdmissionTicket(AdmissionTicket&& other) noexcept;
  AdmissionTicket& operator=(AdmissionTicket&& other) noexcept;
  ~AdmissionTicket() { Release(); }

  // The client address the connection is counted under.
  const std::string& Address() const { return address_; }
  // Moves the connection from the logging-in count to the logged-in ones.
  void LoggedIn();
  // Counts the connection under address from now on, unless address is full.
  Admission Readdress(const std::string& address);
  // Gives the place back; later calls do nothing.
  void Release();

 private:
  ConnectionLimits* limits_ = nullptr;
  std::string address_;
  bool loggedIn_ = false;
};

class LoginThrottle final {
 public:
  using Clock = std::chrono::steady_clock;

  // maxDelayMs 0 turns the throttle off.
  explicit LoginThrottle(uint32_t maxDelayMs) : maxDelay_(maxDelayMs) {}

  // Asks the turn of the login login (an id no other waiting login has) from address, which
  // waits behind the logins from there that came before it: true when it may be checked
  // now, to be followed by Checked; false with the time to ask again in retryAt.
  bool TakeTurn(const std::string& address, uint64_t login, Clock::time_point now,
                Clock::time_point& retryAt);
  // The login that had its turn was checked at now, for user, and accepted or refused.
  void Checked(const std::string& address, uint64_t login, std::string_view user, bool accepted,
               Clock::time_point now);
  // The login from address that waited for its turn is gone: its place goes to the next.
  void Left(const std::string& address, uint64_t login);

 private:
  struct UserFailures {
    size_t user = 0;  // the hash of the user name
    uint32_t failures = 0;
  };
  struct Record {
    uint32_t failures = 0;
    Clock::time_point next;  // no login is checked before this
    Clock::time_point lastFailure;
    uint64_t checking = 0;                 // the login being checked, 0 for none
    std::deque<uint64_t> waiting;          // the logins waiting, first come first
    std::vector<UserFailures> failedUsers;  // the first few users that failed
  };

  std::chrono::milliseconds Step(uint32_t failures) const;
  static void Forgive(Record& record, size_t user);
  void ForgetIfDone(std::unordered_map<std::string, Record>::iterator found);
  void ForgetOld(Clock::time_point now);

  std::mutex mutex_;
  std::chrono::milliseconds maxDelay_;
  std::unordered_map<std::string, Record> records_;
};

}  // namespace korvane::server
