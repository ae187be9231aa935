// Who may hold a connection to the server, and how fast an address may try passwords.
//
// ConnectionLimits counts the connections held: in all, per client address, and those not
// logged in yet; a connection that would pass one of its caps is refused before a session
// is made for it. Each admitted connection carries an AdmissionTicket, which gives its
// place back when the connection ends.
//
// LoginThrottle slows password guessing per address: every failed login from an address
// doubles the wait before the next login from it is checked (100 ms, 200 ms, ... up to the
// configured maximum), and logins arriving together take their turns one after another, so
// parallel connections guess no faster than one. A client sees only a slower answer. An
// address that fails no login for a quarter of an hour is forgotten.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace korvane::server {

enum class Admission { kAdmitted, kServerFull, kAddressFull, kLoginsFull };

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

  // When a login from address that arrived at now may be checked; takes that turn.
  Clock::time_point CheckTime(const std::string& address, Clock::time_point now);
  // A login from address was refused at now.
  void Failed(const std::string& address, Clock::time_point now);

 private:
  struct Record {
    uint32_t failures = 0;
    Clock::time_point next;  // the earliest turn left for the next check
    Clock::time_point lastFailure;
  };

  std::chrono::milliseconds Step(uint32_t failures) const;
  void ForgetOld(Clock::time_point now);

  std::mutex mutex_;
  std::chrono::milliseconds maxDelay_;
  std::unordered_map<std::string, Record> records_;
};

}  // namespace korvane::server
